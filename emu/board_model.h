#pragma once
// Firmware model of the controller board: what the board answers to each command
// packet, with no USB underneath. The emulated board's transport feeds it the OUT
// packets and hands its replies to IN transfers; unit tests drive it directly.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "sensor_registers.h"
#include "usb_protocol.h"

namespace emu {

using packet = usb_protocol::packet;

// An MPU-6050-type motion sensor as seen from the I2C bus: a register file with a
// register pointer that the first byte written after the address sets and that every
// further byte read or written advances.
class motion_sensor {
public:
    static constexpr int word_count = sensor_registers::data_word_count;

    motion_sensor();

    // Power-on state: asleep, register pointer 0, data registers zero.
    void power_on_reset();

    // Bus side.
    void begin_transaction();              // addressed by a start + address byte
    void write_byte(std::uint8_t value);   // first byte sets the pointer
    std::uint8_t read_byte();

    // Physical side: what the part measures. While it sleeps its data registers keep the
    // values of the moment it fell asleep, as the real part's do.
    void set_measurement(int word, std::uint16_t value);
    void set_identity(std::uint8_t identity);
    bool asleep() const;
    std::uint8_t reg(std::uint8_t address) const { return registers_[address & 0x7F]; }

private:
    void latch_measurements();
    void store(std::uint8_t address, std::uint8_t value);

    std::array<std::uint8_t, 128> registers_{};
    std::array<std::uint16_t, word_count> measured_{};
    std::uint8_t identity_ = sensor_registers::identity_value;
    std::uint8_t pointer_ = 0;
    bool pointer_pending_ = false;  // the next written byte is a register number
};

// The board's firmware: IO block, byte-level I2C master with two sensors on its bus,
// SSI encoder input.
class board_model {
public:
    static constexpr int sensor_count = static_cast<int>(sensor_registers::sensor_count);

    board_model();

    // One OUT packet; the reply the board queues on its IN endpoint, if the command has one.
    std::optional<packet> handle(const std::uint8_t* data, std::size_t length);

    // The board lost power (unplugged) and came back: firmware state and sensors reset;
    // what the board measures (inputs, analog, encoder, sensor readings) stays.
    void power_cycle();

    void set_input(int number, std::uint8_t value);     // 1..usb_protocol::input_count
    void set_analog(int channel, std::uint16_t count);  // 0 or 1
    void set_encoder(std::uint32_t value);              // 24 bits kept
    void set_sensor_word(int sensor, int word, std::uint16_t value);
    void set_sensor_identity(int sensor, std::uint8_t identity);
    void set_sensor_present(int sensor, bool present);
    // A loose contact: the sensor leaves the last off of every `every` addressings unanswered.
    void set_sensor_loose(int sensor, int off, int every);

    std::array<std::uint8_t, usb_protocol::output_count> outputs() const { return outputs_; }
    std::uint32_t encoder() const { return encoder_; }
    const motion_sensor& sensor(int index) const;

private:
    enum class bus_state {
        idle,           // after init or stop: nobody listens
        expect_address, // after a start
        writing,        // a slave took its address with the write bit
        reading,        // a slave took its address with the read bit and drives the bus
        released,       // nobody selected until the next start
    };

    packet io_status() const;
    std::uint8_t i2c_write(std::uint8_t value);  // returns the nACK flag
    std::uint8_t i2c_read(std::uint8_t nack);    // returns the data byte
    motion_sensor* find_sensor(std::uint8_t address7);

    std::array<std::uint8_t, usb_protocol::input_count> inputs_{};
    std::array<std::uint16_t, usb_protocol::analog_count> analog_{};
    std::array<std::uint8_t, usb_protocol::output_count> outputs_{};
    std::uint32_t encoder_ = 0;
    std::array<motion_sensor, sensor_count> sensors_{};
    std::array<bool, sensor_count> present_{{true, true}};
    struct loose_contact {
        int off = 0, every = 0, addressed = 0;
        bool answers();  // counts one addressing
    };
    std::array<loose_contact, sensor_count> loose_{};
    bus_state bus_ = bus_state::idle;
    motion_sensor* selected_ = nullptr;
};

}  // namespace emu
