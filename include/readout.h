#pragma once
// The positioner's read-out rules, apart from any window: the I2C exchanges with the two
// motion sensors, the sample windows, the SSI stability rule and the indicator decisions.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sensor_registers.h"

class a_usb;

namespace readout {

// The board operations the read-out needs; the station adapts its USB link to it,
// tests put a recording fake behind it.
class bus {
public:
    virtual ~bus() = default;
    virtual void i2c_init() = 0;
    virtual void i2c_start() = 0;
    virtual void i2c_stop() = 0;
    virtual std::uint8_t i2c_write(std::uint8_t byte) = 0;
    virtual std::uint8_t i2c_read(std::uint8_t acknowledge) = 0;
    virtual std::uint32_t ssi_read() = 0;
};

// The station's USB link as the read-out sees it.
class link_bus final : public bus {
public:
    explicit link_bus(a_usb& link) : usb(link) {}
    void i2c_init() override;
    void i2c_start() override;
    void i2c_stop() override;
    std::uint8_t i2c_write(std::uint8_t byte) override;
    std::uint8_t i2c_read(std::uint8_t acknowledge) override;
    std::uint32_t ssi_read() override;

private:
    a_usb& usb;
};

// Forwards to a board until one exchange fails and makes none after that, so a tick
// stops at its first failed exchange; succeeded tells how the board's last one went.
// Once failed() holds, whatever the sequence read carries no reading.
class stopping_bus final : public bus {
public:
    stopping_bus(bus& board, std::function<bool()> succeeded)
        : board_(board), succeeded_(std::move(succeeded)) {}
    void i2c_init() override;
    void i2c_start() override;
    void i2c_stop() override;
    std::uint8_t i2c_write(std::uint8_t byte) override;
    std::uint8_t i2c_read(std::uint8_t acknowledge) override;
    std::uint32_t ssi_read() override;
    bool failed() const { return failed_; }

private:
    template <typename Operation>
    auto forward(Operation operation) -> decltype(operation());
    bus& board_;
    std::function<bool()> succeeded_;
    bool failed_ = false;
};

// Watches the address phase of each I2C transaction, the first byte written after a start:
// a part that does not acknowledge its address is not on the bus, and whatever is read
// from it is the pull-ups, not a measurement. Forwards every operation unchanged.
class address_watch final : public bus {
public:
    explicit address_watch(bus& board) : board_(board) {}
    void i2c_init() override { board_.i2c_init(); }
    void i2c_start() override;
    void i2c_stop() override { board_.i2c_stop(); }
    std::uint8_t i2c_write(std::uint8_t byte) override;
    std::uint8_t i2c_read(std::uint8_t acknowledge) override { return board_.i2c_read(acknowledge); }
    std::uint32_t ssi_read() override { return board_.ssi_read(); }
    // Whether an address went unacknowledged since the last clear().
    bool unanswered() const { return unanswered_; }
    void clear() { unanswered_ = false; }

private:
    bus& board_;
    bool address_next_ = false;
    bool unanswered_ = false;
};

// Address bytes (write bit clear) of the two sensors.
constexpr std::uint8_t sensor1_address = sensor_registers::write_address(sensor_registers::bus_address[0]);
constexpr std::uint8_t sensor2_address = sensor_registers::write_address(sensor_registers::bus_address[1]);
constexpr std::uint8_t register_power = sensor_registers::power;
constexpr std::uint8_t register_identity = sensor_registers::identity;
constexpr std::uint8_t register_data = sensor_registers::data_first;
constexpr std::uint8_t ack = 0;
constexpr std::uint8_t nack = 1;

// Wakes one sensor and reads its identity register: 11 bus operations. Returns the identity byte.
std::uint8_t set_up_sensor(bus& board, std::uint8_t address_byte);
// Reads one register of a sensor, without waking it: 7 bus operations.
std::uint8_t read_register(bus& board, std::uint8_t address_byte, std::uint8_t reg);

struct sensor_words {
    std::uint16_t first = 0;   // the first data word
    std::uint16_t second = 0;  // the word after it
};
// Wakes one sensor again and reads its first two data words: 14 bus operations.
sensor_words read_sensor(bus& board, std::uint8_t address_byte);

// The "Reg %i: %i" text logged for a sensor's identity byte.
std::string identity_text(std::uint8_t identity);
// Why the sensors numbered (1-based, ascending) give no reading.
std::string unanswered_text(const std::vector<int>& sensors);

constexpr std::size_t window_size = 8;
// Appends a sample and drops the oldest once the window holds more than window_size.
void push_sample(std::vector<float>& window, float sample);
// Float sum of the samples, oldest first, divided by the count; 0 for an empty window.
float window_mean(const std::vector<float>& window);
// Mean of the first window minus mean of the second, in float.
float mean_difference(const std::vector<float>& first, const std::vector<float>& second);

// The X field is rewritten only while two successive SSI readings agree.
bool ssi_stable(std::int32_t value, std::int32_t previous);
// Counts a still encoder's reading may stray either side of the shaft's position.
constexpr std::int64_t encoder_jitter = 1;
// What X shows after an SSI reading (nothing: the shaft has no settled position): the
// reading when it agrees with the one before; the value shown so far while the reading
// stays within tolerance of it and stepped no further than jitter can (2 x encoder_jitter)
// since the last one.
std::optional<std::int32_t> settled_x(std::int32_t value, std::optional<std::int32_t> previous,
                                      std::optional<std::int32_t> shown, float tolerance);

// Target minus actual, subtracted in double and kept as float.
float deviation(double target, double actual);

// Rows X, A and B come from the board; Y (row 1) is typed by the operator.
constexpr bool from_board(int row) { return row != 1; }

// What happens to the board and its readings, each reported once when it happens.
enum class link_event { board_connected, board_lost, readings_stopped, readings_resumed };
// The log line of an event ("" for the ones the check box already shows).
std::string event_line(link_event event, const std::string& reason);
// How the production records name an event.
std::string event_record(link_event event, const std::string& reason);

// Whether the board's readings flow. Readings that never started are not reported as
// stopped unless an exchange failed; a stop and the resumption after it are.
class readings_flow {
public:
    std::optional<link_event> update(bool tick_read, bool board_connected);

private:
    enum class state { starting, flowing, stopped } state_ = state::starting;
};

// How far each row (X, Y, alpha, beta) may be from its target.
constexpr std::array<float, 4> row_tolerance{10.0f, 10.0f, 250.0f, 250.0f};

enum class indicator { up_arrow, down_arrow, ok_mark };
const char* image_file(indicator image);

struct row_decision {
    std::optional<indicator> image;  // what to show now; nothing when the row keeps its image
    bool row_ok = false;
};
// The three tests on one row: an arrow when the deviation has just left the band
// (or crossed it), the OK mark while this and the previous deviation are inside it.
// A deviation exactly on the band's edge changes nothing.
row_decision decide_row(float deviation, float previous_deviation, float tolerance,
                        bool row_ok);

enum class overall_change { none, to_ok, to_nok };
constexpr const char* ok_image = "OK.png";
constexpr const char* nok_image = "NOK.png";
// The overall image changes only when the all-rows-OK state changes.
overall_change decide_overall(const bool (&row_ok)[4], bool all_ok);

// The "I2C read" diagnostic: wakes the first sensor, then reads 14 bytes from its
// gyro registers, handing each piece of its log text to append as it goes.
void i2c_read_diagnostic(bus& board, const std::function<void(const std::string&)>& append);
// Status word of an address line: "0", "1", or "-1" for anything else.
std::string nack_status(std::uint8_t result);

}  // namespace readout
