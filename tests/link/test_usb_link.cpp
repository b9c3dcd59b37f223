// The station's USB link against the emulated board: real libusb underneath.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "a_usb.h"
#include "board_emulator.h"
#include "emulated_board.h"
#include "usb_protocol.h"

// Reaches the link's test seam: code run between the OUT and the IN transfer.
struct a_usb_test_access {
    static void set_between_transfers(a_usb& link, std::function<void()> hook) {
        link.between_transfers = std::move(hook);
    }
};

namespace {

using namespace std::chrono_literals;
using emu::direction;
using emu::fault;
using emu::transfer_record;

// Generous: the loop's period is 200 ms, but sanitizers and a busy machine stretch it.
constexpr auto link_change_limit = 5s;

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool handle_open(a_usb& link) {
    std::lock_guard<std::mutex> lock(link.link_mutex);
    return link.handle != nullptr;
}

// Open file descriptors of this process that lead to the board's device node.
int open_device_nodes(const std::string& node) {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (dirent* entry = readdir(fds)) {
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        char target[512];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        const std::string resolved(target, static_cast<std::size_t>(length));
        if (resolved.size() >= node.size() &&
            resolved.compare(resolved.size() - node.size(), node.size(), node) == 0)
            ++count;
    }
    closedir(fds);
    return count;
}

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> head, std::size_t length) {
    std::vector<std::uint8_t> packet(length, 0);
    std::copy(head.begin(), head.end(), packet.begin());
    return packet;
}

std::size_t count_direction(const std::vector<transfer_record>& log, direction which) {
    return static_cast<std::size_t>(std::count_if(
        log.begin(), log.end(), [which](const transfer_record& r) { return r.dir == which; }));
}

class UsbLink : public ::testing::Test {
protected:
    emu::board_emulator& board = test_board();
    std::unique_ptr<a_usb> link;
    std::vector<std::string> logged;

    void SetUp() override {
        ASSERT_TRUE(emu::preload_active()) << "run through run-emulated.sh";
    }
    void TearDown() override {
        link.reset();
        if (!board.plugged_in()) board.plug_in();
    }

    void set_plugged(bool plugged) {
        set_test_board_plugged(plugged);
    }
    void start_link() {
        link = std::make_unique<a_usb>(nullptr);
        link->log_line = [this](const std::string& line) { logged.push_back(line); };
        link->start_connection_thread();
    }
    // A link that is up, with an empty transfer log.
    void start_connected() {
        set_plugged(true);
        start_link();
        ASSERT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
        board.clear_transfers();
    }
    void expect_reconnects() {
        EXPECT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
        board.set_encoder(0x123456);
        EXPECT_EQ(link->ssi_read(), 0x123456u);
    }
};

TEST_F(UsbLink, NoBoardMeansNotConnectedAndNothingSent) {
    set_plugged(false);
    start_link();
    board.clear_transfers();
    std::this_thread::sleep_for(600ms);  // a few passes of the loop
    EXPECT_FALSE(link->connected);
    EXPECT_FALSE(handle_open(*link));

    link->io_status.fill(0x5A);
    link->read_io_status();
    EXPECT_TRUE(std::all_of(link->io_status.begin(), link->io_status.end(),
                            [](std::uint8_t b) { return b == 0x5A; }));
    const std::uint8_t outputs[17] = {1, 1, 1};
    link->write_outputs(outputs);
    link->i2c_init();
    link->i2c_start();
    link->i2c_stop();
    EXPECT_EQ(link->i2c_write(0xD0), 2);
    EXPECT_EQ(link->i2c_read(1), 2);
    EXPECT_EQ(link->ssi_read(), 2u);
    EXPECT_TRUE(board.transfers().empty());
    EXPECT_TRUE(logged.empty());
}

TEST_F(UsbLink, FollowsPlugAndUnplug) {
    set_plugged(false);
    start_link();
    std::this_thread::sleep_for(300ms);
    ASSERT_FALSE(link->connected);

    board.plug_in();
    ASSERT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
    EXPECT_TRUE(handle_open(*link));

    board.unplug();
    ASSERT_TRUE(wait_until([this] { return !link->connected; }, link_change_limit));
    // The stale handle goes on the following pass.
    EXPECT_TRUE(wait_until([this] { return !handle_open(*link); }, link_change_limit));
    EXPECT_EQ(link->ssi_read(), 2u);

    board.plug_in();  // at a new address, as a real bus does
    expect_reconnects();
}

TEST_F(UsbLink, CommandsPutExactBytesOnTheWire) {
    ASSERT_NO_FATAL_FAILURE(start_connected());

    board.set_encoder(1 + 2 * 256 + 3 * 65536);
    EXPECT_EQ(link->ssi_read(), 197121u);

    board.set_input(1, 1);
    board.set_input(12, 1);
    board.set_analog(0, 0x1234);
    board.set_analog(1, 0x0ABC);
    link->read_io_status();
    EXPECT_EQ(link->io_status[0], 1);
    EXPECT_EQ(link->io_status[1], 0);
    EXPECT_EQ(link->io_status[11], 1);
    EXPECT_EQ(link->io_status[20], 0x12);
    EXPECT_EQ(link->io_status[21], 0x34);
    EXPECT_EQ(link->io_status[22], 0x0A);
    EXPECT_EQ(link->io_status[23], 0xBC);

    std::uint8_t outputs[17];
    for (std::uint8_t i = 0; i < 17; ++i) outputs[i] = static_cast<std::uint8_t>(0xA0 + i);
    link->write_outputs(outputs);
    const auto stored = board.outputs();
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), outputs));

    link->i2c_init();
    link->i2c_start();
    link->i2c_stop();

    auto log = board.transfers();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0].dir, direction::out);
    EXPECT_EQ(log[0].data, bytes({0x92}, 16));
    EXPECT_EQ(log[1].dir, direction::in);
    EXPECT_EQ(log[1].data.size(), 64u);
    EXPECT_EQ(log[2].dir, direction::out);
    EXPECT_EQ(log[2].data, bytes({0x82}, 1));
    EXPECT_EQ(log[3].dir, direction::in);
    EXPECT_TRUE(std::equal(log[3].data.begin(), log[3].data.end(), link->io_status.begin()));
    EXPECT_EQ(log[4].dir, direction::out);
    std::vector<std::uint8_t> expected_outputs(64, 0);
    expected_outputs[0] = 0x83;
    std::copy(outputs, outputs + 17, expected_outputs.begin() + 1);
    EXPECT_EQ(log[4].data, expected_outputs);
    for (std::size_t i = 5; i < 8; ++i) EXPECT_EQ(log[i].dir, direction::out);
    EXPECT_EQ(log[5].data, bytes({0x8C}, 1));
    EXPECT_EQ(log[6].data, bytes({0x8D}, 1));
    EXPECT_EQ(log[7].data, bytes({0x8E}, 1));
    EXPECT_TRUE(logged.empty());
}

TEST_F(UsbLink, I2cBytesAndReplies) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    board.set_sensor_identity(0, 0x71);
    board.set_sensor_word(0, 0, 0xBEEF);
    link->i2c_init();

    // Wake the sensor at 0x68: power register 0x6B := 0.
    link->i2c_start();
    EXPECT_EQ(link->i2c_write(0xD0), 0);
    EXPECT_EQ(link->i2c_write(0x6B), 0);
    EXPECT_EQ(link->i2c_write(0x00), 0);
    link->i2c_stop();

    // Read the identity register, then the first data word.
    auto read_registers = [this](std::uint8_t first, int count) {
        std::vector<std::uint8_t> values;
        link->i2c_start();
        EXPECT_EQ(link->i2c_write(0xD0), 0);
        EXPECT_EQ(link->i2c_write(first), 0);
        link->i2c_start();
        EXPECT_EQ(link->i2c_write(0xD1), 0);
        for (int i = 0; i < count; ++i)
            values.push_back(link->i2c_read(i + 1 == count ? 1 : 0));
        link->i2c_stop();
        return values;
    };
    EXPECT_EQ(read_registers(0x75, 1), std::vector<std::uint8_t>({0x71}));
    board.clear_transfers();
    EXPECT_EQ(read_registers(0x3B, 2), std::vector<std::uint8_t>({0xBE, 0xEF}));

    // Nobody answers at 0x50: not acknowledged.
    link->i2c_start();
    EXPECT_EQ(link->i2c_write(0xA0), 1);
    link->i2c_stop();

    const auto log = board.transfers();
    ASSERT_GE(log.size(), 12u);
    EXPECT_EQ(log[1].data, bytes({0x90, 0xD0}, 16));  // after the start
    EXPECT_EQ(log[2].dir, direction::in);
    EXPECT_EQ(log[3].data, bytes({0x90, 0x3B}, 16));
    const auto first_read = std::find_if(log.begin(), log.end(), [](const transfer_record& r) {
        return r.dir == direction::out && r.data[0] == 0x91;
    });
    ASSERT_NE(first_read, log.end());
    EXPECT_EQ(first_read->data, bytes({0x91, 0x00}, 16));
    EXPECT_EQ((first_read + 2)->data, bytes({0x91, 0x01}, 16));
}

// Another program holds interface 0: the claim fails every pass until it lets go.
TEST_F(UsbLink, InterfaceHeldElsewhereKeepsTheLinkDown) {
    set_plugged(true);
    libusb_context* other_program = nullptr;
    ASSERT_EQ(libusb_init(&other_program), 0);
    libusb_device_handle* held = nullptr;
    ASSERT_TRUE(wait_until(
        [&] {
            held = libusb_open_device_with_vid_pid(other_program, usb_protocol::vendor_id,
                                                   usb_protocol::product_id);
            return held != nullptr;
        },
        link_change_limit));
    ASSERT_EQ(libusb_claim_interface(held, usb_protocol::interface_number), 0);

    start_link();
    std::this_thread::sleep_for(600ms);
    EXPECT_FALSE(link->connected);
    EXPECT_EQ(link->ssi_read(), 2u);

    libusb_close(held);
    libusb_exit(other_program);
    expect_reconnects();
}

// The error rule, one row per fault: the command reports the failure through its result and
// last_exchange, a reply is never read for a request that did not go out, and only link
// errors drop the link (which the loop then reopens).
TEST_F(UsbLink, EveryFaultFailsTheExchangeAndOnlyLinkErrorsDropTheLink) {
    struct row { fault kind; direction which; bool link_kept; const char* reason; };
    const row rows[] = {
        {fault::stall, direction::out, true, "Pipe error"},
        {fault::stall, direction::in, true, "Pipe error"},
        {fault::overflow, direction::out, true, "Overflow"},
        {fault::overflow, direction::in, true, "Overflow"},
        {fault::short_reply, direction::in, true, "reply too short"},
        {fault::io_error, direction::out, false, "Input/Output Error"},
        {fault::io_error, direction::in, false, "Input/Output Error"},
        {fault::no_device, direction::out, false, "No such device (it may have been disconnected)"},
        {fault::no_device, direction::in, false, "No such device (it may have been disconnected)"},
    };
    ASSERT_NO_FATAL_FAILURE(start_connected());
    board.set_encoder(77);
    for (const row& r : rows) {
        SCOPED_TRACE(r.reason);
        board.clear_transfers();
        board.fail_next(1, r.kind, r.which);
        EXPECT_EQ(link->ssi_read(), 0u);
        const exchange_outcome failed = link->last_exchange();
        EXPECT_TRUE(failed.sent);
        EXPECT_FALSE(failed.ok());
        EXPECT_EQ(failed.reason(), r.reason);
        EXPECT_EQ(link->connected.load(), r.link_kept);
        const auto log = board.transfers();
        EXPECT_EQ(count_direction(log, direction::in), r.which == direction::out ? 0u : 1u);
        if (!r.link_kept) {
            EXPECT_EQ(link->i2c_write(0xD0), 2);  // refused at once, nothing sent
            EXPECT_FALSE(link->last_exchange().sent);
            EXPECT_EQ(link->last_exchange().reason(), "board not connected");
            EXPECT_EQ(board.transfers().size(), log.size());
            EXPECT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
        }
        EXPECT_EQ(link->ssi_read(), 77u);
        EXPECT_TRUE(link->last_exchange().ok());
    }
    // A reply that carries 0 is a success, told apart from a failure only by last_exchange.
    link->i2c_start();
    EXPECT_EQ(link->i2c_write(0xD0), 0);
    EXPECT_TRUE(link->last_exchange().ok());
    board.fail_next(1, fault::stall, direction::in);
    EXPECT_EQ(link->i2c_write(0xD0), 0);
    EXPECT_FALSE(link->last_exchange().ok());
}

TEST_F(UsbLink, WriteOutputsLogsOnlyNonLinkFailures) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    const std::uint8_t outputs[17] = {1};

    board.fail_next(1, fault::stall, direction::out);
    link->write_outputs(outputs);
    EXPECT_EQ(logged, std::vector<std::string>({"Sent Not success -9"}));
    EXPECT_TRUE(link->connected);

    logged.clear();
    board.fail_next(1, fault::overflow, direction::out);
    link->write_outputs(outputs);
    EXPECT_EQ(logged, std::vector<std::string>({"Sent Not success -8"}));

    logged.clear();
    link->write_outputs(outputs);  // success: silent
    board.fail_next(1, fault::io_error, direction::out);
    link->write_outputs(outputs);
    EXPECT_FALSE(link->connected);
    link->write_outputs(outputs);  // not connected: silent, nothing sent
    expect_reconnects();
    board.fail_next(1, fault::no_device, direction::out);
    link->write_outputs(outputs);
    EXPECT_TRUE(logged.empty());

    // With nobody listening the line is dropped.
    expect_reconnects();
    link->log_line = nullptr;
    board.fail_next(1, fault::stall, direction::out);
    link->write_outputs(outputs);
    EXPECT_TRUE(link->connected);
}

TEST_F(UsbLink, DestructionIsQuickAndClosesTheBoard) {
    set_plugged(true);
    // The emulation may hold the node open itself: count only what the link adds.
    const int baseline = open_device_nodes(board.device_node());
    ASSERT_GE(baseline, 0);
    {
        a_usb idle(nullptr);  // never started
    }
    const auto started = std::chrono::steady_clock::now();
    {
        a_usb fresh(nullptr);
        fresh.start_connection_thread();
    }
    const auto took = std::chrono::steady_clock::now() - started;
    std::printf("construct + start + destroy: %.1f ms\n",
                std::chrono::duration<double, std::milli>(took).count());
    EXPECT_LT(took, 2s);  // no hang; the loop's sleep is cut short
    EXPECT_EQ(open_device_nodes(board.device_node()), baseline);

    start_link();
    ASSERT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
    ASSERT_EQ(open_device_nodes(board.device_node()), baseline + 1);
    link.reset();
    EXPECT_EQ(open_device_nodes(board.device_node()), baseline);
}

// The loop closes the handle between the request and the reply: the reply is not read.
TEST_F(UsbLink, HandleClosedBetweenRequestAndReply) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    a_usb_test_access::set_between_transfers(*link, [this] {
        board.unplug();
        EXPECT_TRUE(wait_until([this] { return !handle_open(*link); }, link_change_limit));
    });
    EXPECT_EQ(link->ssi_read(), 0u);
    EXPECT_FALSE(link->connected);
    const auto log = board.transfers();
    EXPECT_EQ(count_direction(log, direction::out), 1u);
    EXPECT_EQ(count_direction(log, direction::in), 0u);
    a_usb_test_access::set_between_transfers(*link, nullptr);
    board.plug_in();
    expect_reconnects();

    // Pulled and plugged in again in between: the new handle never carried the request,
    // and a freshly powered board holds no reply for it.
    a_usb_test_access::set_between_transfers(*link, [this] {
        board.unplug();
        EXPECT_TRUE(wait_until([this] { return !handle_open(*link); }, link_change_limit));
        board.plug_in();
        EXPECT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
    });
    board.clear_transfers();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(link->ssi_read(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 9s);  // not a 10 s read on the new handle
    EXPECT_TRUE(link->connected);
    EXPECT_EQ(count_direction(board.transfers(), direction::in), 0u);
    a_usb_test_access::set_between_transfers(*link, nullptr);
    board.set_encoder(31337);
    EXPECT_EQ(link->ssi_read(), 31337u);
}

// Prints what one command exchange (OUT + IN) costs through the emulation.
TEST_F(UsbLink, ExchangeTimeThroughTheEmulation) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    constexpr int rounds = 300;
    std::vector<double> times;
    times.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        const auto value = static_cast<std::uint32_t>(i * 4099) & 0xFFFFFFu;
        board.set_encoder(value);
        const auto started = std::chrono::steady_clock::now();
        const std::uint32_t read = link->ssi_read();
        times.push_back(std::chrono::duration<double, std::milli>(
                            std::chrono::steady_clock::now() - started).count());
        ASSERT_EQ(read, value);
    }
    std::sort(times.begin(), times.end());
    std::printf("ssi_read exchange: median %.3f ms, p99 %.3f ms, max %.3f ms (%d rounds)\n",
                times[rounds / 2], times[rounds * 99 / 100], times.back(), rounds);
}

}  // namespace
