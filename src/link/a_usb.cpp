#include "a_usb.h"

#include <cstdio>
#include <exception>

namespace proto = usb_protocol;

namespace {

using namespace std::chrono_literals;

constexpr auto connection_period = 200ms;
constexpr auto init_retry_period = 50ms;
// A probe of a board that stopped answering: short, so shutdown never waits long for it.
constexpr unsigned int probe_timeout_ms = 200;
// Replies the board may still hold for requests that timed out, read away before the
// callers' exchanges resume; a real board queues few.
constexpr int stale_reply_limit = 4;
constexpr unsigned int drain_timeout_ms = 20;

const proto::command_entry& entry_of(proto::command code) {
    return *proto::find_command(code);
}

bool is_board(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
    return descriptor.idVendor == proto::vendor_id && descriptor.idProduct == proto::product_id;
}

bool is_link_error(int code) {
    return code == LIBUSB_ERROR_IO || code == LIBUSB_ERROR_NO_DEVICE;
}

// A zeroed request of the command's length (at most one packet) holding the command byte
// and, where the command takes one, its argument byte.
std::array<unsigned char, proto::packet_size> make_request(proto::command code,
                                                           std::uint8_t argument = 0) {
    std::array<unsigned char, proto::packet_size> request{};
    request[0] = code;
    request[proto::argument_offset] = argument;
    return request;
}

template <typename T>
T result_of(const exchange_outcome& outcome, T value) {
    if (!outcome.sent) return proto::result_not_connected;
    if (!outcome.ok()) return proto::result_failed;
    return value;
}

}  // namespace

a_usb::a_usb(Kelpon_v6Frame* owner_frame) : owner(owner_frame) {}

a_usb::~a_usb() {
    {
        // Under wake_mutex so the thread cannot miss the wake-up between its test and its wait.
        std::lock_guard<std::mutex> lock(wake_mutex);
        stop_requested = true;
    }
    wake.notify_all();
    if (connection_thread.joinable()) connection_thread.join();
}

void a_usb::start_connection_thread() {
    // Two loops on one link would fight over the handle.
    if (connection_thread.joinable()) std::terminate();
    connection_thread = std::thread(&a_usb::connection_loop, this);
}

// Sleeps for period, cut short when destruction starts. True when stop was requested.
bool a_usb::pause(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(wake_mutex);
    return wake.wait_for(lock, period, [this] { return stop_requested.load(); });
}

void a_usb::connection_loop() {
    while (!stop_requested) {
        if (!initialised) {
            last_result = libusb_init(nullptr);
            {
                std::lock_guard<std::mutex> lock(search_mutex);
                search.init_code = last_result;
            }
            if (last_result != LIBUSB_SUCCESS) {
                pause(init_retry_period);
                continue;
            }
            std::lock_guard<std::mutex> lock(link_mutex);
            initialised = true;
        }
        if (connected) {
            check_presence();
            if (connected && awaiting_answer) probe_board();
        } else
            open_board();
        pause(connection_period);
    }
    close_handle();
    connected = false;
}

// While connected: is a board still listed? The handle itself is left alone.
void a_usb::check_presence() {
    const ssize_t count = libusb_get_device_list(nullptr, &device_list);
    bool present = false;
    if (count >= 0) {
        for (ssize_t i = 0; i < count && !present; ++i) present = is_board(device_list[i]);
        libusb_free_device_list(device_list, 1);
    }
    device_list = nullptr;
    if (!present) connected = false;
}

// While searching: drop any stale handle, open the first board that opens, claim it.
void a_usb::open_board() {
    close_handle();
    search_outcome outcome;
    outcome.searched = true;
    const ssize_t count = libusb_get_device_list(nullptr, &device_list);
    if (count >= 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (!is_board(device_list[i])) continue;
            outcome.found = true;
            libusb_device_handle* opened = nullptr;
            outcome.open_code = libusb_open(device_list[i], &opened);
            if (outcome.open_code != LIBUSB_SUCCESS) continue;
            std::lock_guard<std::mutex> lock(link_mutex);
            handle = opened;
            ++handle_generation;
            awaiting_answer = false;
            break;
        }
        libusb_free_device_list(device_list, 1);
    }
    device_list = nullptr;
    if (handle != nullptr) {
        // Commands refuse to transfer until connected is set, so the claim needs no lock.
        last_result = libusb_claim_interface(handle, proto::interface_number);
        outcome.claim_code = last_result;
    }
    {
        std::lock_guard<std::mutex> lock(search_mutex);
        outcome.init_code = search.init_code;
        search = outcome;
    }
    connected = handle != nullptr && outcome.claim_code == LIBUSB_SUCCESS;
}

a_usb::search_outcome a_usb::last_search() const {
    std::lock_guard<std::mutex> lock(search_mutex);
    return search;
}

// Asks the silent board for its IO status (a read that changes nothing on the board);
// the first whole answer lets the callers' commands through again.
void a_usb::probe_board() {
    std::lock_guard<std::mutex> lock(link_mutex);
    if (handle == nullptr) return;
    const auto& entry = entry_of(proto::cmd_read_io_status);
    auto request = make_request(proto::cmd_read_io_status);
    std::array<unsigned char, proto::packet_size> reply{};
    int transferred = 0;
    int code = libusb_bulk_transfer(handle, proto::endpoint_out, request.data(),
                                    static_cast<int>(entry.request_length), &transferred, probe_timeout_ms);
    if (code == LIBUSB_SUCCESS)
        code = libusb_bulk_transfer(handle, proto::endpoint_in, reply.data(),
                                    static_cast<int>(proto::packet_size), &transferred, probe_timeout_ms);
    if (is_link_error(code)) connected = false;
    if (code != LIBUSB_SUCCESS || static_cast<std::size_t>(transferred) < entry.reply_used) return;
    drain_replies();
    awaiting_answer = false;
}

// Caller holds link_mutex.
void a_usb::drain_replies() {
    std::array<unsigned char, proto::packet_size> stale{};
    int transferred = 0;
    for (int i = 0; i < stale_reply_limit; ++i)
        if (libusb_bulk_transfer(handle, proto::endpoint_in, stale.data(), static_cast<int>(stale.size()),
                                 &transferred, drain_timeout_ms) != LIBUSB_SUCCESS)
            return;
}

void a_usb::close_handle() {
    if (handle == nullptr) return;
    std::lock_guard<std::mutex> lock(link_mutex);
    libusb_close(handle);
    handle = nullptr;
}

bool a_usb::link_usable() const { return initialised && connected && handle != nullptr; }

void a_usb::apply_error_rule(int code) {
    // Only a lost link makes the connection thread reopen the board; a stall leaves the
    // link as it is, and a timeout holds the commands back until the board answers.
    if (is_link_error(code)) connected = false;
    if (code == LIBUSB_ERROR_TIMEOUT) awaiting_answer = true;
}

// One request and, for commands that answer, one 64-byte reply. The lock is held for one
// transfer at a time so the connection thread can close the handle in between.
exchange_outcome a_usb::exchange(const proto::command_entry& entry, unsigned char* request,
                                 unsigned char* reply) {
    last_outcome = transfer_pair(entry, request, reply);
    return last_outcome;
}

exchange_outcome a_usb::transfer_pair(const proto::command_entry& entry, unsigned char* request,
                                      unsigned char* reply) {
    exchange_outcome outcome;
    std::uint64_t generation = 0;
    int transferred = 0;
    // Checked before the lock: a probe may hold it for its whole timeout.
    if (awaiting_answer && connected) {
        outcome.held_back = true;
        return outcome;
    }
    {
        std::lock_guard<std::mutex> lock(link_mutex);
        if (!link_usable()) return outcome;
        generation = handle_generation;
        outcome.sent = true;
        outcome.code = libusb_bulk_transfer(handle, proto::endpoint_out, request,
                                            static_cast<int>(entry.request_length), &transferred,
                                            entry.timeout_ms);
    }
    if (outcome.code == LIBUSB_SUCCESS)
        outcome.short_request = static_cast<std::size_t>(transferred) < entry.request_length;
    if (!outcome.ok() || !entry.has_reply) {
        apply_error_rule(outcome.code);
        return outcome;
    }
    if (between_transfers) between_transfers();
    {
        std::lock_guard<std::mutex> lock(link_mutex);
        if (!link_usable() || handle_generation != generation) {
            // The handle the request went out on is gone: no reply can come for it.
            outcome.code = LIBUSB_ERROR_NO_DEVICE;
            return outcome;
        }
        transferred = 0;
        outcome.code = libusb_bulk_transfer(handle, proto::endpoint_in, reply,
                                            static_cast<int>(proto::packet_size), &transferred,
                                            entry.timeout_ms);
    }
    // A short reply would leave the bytes of an earlier one to be decoded as this one's.
    if (outcome.code == LIBUSB_SUCCESS)
        outcome.short_reply = static_cast<std::size_t>(transferred) < entry.reply_used;
    apply_error_rule(outcome.code);
    return outcome;
}

std::string exchange_outcome::reason() const {
    if (held_back) return "board not answering";
    if (!sent) return "board not connected";
    if (code != LIBUSB_SUCCESS) return libusb_strerror(code);
    if (short_request) return "request sent short";
    if (short_reply) return "reply too short";
    return {};
}

void a_usb::read_io_status() {
    auto request = make_request(proto::cmd_read_io_status);
    // Only a whole, successful reply replaces the last status block.
    std::array<unsigned char, proto::packet_size> reply{};
    if (exchange(entry_of(proto::cmd_read_io_status), request.data(), reply.data()).ok())
        io_status = reply;
}

void a_usb::write_outputs(const std::uint8_t outputs[proto::output_count]) {
    out_packet[0] = proto::cmd_write_outputs;
    for (std::size_t i = 0; i < proto::output_count; ++i)
        out_packet[proto::outputs_offset + i] = outputs[i];
    const exchange_outcome outcome =
        exchange(entry_of(proto::cmd_write_outputs), out_packet.data(), nullptr);
    if (!outcome.sent || outcome.ok() || is_link_error(outcome.code)) return;
    char line[48];
    std::snprintf(line, sizeof line, "Sent Not success %i", outcome.code);
    if (log_line) log_line(line);
}

void a_usb::i2c_init() {
    auto request = make_request(proto::cmd_i2c_init);
    exchange(entry_of(proto::cmd_i2c_init), request.data(), nullptr);
}

void a_usb::i2c_start() {
    auto request = make_request(proto::cmd_i2c_start);
    exchange(entry_of(proto::cmd_i2c_start), request.data(), nullptr);
}

void a_usb::i2c_stop() {
    auto request = make_request(proto::cmd_i2c_stop);
    exchange(entry_of(proto::cmd_i2c_stop), request.data(), nullptr);
}

std::uint8_t a_usb::i2c_write(std::uint8_t byte) {
    auto request = make_request(proto::cmd_i2c_write, byte);
    std::array<unsigned char, proto::packet_size> reply{};
    const exchange_outcome outcome =
        exchange(entry_of(proto::cmd_i2c_write), request.data(), reply.data());
    return result_of<std::uint8_t>(outcome, reply[0]);
}

std::uint8_t a_usb::i2c_read(std::uint8_t acknowledge) {
    auto request = make_request(proto::cmd_i2c_read, acknowledge);
    std::array<unsigned char, proto::packet_size> reply{};
    const exchange_outcome outcome =
        exchange(entry_of(proto::cmd_i2c_read), request.data(), reply.data());
    return result_of<std::uint8_t>(outcome, reply[0]);
}

std::uint32_t a_usb::ssi_read() {
    auto request = make_request(proto::cmd_ssi_read);
    std::array<unsigned char, proto::packet_size> reply{};
    const exchange_outcome outcome =
        exchange(entry_of(proto::cmd_ssi_read), request.data(), reply.data());
    const std::uint32_t value = reply[proto::ssi_offset] +
                                256u * reply[proto::ssi_offset + 1] +
                                65536u * reply[proto::ssi_offset + 2];
    return result_of<std::uint32_t>(outcome, value);
}
