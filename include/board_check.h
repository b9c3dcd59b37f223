#pragma once
// The commissioning check of a controller board (the varnold-check command): it finds and
// claims the board through the station's own link, then checks the IO block, the outputs,
// both motion sensors, the encoder and the time of one exchange, one result line each.
// What the board answered can be written out as a scenario of the emulated board.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace board_check {

enum class verdict { pass, warn, fail };

struct check_line {
    verdict result = verdict::pass;
    std::string item;      // what was checked
    std::string measured;  // what the board answered
    std::string advice;    // what to do; given with every WARN and FAIL
};

struct options {
    bool cycle_outputs = false;                     // switch each output on for on_time, then off
    std::chrono::milliseconds on_time{500};
    std::chrono::milliseconds connect_limit{2000};  // how long the board may take to appear
    double slow_exchange_ms = 5.0;                  // a median round trip above it is a WARN
    std::string record_file;                        // where to write the scenario; empty: nowhere
    const std::atomic<bool>* interrupted = nullptr; // set by a signal: stop, outputs off
};

// Lowest and highest of a series of readings.
struct reading_range {
    long low = 0;
    long high = 0;
    bool read = false;
    void add(long value);
};

// What the board answered, as far as the checks got.
struct board_values {
    bool io_read = false;
    std::array<std::uint8_t, 12> inputs{};
    std::array<std::uint16_t, 2> analog{};
    struct sensor {
        bool checked = false;
        bool present = false;
        std::uint8_t identity = 0;
        std::array<reading_range, 2> words;
    };
    std::array<sensor, 2> sensors;
    reading_range encoder;
};

// Runs every check in order, handing each line to report as soon as it is known.
std::vector<check_line> run(const options& chosen, const std::function<void(const check_line&)>& report);

// 0 when no line FAILed, 1 otherwise.
int exit_status(const std::vector<check_line>& lines);

// "PASS  item  measured", with the advice on an indented line below.
std::string format_line(const check_line& line);
// "Result: ..." with the count of each verdict.
std::string summary(const std::vector<check_line>& lines);

// The emulated board's scenario lines that make it answer as recorded.
std::string scenario_text(const board_values& values);

// Reads the command line; returns false with a message in error for a bad one.
bool parse_arguments(int argc, const char* const* argv, options& parsed, std::string& error);

}  // namespace board_check
