#include "board_check.h"

#include "a_usb.h"
#include "io_monitor_logic.h"
#include "readout.h"
#include "scenario_words.h"
#include "usb_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>

namespace board_check {

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
namespace proto = usb_protocol;
namespace words = emu::scenario_words;

constexpr int repeated_reads = 20;
constexpr int round_trips = 100;
// A real sensor samples far faster; the pause lets the readings move between two reads.
constexpr auto read_spacing = 10ms;
constexpr std::uint32_t ssi_all_ones = 0xFFFFFF;

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

std::string libusb_reason(int code) { return format("%s: %s", libusb_error_name(code), libusb_strerror(code)); }

check_line pass(std::string item, std::string measured) {
    return {verdict::pass, std::move(item), std::move(measured), {}};
}
check_line warn(std::string item, std::string measured, std::string advice) {
    return {verdict::warn, std::move(item), std::move(measured), std::move(advice)};
}
check_line fail(std::string item, std::string measured, std::string advice) {
    return {verdict::fail, std::move(item), std::move(measured), std::move(advice)};
}

bool pause(std::chrono::milliseconds period, const std::atomic<bool>* interrupted) {
    const auto end = clock_type::now() + period;
    while (clock_type::now() < end) {
        if (interrupted != nullptr && *interrupted) return false;
        std::this_thread::sleep_for(std::min<clock_type::duration>(10ms, end - clock_type::now()));
    }
    return interrupted == nullptr || !*interrupted;
}

// The link as the sensor functions see it, keeping account of what went wrong. After the
// first failed exchange it stops talking to the board, so a silent board costs one
// timeout instead of one per bus operation.
class session : public readout::bus {
public:
    explicit session(a_usb& link) : usb(link) {}

    void i2c_init() override { run([this] { usb.i2c_init(); }); }
    void i2c_start() override { run([this] { usb.i2c_start(); }); }
    void i2c_stop() override { run([this] { usb.i2c_stop(); }); }
    std::uint8_t i2c_write(std::uint8_t byte) override {
        std::uint8_t flag = proto::result_failed;
        run([&] { flag = usb.i2c_write(byte); });
        if (answering() && flag != readout::ack) ++not_acknowledged;
        return flag;
    }
    std::uint8_t i2c_read(std::uint8_t acknowledge) override {
        std::uint8_t byte = proto::result_failed;
        run([&] { byte = usb.i2c_read(acknowledge); });
        return byte;
    }
    std::uint32_t ssi_read() override {
        std::uint32_t value = proto::result_failed;
        run([&] { value = usb.ssi_read(); });
        return value;
    }
    bool read_io_status() {
        run([this] { usb.read_io_status(); });
        return answering();
    }
    bool write_outputs(const io_monitor::output_frame& frame) {
        run([&] { usb.write_outputs(frame.data()); });
        return answering();
    }

    bool answering() const { return !failure; }
    std::string failure_text() const { return failure ? failure->reason() : std::string(); }

    a_usb& usb;
    int not_acknowledged = 0;  // bytes written that no slave acknowledged

private:
    template <typename Call>
    void run(Call call) {
        if (!answering()) return;
        call();
        const exchange_outcome outcome = usb.last_exchange();
        if (!outcome.ok()) failure = outcome;
    }

    std::optional<exchange_outcome> failure;
};

struct runner {
    session& bus;
    const options& chosen;
    const std::function<void(const check_line&)>& report;
    board_values values;
    std::vector<check_line> lines;

    bool interrupted() const { return chosen.interrupted != nullptr && *chosen.interrupted; }
    void add(check_line line) {
        if (report) report(line);
        lines.push_back(std::move(line));
    }
    // The line of a check whose exchange failed; nothing after it runs.
    void add_link_failure(const std::string& item) {
        add(fail(item, "the exchange failed (" + bus.failure_text() + ")",
                 "the board stopped answering, so the remaining checks did not run: plug it out "
                 "and in, then run varnold-check again; if that does not help, check its power supply"));
    }
};

std::string board_item() {
    return format("board %04x:%04x found and claimed", proto::vendor_id, proto::product_id);
}

std::string where_claimed(a_usb& usb) {
    std::lock_guard<std::mutex> lock(usb.link_mutex);
    if (usb.handle == nullptr) return "claimed";
    libusb_device* device = libusb_get_device(usb.handle);
    return format("bus %03u device %03u, interface %d claimed", libusb_get_bus_number(device),
                  libusb_get_device_address(device), proto::interface_number);
}

check_line why_not_connected(const a_usb::search_outcome& search) {
    const std::string item = board_item();
    if (search.init_code != LIBUSB_SUCCESS)
        return fail(item, "libusb cannot start (" + libusb_reason(search.init_code) + ")",
                    "run varnold-check on the station PC itself; `ls /dev/bus/usb` must list the USB buses");
    if (!search.found)
        return fail(item, format("no device %04x:%04x on the USB bus", proto::vendor_id, proto::product_id),
                    "plug the board's USB cable in and switch the board on; `lsusb -d 04d8:0053` must list it");
    if (search.open_code == LIBUSB_ERROR_ACCESS)
        return fail(item, "listed, but no permission to open it (" + libusb_reason(search.open_code) + ")",
                    "the udev rule 60-varnold.rules (in /usr/lib/udev/rules.d; packaging/60-varnold.rules in "
                    "the sources) gives the operator at the station's own screen and the group plugdev access: "
                    "check that it is installed, plug the board out and in, and `ls -l /dev/bus/usb/BBB/DDD` "
                    "(bus and device from `lsusb -d 04d8:0053`) must show crw-rw----+ root plugdev; the "
                    "set-up guide's \"USB permission\" section has the details");
    if (search.open_code != LIBUSB_SUCCESS)
        return fail(item, "listed, but it cannot be opened (" + libusb_reason(search.open_code) + ")",
                    "plug the board out and in; `sudo dmesg` shows what the kernel saw");
    if (search.claim_code == LIBUSB_ERROR_BUSY)
        return fail(item, "interface 0 is held by another program (" + libusb_reason(search.claim_code) + ")",
                    "the station (Varnold) is probably running and holds the board: close it with its "
                    "Close button, then run varnold-check again");
    if (search.claim_code != LIBUSB_SUCCESS)
        return fail(item, "interface 0 cannot be claimed (" + libusb_reason(search.claim_code) + ")",
                    "plug the board out and in, then run varnold-check again");
    return fail(item, "the board did not stay connected",
                "check the USB cable and its plugs; `sudo dmesg` shows the disconnects");
}

check_line connect(a_usb& usb, std::chrono::milliseconds limit) {
    usb.start_connection_thread();
    const auto deadline = clock_type::now() + limit;
    while (!usb.connected && clock_type::now() < deadline) std::this_thread::sleep_for(20ms);
    if (usb.connected) return pass(board_item(), where_claimed(usb));
    return why_not_connected(usb.last_search());
}

void check_io_status(runner& r) {
    if (!r.bus.read_io_status()) return r.add_link_failure("IO status read");
    const io_monitor::status_values status = io_monitor::read_status(r.bus.usb.io_status);
    r.values.io_read = true;
    r.values.inputs = status.inputs;
    r.values.analog = status.analog;
    std::string inputs;
    for (std::size_t i = 0; i < proto::input_count; ++i)
        inputs += format("%s%zu:%u", i == 0 ? "" : " ", i + 1, static_cast<unsigned>(r.values.inputs[i]));
    r.add(pass("inputs 1-12", inputs));
    r.add(pass("analog AN0", format("count %u = ", r.values.analog[0]) + io_monitor::an0_label(r.values.analog[0])));
    r.add(pass("analog AN1", format("count %u = ", r.values.analog[1]) + io_monitor::an1_label(r.values.analog[1])));
}

void check_outputs(runner& r) {
    io_monitor::output_frame frame{};
    if (!r.bus.write_outputs(frame)) return r.add_link_failure("all outputs off");
    r.add(pass("all outputs off", "one frame of 17 zeros sent"));
    if (!r.chosen.cycle_outputs) return;
    for (std::size_t k = 0; k < frame.size(); ++k) {
        const std::string item = format("output %zu", k + 1);
        frame[k] = 1;
        const bool switched = r.bus.write_outputs(frame);
        const bool waited = switched && pause(r.chosen.on_time, r.chosen.interrupted);
        frame[k] = 0;
        // Off again whatever happened, so an interrupted check leaves nothing switched on.
        r.bus.write_outputs(frame);
        if (!r.bus.answering()) return r.add_link_failure(item);
        if (!waited) return;  // reported by run, outputs off
        r.add(pass(item, format("on for %lld ms, then off", static_cast<long long>(r.chosen.on_time.count()))));
    }
}

std::string range_text(const reading_range& range) {
    return range.low == range.high ? format("%ld", range.low) : format("%ld..%ld", range.low, range.high);
}

void check_sensor_data(runner& r, std::size_t index, std::uint8_t address, const std::string& name) {
    board_values::sensor& seen = r.values.sensors[index];
    r.bus.not_acknowledged = 0;
    for (int i = 0; i < repeated_reads; ++i) {
        const readout::sensor_words data = readout::read_sensor(r.bus, address);
        if (!r.bus.answering()) return r.add_link_failure(name + " data");
        // A sensor that drops off the bus now and then gives words that look alive.
        if (r.bus.not_acknowledged > 0)
            return r.add(fail(name + " data", format("not acknowledged in read %d of %d", i + 1, repeated_reads),
                              "the sensor drops off the I2C bus: check its cable, plug and supply for a loose "
                              "contact; the A and B rows stop while it is off"));
        seen.words[0].add(data.first);
        seen.words[1].add(data.second);
        if (!pause(read_spacing, r.chosen.interrupted)) return;
    }
    const std::string measured = "word 1 " + range_text(seen.words[0]) + ", word 2 " + range_text(seen.words[1]) +
                                 format(" over %d reads", repeated_reads);
    if (seen.words[0].low == seen.words[0].high || seen.words[1].low == seen.words[1].high)
        return r.add(warn(name + " data", "frozen: " + measured,
                          "a live sensor's readings always jitter: check that it is powered and fixed firmly; "
                          "a frozen sensor leaves the A and B rows standing still"));
    r.add(pass(name + " data", measured + ", changing"));
}

void check_sensor(runner& r, std::size_t index) {
    const std::uint8_t address = index == 0 ? readout::sensor1_address : readout::sensor2_address;
    const std::string name = format("sensor %zu (0x%02X)", index + 1, address >> 1);
    board_values::sensor& seen = r.values.sensors[index];
    seen.checked = true;
    r.bus.not_acknowledged = 0;
    const std::uint8_t identity = readout::set_up_sensor(r.bus, address);
    if (!r.bus.answering()) return r.add_link_failure(name + " present");
    if (r.bus.not_acknowledged > 0)
        return r.add(fail(name + " present", "not acknowledged on the I2C bus",
                          format("check the sensor's cable and plug on the board and its supply; its address "
                                 "pin must select 0x%02X",
                                 address >> 1)));
    seen.present = true;
    seen.identity = identity;
    r.add(pass(name + " present", "acknowledged"));
    const std::string identity_text = format("register 0x%02X = 0x%02X", readout::register_identity, identity);
    if (identity == sensor_registers::identity_value)
        r.add(pass(name + " identity", identity_text));
    else
        r.add(warn(name + " identity", identity_text,
                   format("not the 0x%02X of an MPU-6050-type sensor: check the fitted part; the station reads "
                          "its data words all the same",
                          sensor_registers::identity_value)));

    const std::uint8_t power = readout::read_register(r.bus, address, readout::register_power);
    if (!r.bus.answering()) return r.add_link_failure(name + " awake");
    const std::string power_text = format("register 0x%02X = 0x%02X after the wake-up write", readout::register_power, power);
    if ((power & sensor_registers::power_sleep_bit) != 0)
        return r.add(fail(name + " awake", "still asleep: " + power_text,
                          "the sensor takes no writes: check its data line (SDA) and supply, or replace it"));
    r.add(pass(name + " awake", power_text));
    check_sensor_data(r, index, address, name);
}

void check_sensors(runner& r) {
    r.bus.i2c_init();
    for (std::size_t index = 0; index < r.values.sensors.size() && r.bus.answering() && !r.interrupted(); ++index)
        check_sensor(r, index);
}

void check_encoder(runner& r) {
    reading_range& range = r.values.encoder;
    for (int i = 0; i < repeated_reads; ++i) {
        const std::uint32_t value = r.bus.ssi_read();
        if (!r.bus.answering()) return r.add_link_failure("encoder");
        range.add(value);
    }
    if (range.low == ssi_all_ones && range.high == ssi_all_ones)
        return r.add(warn("encoder", format("%u in all %d reads: every bit set", ssi_all_ones, repeated_reads),
                          "an SSI input with no encoder on it reads all ones: check that the encoder is "
                          "plugged in and powered"));
    if (range.low != range.high)
        return r.add(warn("encoder", format("moved: %s over %d reads", range_text(range).c_str(), repeated_reads),
                          "if the shaft stood still, the readings jump: check the encoder's cable, plug and "
                          "shield; the X row shows only readings that repeat"));
    r.add(pass("encoder", format("%ld, steady over %d reads", range.low, repeated_reads)));
}

void check_round_trip(runner& r) {
    std::vector<double> times;
    for (int i = 0; i < round_trips; ++i) {
        const auto start = clock_type::now();
        if (!r.bus.read_io_status()) return r.add_link_failure("round trip");
        times.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const std::string measured =
        format("median %.2f ms, worst %.2f ms over %d exchanges", median, times.back(), round_trips);
    // The median decides: one slow exchange on a busy PC says nothing about the board.
    if (median > r.chosen.slow_exchange_ms)
        return r.add(warn("round trip", measured,
                          "connect the board straight to the PC, without a hub or extension cable; the IO "
                          "monitor expects an exchange well inside its 10 ms"));
    r.add(pass("round trip", measured));
}

void record(runner& r) {
    const std::string text = scenario_text(r.values);
    const std::string item = "recorded to " + r.chosen.record_file;
    std::FILE* file = std::fopen(r.chosen.record_file.c_str(), "w");
    bool written = file != nullptr && std::fputs(text.c_str(), file) >= 0;
    int error = errno;
    if (file != nullptr && std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written)
        return r.add(fail(item, std::string("cannot write it: ") + std::strerror(error),
                          "name a file in a folder you can write to"));
    r.add(pass(item, "replay: varnold-emu --scenario " + r.chosen.record_file + " -- PROGRAM"));
}

}  // namespace

void reading_range::add(long value) {
    low = read ? std::min(low, value) : value;
    high = read ? std::max(high, value) : value;
    read = true;
}

std::vector<check_line> run(const options& chosen, const std::function<void(const check_line&)>& report) {
    a_usb usb(nullptr);
    session bus(usb);
    runner r{bus, chosen, report, {}, {}};
    r.add(connect(usb, chosen.connect_limit));
    if (!usb.connected) return r.lines;
    for (const auto step : {check_io_status, check_outputs, check_sensors, check_encoder, check_round_trip}) {
        if (!bus.answering() || r.interrupted()) break;
        step(r);
    }
    // A run cut short proves nothing about the checks it did not reach: it does not pass.
    if (r.interrupted())
        r.add(fail("check run", "interrupted; the remaining checks did not run",
                   "run varnold-check again and let it finish"));
    if (!chosen.record_file.empty()) record(r);
    return r.lines;
}

int exit_status(const std::vector<check_line>& lines) {
    const bool failed = std::any_of(lines.begin(), lines.end(),
                                    [](const check_line& line) { return line.result == verdict::fail; });
    return failed ? 1 : 0;
}

std::string format_line(const check_line& line) {
    static const char* const names[] = {"PASS", "WARN", "FAIL"};
    std::string text = format("%s  %-36s ", names[static_cast<int>(line.result)], line.item.c_str()) + line.measured;
    if (!line.advice.empty()) text += "\n      what to do: " + line.advice;
    return text;
}

std::string summary(const std::vector<check_line>& lines) {
    int count[3] = {0, 0, 0};
    for (const auto& line : lines) ++count[static_cast<int>(line.result)];
    return format("Result: %s (%d PASS, %d WARN, %d FAIL)", count[2] > 0 ? "FAIL" : count[1] > 0 ? "WARN" : "PASS",
                  count[0], count[1], count[2]);
}

std::string scenario_text(const board_values& values) {
    std::string text;
    const auto line = [&text](std::initializer_list<const char*> command, std::initializer_list<long> numbers) {
        text += words::command_line(command, numbers) + "\n";
    };
    // A range replays as its middle with noise reaching its ends; a steady value as itself.
    const auto middle = [](const reading_range& range) { return (range.low + range.high) / 2; };
    const auto spread = [](const reading_range& range) { return (range.high - range.low + 1) / 2; };
    const std::time_t now = std::time(nullptr);
    char when[32] = "";
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&now));
    text += std::string(1, words::comment) + " What a controller board answered to varnold-check on " + when + ".\n";
    if (values.io_read) {
        for (std::size_t i = 0; i < values.inputs.size(); ++i)
            line({words::input}, {static_cast<long>(i + 1), values.inputs[i]});
        for (long c = 0; c < 2; ++c) {
            line({words::analog}, {c, values.analog[static_cast<std::size_t>(c)]});
            line({words::noise, words::analog}, {c, 0});
        }
    }
    for (long s = 0; s < 2; ++s) {
        const board_values::sensor& seen = values.sensors[static_cast<std::size_t>(s)];
        if (!seen.checked) continue;
        line({words::present}, {s, seen.present ? 1 : 0});
        if (!seen.present) continue;
        line({words::identity}, {s, seen.identity});
        for (long w = 0; w < 2; ++w) {
            const reading_range& range = seen.words[static_cast<std::size_t>(w)];
            if (!range.read) continue;
            line({words::sensor}, {s, w, middle(range)});
            line({words::noise, words::sensor}, {s, w, spread(range)});
        }
    }
    if (values.encoder.read) {
        line({words::encoder}, {middle(values.encoder)});
        line({words::noise, words::encoder}, {spread(values.encoder)});
    }
    return text;
}

bool parse_arguments(int argc, const char* const* argv, options& parsed, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--outputs") {
            parsed.cycle_outputs = true;
        } else if (word == "--record" && i + 1 < argc) {
            parsed.record_file = argv[++i];
        } else {
            error = word == "--record" ? "--record needs a file name" : "unknown argument '" + word + "'";
            return false;
        }
    }
    return true;
}

}  // namespace board_check
