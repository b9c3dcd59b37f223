#include "scenario.h"

#include "default_scenario.h"
#include "scenario_words.h"
#include "sensor_registers.h"
#include "usb_protocol.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

namespace emu {

namespace {

namespace words = scenario_words;
using clock_type = std::chrono::steady_clock;

struct range {
    long low;
    long high;
};

constexpr long max_ms = 86400000;
constexpr long max_encoder = (1L << (8 * usb_protocol::ssi_length)) - 1;
constexpr long last_input = static_cast<long>(usb_protocol::input_count);
constexpr long last_analog = static_cast<long>(usb_protocol::analog_count) - 1;
constexpr long last_sensor = static_cast<long>(sensor_registers::sensor_count) - 1;
constexpr long last_word = sensor_registers::data_word_count - 1;

struct syntax {
    std::string key;  // the command word, with the subject for drift, noise and toggle
    std::vector<range> arguments;
};

std::string key(const char* command, const char* subject) { return std::string(command) + " " + subject; }

const std::vector<syntax>& grammar() {
    static const std::vector<syntax> table = {
        {words::input, {{1, last_input}, {0, 255}}},
        {key(words::toggle, words::input), {{1, last_input}, {0, max_ms}}},
        {words::analog, {{0, last_analog}, {0, 65535}}},
        {words::encoder, {{0, max_encoder}}},
        {words::sensor, {{0, last_sensor}, {0, last_word}, {0, 65535}}},
        {words::identity, {{0, last_sensor}, {0, 255}}},
        {words::present, {{0, last_sensor}, {0, 1}}},
        {words::loose, {{0, last_sensor}, {0, 1000}, {0, 1000}}},
        {key(words::drift, words::encoder), {{0, max_encoder}, {0, max_ms}}},
        {key(words::drift, words::analog), {{0, last_analog}, {0, 65535}, {0, max_ms}}},
        {key(words::drift, words::sensor), {{0, last_sensor}, {0, last_word}, {0, 65535}, {0, max_ms}}},
        {key(words::noise, words::encoder), {{0, max_encoder}}},
        {key(words::noise, words::analog), {{0, last_analog}, {0, 65535}}},
        {key(words::noise, words::sensor), {{0, 65535}}},
        {key(words::noise, words::sensor), {{0, last_sensor}, {0, last_word}, {0, 65535}}},
        {"unplug", {}},
        {"plug", {}},
        {"wait", {{0, max_ms}}},
        {"mark", {}},
        {"loop", {}},
    };
    return table;
}

bool to_number(const std::string& word, long& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    value = std::strtol(word.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

long number(const std::string& word) {
    long value = 0;
    to_number(word, value);
    return value;
}

bool fault_named(const std::string& name, fault& kind) {
    static const std::pair<const char*, fault> names[] = {
        {"timeout", fault::timeout}, {"stall", fault::stall}, {"io_error", fault::io_error},
        {"no_device", fault::no_device}, {"overflow", fault::overflow},
        {"short", fault::short_reply},
    };
    for (const auto& entry : names)
        if (name == entry.first) {
            kind = entry.second;
            return true;
        }
    return false;
}

bool has_subject(const std::string& kind) {
    return kind == words::drift || kind == words::noise || kind == words::toggle;
}

bool check_fail(const std::vector<std::string>& words, std::string& error) {
    long count = 0;
    fault kind{};
    if (words.size() != 4 || !to_number(words[1], count) || count < 1 || count > 1000000 ||
        !fault_named(words[2], kind) || (words[3] != "out" && words[3] != "in")) {
        error = "expected: fail COUNT timeout|stall|io_error|no_device|overflow|short out|in";
        return false;
    }
    return true;
}

bool check_arguments(const std::vector<std::string>& words, std::size_t first, const syntax& rule,
                     std::string& error) {
    for (std::size_t i = 0; i < rule.arguments.size(); ++i) {
        long value = 0;
        const range& allowed = rule.arguments[i];
        if (!to_number(words[first + i], value) || value < allowed.low || value > allowed.high) {
            error = "'" + words[first + i] + "' is not a number from " + std::to_string(allowed.low) + " to " +
                    std::to_string(allowed.high);
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool parse_scenario_line(const std::string& line, scenario_command& command, std::string& error) {
    command = scenario_command{};
    std::istringstream stream(line.substr(0, line.find(words::comment)));
    for (std::string word; stream >> word;) command.words.push_back(word);
    if (command.words.empty()) return true;
    command.kind = command.words[0];
    if (command.kind == "echo") return true;
    if (command.kind == "fail") return check_fail(command.words, error);

    const std::size_t first = has_subject(command.kind) ? 2 : 1;
    const std::string key =
        first == 2 && command.words.size() > 1 ? command.kind + " " + command.words[1] : command.kind;
    bool known = false;
    for (const auto& rule : grammar()) {
        if (key != rule.key) continue;
        known = true;
        if (command.words.size() == first + rule.arguments.size())
            return check_arguments(command.words, first, rule, error);
    }
    error = known ? "wrong number of arguments for '" + key + "'" : "unknown command '" + key + "'";
    return false;
}

std::vector<std::string> check_scenario(const std::vector<std::string>& lines) {
    std::vector<std::string> problems;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        scenario_command command;
        std::string error;
        if (!parse_scenario_line(lines[i], command, error))
            problems.push_back("line " + std::to_string(i + 1) + ": " + error);
    }
    return problems;
}

std::vector<std::string> default_scenario() { return split_lines(default_scenario_text); }

// ---------------------------------------------------------------- the moving world

namespace {

// One value the board measures: where it is, where it is going, how much it jitters.
struct channel {
    double from = 0;
    double to = 0;
    clock_type::time_point start{};
    double duration_ms = 0;
    long noise = 0;
    long high = 65535;
    bool dirty = false;

    double base(clock_type::time_point now) const {
        if (duration_ms <= 0) return to;
        const double elapsed = std::chrono::duration<double, std::milli>(now - start).count();
        if (elapsed >= duration_ms) return to;
        return from + (to - from) * elapsed / duration_ms;
    }
    // Whether the board needs a new value; a finished drift is pushed once more at its end.
    bool due(clock_type::time_point now) {
        const bool update = dirty || noise > 0 || duration_ms > 0;
        dirty = false;
        if (duration_ms > 0 && std::chrono::duration<double, std::milli>(now - start).count() >= duration_ms) {
            from = to;
            duration_ms = 0;
        }
        return update;
    }
    void set(double value) {
        to = value;
        duration_ms = 0;
        dirty = true;
    }
    void drift(double target, double milliseconds, clock_type::time_point now) {
        from = base(now);
        to = target;
        start = now;
        duration_ms = milliseconds;
        dirty = true;
    }
};

struct toggler {
    long period_ms = 0;
    clock_type::time_point next{};
    std::uint8_t value = 0;
};

}  // namespace

struct scenario_player::world {
    channel encoder;
    std::array<channel, usb_protocol::analog_count> analog;
    std::array<std::array<channel, sensor_registers::data_word_count>, sensor_registers::sensor_count> sensors;
    std::array<toggler, usb_protocol::input_count> inputs;
    std::mt19937 random{12345};

    world() {
        encoder.high = max_encoder;
    }
    channel& sensor(long s, long w) { return sensors[static_cast<std::size_t>(s)][static_cast<std::size_t>(w)]; }
};

scenario_player::scenario_player(board_emulator& board) : board_(board), world_(std::make_unique<world>()) {
    animator_ = std::thread([this] { animate(); });
}

scenario_player::~scenario_player() {
    stop();
    stopping_ = true;
    wake_.notify_all();
    if (animator_.joinable()) animator_.join();
}

void scenario_player::stop() {
    script_stop_ = true;
    wake_.notify_all();
    if (script_.joinable() && script_.get_id() != std::this_thread::get_id()) script_.join();
}

bool scenario_player::sleep_for_ms(long milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [this] { return script_stop_.load() || stopping_.load(); });
}

void scenario_player::start_script(std::vector<std::string> lines) {
    stop();
    script_stop_ = false;
    script_ = std::thread([this, script = std::move(lines)] { run_script(script); });
}

void scenario_player::run_script(std::vector<std::string> lines) {
    std::size_t mark = 0;
    for (std::size_t i = 0; i < lines.size() && !script_stop_;) {
        scenario_command command;
        std::string error;
        if (parse_scenario_line(lines[i], command, error) && command.kind == "mark") mark = i + 1;
        if (command.kind == "loop") {
            // A loop with no wait in it would spin: insist on a pause.
            if (!sleep_for_ms(1)) return;
            i = mark;
            continue;
        }
        error = execute(lines[i]);
        if (!error.empty()) std::fprintf(stderr, "varnold-emu: scenario line %zu: %s\n", i + 1, error.c_str());
        ++i;
    }
}

std::string scenario_player::execute(const std::string& line) {
    scenario_command command;
    std::string error;
    if (!parse_scenario_line(line, command, error)) return error;
    const auto& w = command.words;
    const std::string& kind = command.kind;
    if (kind.empty() || kind == "mark" || kind == "loop") return {};
    if (kind == "wait") {
        sleep_for_ms(number(w[1]));
        return {};
    }
    if (kind == "echo") {
        std::string text;
        for (std::size_t i = 1; i < w.size(); ++i) text += (i > 1 ? " " : "") + w[i];
        std::fprintf(stderr, "varnold-emu: %s\n", text.c_str());
        return {};
    }
    if (kind == "unplug") {
        board_.unplug();
        return {};
    }
    if (kind == "plug") {
        board_.plug_in();
        return {};
    }
    if (kind == "fail") {
        fault which{};
        fault_named(w[2], which);
        board_.fail_next(static_cast<int>(number(w[1])), which, w[3] == "out" ? direction::out : direction::in);
        return {};
    }
    if (kind == words::identity) {
        board_.set_sensor_identity(static_cast<int>(number(w[1])), static_cast<std::uint8_t>(number(w[2])));
        return {};
    }
    if (kind == words::present) {
        board_.set_sensor_present(static_cast<int>(number(w[1])), number(w[2]) != 0);
        return {};
    }
    if (kind == words::loose) {
        board_.set_sensor_loose(static_cast<int>(number(w[1])), static_cast<int>(number(w[2])),
                                static_cast<int>(number(w[3])));
        return {};
    }

    std::lock_guard<std::mutex> lock(mutex_);
    world& state = *world_;
    const auto now = clock_type::now();
    if (kind == words::input) {
        toggler& input = state.inputs[static_cast<std::size_t>(number(w[1]) - 1)];
        input.period_ms = 0;
        input.value = static_cast<std::uint8_t>(number(w[2]));
        board_.set_input(static_cast<int>(number(w[1])), input.value);
    } else if (kind == words::toggle) {
        toggler& input = state.inputs[static_cast<std::size_t>(number(w[2]) - 1)];
        input.period_ms = number(w[3]);
        input.next = now + std::chrono::milliseconds(input.period_ms);
    } else if (kind == words::encoder) {
        // A value set is on the board at once; the animator adds any noise from its next turn.
        state.encoder.set(static_cast<double>(number(w[1])));
        board_.set_encoder(static_cast<std::uint32_t>(number(w[1])));
    } else if (kind == words::analog) {
        state.analog[static_cast<std::size_t>(number(w[1]))].set(static_cast<double>(number(w[2])));
        board_.set_analog(static_cast<int>(number(w[1])), static_cast<std::uint16_t>(number(w[2])));
    } else if (kind == words::sensor) {
        state.sensor(number(w[1]), number(w[2])).set(static_cast<double>(number(w[3])));
        board_.set_sensor_word(static_cast<int>(number(w[1])), static_cast<int>(number(w[2])),
                               static_cast<std::uint16_t>(number(w[3])));
    } else if (kind == words::drift) {
        const std::string& subject = w[1];
        const double ms = static_cast<double>(number(w.back()));
        if (subject == words::encoder) state.encoder.drift(static_cast<double>(number(w[2])), ms, now);
        if (subject == words::analog)
            state.analog[static_cast<std::size_t>(number(w[2]))].drift(static_cast<double>(number(w[3])), ms, now);
        if (subject == words::sensor) state.sensor(number(w[2]), number(w[3])).drift(static_cast<double>(number(w[4])), ms, now);
    } else if (kind == words::noise) {
        const std::string& subject = w[1];
        const long amplitude = number(w.back());
        if (subject == words::encoder) state.encoder.noise = amplitude;
        if (subject == words::analog) state.analog[static_cast<std::size_t>(number(w[2]))].noise = amplitude;
        if (subject == words::sensor && w.size() == 3)
            for (auto& part : state.sensors)
                for (auto& word : part) word.noise = amplitude;
        if (subject == words::sensor && w.size() == 5) state.sensor(number(w[2]), number(w[3])).noise = amplitude;
    }
    wake_.notify_all();
    return {};
}

void scenario_player::animate() {
    constexpr auto period = std::chrono::milliseconds(50);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        world& state = *world_;
        const auto now = clock_type::now();
        const auto value_of = [&](channel& c) {
            double value = c.base(now);
            if (c.noise > 0) value += static_cast<double>(std::uniform_int_distribution<long>(-c.noise, c.noise)(state.random));
            return static_cast<std::uint32_t>(std::clamp(std::lround(value), 0L, c.high));
        };
        const auto due = [&](channel& c) { return c.due(now); };
        if (due(state.encoder)) board_.set_encoder(value_of(state.encoder));
        for (int a = 0; a <= last_analog; ++a) {
            channel& c = state.analog[static_cast<std::size_t>(a)];
            if (due(c)) board_.set_analog(a, static_cast<std::uint16_t>(value_of(c)));
        }
        for (int s = 0; s <= last_sensor; ++s)
            for (int word = 0; word <= last_word; ++word) {
                channel& c = state.sensor(s, word);
                if (due(c)) board_.set_sensor_word(s, word, static_cast<std::uint16_t>(value_of(c)));
            }
        for (std::size_t i = 0; i < state.inputs.size(); ++i) {
            toggler& input = state.inputs[i];
            if (input.period_ms <= 0 || now < input.next) continue;
            input.value = input.value != 0 ? 0 : 1;
            input.next = now + std::chrono::milliseconds(input.period_ms);
            board_.set_input(static_cast<int>(i + 1), input.value);
        }
        wake_.wait_for(lock, period, [this] { return stopping_.load(); });
    }
}

}  // namespace emu
