#include "readout.h"

#include <cstdio>
#include <type_traits>

#include "a_usb.h"

namespace readout {

namespace {

// Start, then the sensor's address and the wake-up write (0 into the power register).
// No stop follows: the next start is a repeated start.
void wake(bus& board, std::uint8_t address_byte) {
    board.i2c_start();
    board.i2c_write(address_byte);
    board.i2c_write(register_power);
    board.i2c_write(0x00);
}

// Points the sensor's register pointer at reg and turns the bus round for reading.
void select_for_reading(bus& board, std::uint8_t address_byte, std::uint8_t reg) {
    board.i2c_start();
    board.i2c_write(address_byte);
    board.i2c_write(reg);
    board.i2c_start();
    board.i2c_write(static_cast<std::uint8_t>(address_byte + 1));
}

std::uint16_t read_word(bus& board, std::uint8_t last_acknowledge) {
    const unsigned high = board.i2c_read(ack);
    const unsigned low = board.i2c_read(last_acknowledge);
    return static_cast<std::uint16_t>(high * 256u + low);
}

}  // namespace

std::uint8_t read_register(bus& board, std::uint8_t address_byte, std::uint8_t reg) {
    select_for_reading(board, address_byte, reg);
    const std::uint8_t value = board.i2c_read(nack);
    board.i2c_stop();
    return value;
}

void link_bus::i2c_init() { usb.i2c_init(); }
void link_bus::i2c_start() { usb.i2c_start(); }
void link_bus::i2c_stop() { usb.i2c_stop(); }
std::uint8_t link_bus::i2c_write(std::uint8_t byte) { return usb.i2c_write(byte); }
std::uint8_t link_bus::i2c_read(std::uint8_t acknowledge) { return usb.i2c_read(acknowledge); }
std::uint32_t link_bus::ssi_read() { return usb.ssi_read(); }

template <typename Operation>
auto stopping_bus::forward(Operation operation) -> decltype(operation()) {
    using result = decltype(operation());
    if (failed_) return result();
    if constexpr (std::is_void_v<result>) {
        operation();
        failed_ = !succeeded_();
    } else {
        const result value = operation();
        failed_ = !succeeded_();
        return value;
    }
}

void stopping_bus::i2c_init() { forward([this] { board_.i2c_init(); }); }
void stopping_bus::i2c_start() { forward([this] { board_.i2c_start(); }); }
void stopping_bus::i2c_stop() { forward([this] { board_.i2c_stop(); }); }
std::uint8_t stopping_bus::i2c_write(std::uint8_t byte) {
    return forward([this, byte] { return board_.i2c_write(byte); });
}
std::uint8_t stopping_bus::i2c_read(std::uint8_t acknowledge) {
    return forward([this, acknowledge] { return board_.i2c_read(acknowledge); });
}
std::uint32_t stopping_bus::ssi_read() { return forward([this] { return board_.ssi_read(); }); }

void address_watch::i2c_start() {
    board_.i2c_start();
    address_next_ = true;
}

std::uint8_t address_watch::i2c_write(std::uint8_t byte) {
    const std::uint8_t result = board_.i2c_write(byte);
    // Any answer but an acknowledge (0) leaves the address unanswered.
    if (address_next_ && result != 0) unanswered_ = true;
    address_next_ = false;
    return result;
}

std::uint8_t set_up_sensor(bus& board, std::uint8_t address_byte) {
    wake(board, address_byte);
    return read_register(board, address_byte, register_identity);
}

sensor_words read_sensor(bus& board, std::uint8_t address_byte) {
    wake(board, address_byte);
    select_for_reading(board, address_byte, register_data);
    sensor_words words;
    words.first = read_word(board, ack);
    words.second = read_word(board, nack);
    board.i2c_stop();
    return words;
}

std::string identity_text(std::uint8_t identity) {
    return "Reg " + std::to_string(register_identity) + ": " + std::to_string(identity);
}

std::string unanswered_text(const std::vector<int>& sensors) {
    std::string named;
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        char one[32];
        const auto index = static_cast<std::size_t>(sensors[i] - 1);
        std::snprintf(one, sizeof one, "%d (0x%02X)", sensors[i], sensor_registers::bus_address[index]);
        named += std::string(i == 0 ? "" : " and ") + one;
    }
    return sensors.size() == 1 ? "sensor " + named + " does not acknowledge its address"
                               : "sensors " + named + " do not acknowledge their addresses";
}

void push_sample(std::vector<float>& window, float sample) {
    window.push_back(sample);
    if (window.size() > window_size) window.erase(window.begin());
}

float window_mean(const std::vector<float>& window) {
    if (window.empty()) return 0.0f;
    float sum = 0.0f;
    for (const float sample : window) sum += sample;
    return sum / static_cast<float>(window.size());
}

float mean_difference(const std::vector<float>& first, const std::vector<float>& second) {
    return window_mean(first) - window_mean(second);
}

bool ssi_stable(std::int32_t value, std::int32_t previous) { return value == previous; }

std::optional<std::int32_t> settled_x(std::int32_t value, std::optional<std::int32_t> previous,
                                      std::optional<std::int32_t> shown, float tolerance) {
    if (previous && ssi_stable(value, *previous)) return value;
    if (!previous || !shown) return std::nullopt;
    const auto distance = [](std::int64_t a, std::int64_t b) { return a > b ? a - b : b - a; };
    const bool near_shown = static_cast<double>(distance(value, *shown)) <= static_cast<double>(tolerance);
    const bool still = distance(value, *previous) <= 2 * encoder_jitter;
    return near_shown && still ? shown : std::nullopt;
}

float deviation(double target, double actual) { return static_cast<float>(target - actual); }

std::string event_line(link_event event, const std::string& reason) {
    switch (event) {
        case link_event::readings_stopped: return "Readings stopped: " + reason;
        case link_event::readings_resumed: return "Readings resumed";
        case link_event::board_connected:
        case link_event::board_lost: break;
    }
    return {};
}

std::string event_record(link_event event, const std::string& reason) {
    switch (event) {
        case link_event::board_connected: return "board connected";
        case link_event::board_lost: return "board lost";
        case link_event::readings_stopped: return "readings stopped: " + reason;
        case link_event::readings_resumed: return "readings resumed";
    }
    return {};
}

std::optional<link_event> readings_flow::update(bool tick_read, bool board_connected) {
    if (tick_read) {
        const bool resumed = state_ == state::stopped;
        state_ = state::flowing;
        if (resumed) return link_event::readings_resumed;
        return std::nullopt;
    }
    // A board that was never there has stopped nothing.
    if (state_ == state::stopped || (state_ == state::starting && !board_connected)) return std::nullopt;
    state_ = state::stopped;
    return link_event::readings_stopped;
}

const char* image_file(indicator image) {
    switch (image) {
        case indicator::up_arrow: return "up-arrow.png";
        case indicator::down_arrow: return "down-arrow.png";
        case indicator::ok_mark: return "ok-mark.png";
    }
    return "";
}

row_decision decide_row(float d, float p, float t, bool row_ok) {
    row_decision decision{std::nullopt, row_ok};
    // The three tests exclude each other for a given d; NaN passes none of them.
    if (d > t && !(p > t)) decision = {indicator::down_arrow, false};
    if (d < -t && !(p < -t)) decision = {indicator::up_arrow, false};
    if (-t < d && d < t && -t < p && p < t) decision = {indicator::ok_mark, true};
    return decision;
}

overall_change decide_overall(const bool (&row_ok)[4], bool all_ok) {
    const bool every_row_ok = row_ok[0] && row_ok[1] && row_ok[2] && row_ok[3];
    if (every_row_ok && !all_ok) return overall_change::to_ok;
    if (!every_row_ok && all_ok) return overall_change::to_nok;
    return overall_change::none;
}

std::string nack_status(std::uint8_t result) {
    if (result == 0) return "0";
    if (result == 1) return "1";
    return "-1";
}

void i2c_read_diagnostic(bus& board, const std::function<void(const std::string&)>& append) {
    // The line names the 7-bit address in decimal, whichever direction bit was sent.
    const auto address_line = [&append](std::uint8_t result) {
        append("I2C write address:\t104\tnACK: ");
        append(nack_status(result));
        append("\n");
    };
    const auto read_line = [&append](std::uint8_t byte) {
        append("I2C read  :\t" + std::to_string(static_cast<unsigned>(byte)));
        append("\n");
    };

    board.i2c_start();
    address_line(board.i2c_write(sensor1_address));
    board.i2c_write(register_power);
    board.i2c_write(0x00);
    board.i2c_start();
    address_line(board.i2c_write(sensor1_address));
    const std::uint8_t select = board.i2c_write(sensor_registers::gyro_first);
    char text[64];
    std::snprintf(text, sizeof text, "Select Register: %i, nAck: %i\n", sensor_registers::gyro_first,
                  static_cast<int>(static_cast<std::int8_t>(select)));
    append(text);
    board.i2c_start();
    address_line(board.i2c_write(sensor_registers::read_address(sensor_registers::bus_address[0])));
    for (int i = 0; i < 13; ++i) read_line(board.i2c_read(ack));
    read_line(board.i2c_read(nack));
    board.i2c_stop();
}

}  // namespace readout
