#include "board_model.h"

#include "usb_protocol.h"

namespace emu {

namespace {
namespace reg = sensor_registers;

bool read_only(std::uint8_t address) {
    return (address >= reg::data_first && address <= reg::data_last) || address == reg::identity;
}

std::uint8_t high_byte(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t low_byte(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }
}  // namespace

// ---------------------------------------------------------------- motion_sensor

motion_sensor::motion_sensor() { power_on_reset(); }

void motion_sensor::power_on_reset() {
    registers_.fill(0);
    registers_[reg::power] = reg::power_sleep_bit;
    registers_[reg::identity] = identity_;
    pointer_ = 0;
    pointer_pending_ = false;
}

void motion_sensor::begin_transaction() {
    pointer_pending_ = true;
    // The part holds its data registers still for the length of a burst read, so a word
    // never mixes bytes of two samples.
    if (!asleep()) latch_measurements();
}

void motion_sensor::write_byte(std::uint8_t value) {
    if (pointer_pending_) {
        pointer_ = value & 0x7F;
        pointer_pending_ = false;
        return;
    }
    store(pointer_, value);
    pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
}

std::uint8_t motion_sensor::read_byte() {
    pointer_pending_ = false;
    const std::uint8_t value = registers_[pointer_];
    pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
    return value;
}

void motion_sensor::store(std::uint8_t address, std::uint8_t value) {
    if (read_only(address)) return;
    if (address == reg::power && (value & reg::power_reset_bit) != 0) {
        const std::uint8_t pointer = pointer_;
        power_on_reset();
        pointer_ = pointer;
        return;
    }
    registers_[address] = value;
    if (address == reg::power && !asleep()) latch_measurements();
}

void motion_sensor::set_measurement(int word, std::uint16_t value) {
    if (word < 0 || word >= word_count) return;
    measured_[static_cast<std::size_t>(word)] = value;
}

void motion_sensor::set_identity(std::uint8_t identity) {
    identity_ = identity;
    registers_[reg::identity] = identity;
}

bool motion_sensor::asleep() const { return (registers_[reg::power] & reg::power_sleep_bit) != 0; }

void motion_sensor::latch_measurements() {
    for (std::size_t word = 0; word < measured_.size(); ++word) {
        const std::size_t address = reg::data_first + 2 * word;
        registers_[address] = high_byte(measured_[word]);
        registers_[address + 1] = low_byte(measured_[word]);
    }
}

// ---------------------------------------------------------------- board_model

board_model::board_model() = default;

std::optional<packet> board_model::handle(const std::uint8_t* data, std::size_t length) {
    if (data == nullptr || length == 0) return std::nullopt;
    // A short request reads as zeros beyond its end, like the firmware's cleared buffer.
    const auto byte_at = [&](std::size_t offset) -> std::uint8_t {
        return offset < length ? data[offset] : 0;
    };
    packet reply{};
    switch (data[0]) {
    case usb_protocol::cmd_read_io_status:
        return io_status();
    case usb_protocol::cmd_write_outputs:
        for (std::size_t i = 0; i < outputs_.size(); ++i)
            outputs_[i] = byte_at(usb_protocol::outputs_offset + i);
        return std::nullopt;
    case usb_protocol::cmd_i2c_init:
    case usb_protocol::cmd_i2c_stop:
        bus_ = bus_state::idle;
        selected_ = nullptr;
        return std::nullopt;
    case usb_protocol::cmd_i2c_start:
        bus_ = bus_state::expect_address;
        selected_ = nullptr;
        return std::nullopt;
    case usb_protocol::cmd_i2c_write:
        reply[0] = i2c_write(byte_at(usb_protocol::argument_offset));
        return reply;
    case usb_protocol::cmd_i2c_read:
        reply[0] = i2c_read(byte_at(usb_protocol::argument_offset));
        return reply;
    case usb_protocol::cmd_ssi_read:
        for (std::size_t i = 0; i < usb_protocol::ssi_length; ++i)
            reply[usb_protocol::ssi_offset + i] = static_cast<std::uint8_t>((encoder_ >> (8 * i)) & 0xFF);
        return reply;
    default:
        return std::nullopt;  // the firmware ignores what it does not know
    }
}

packet board_model::io_status() const {
    packet reply{};
    for (std::size_t i = 0; i < inputs_.size(); ++i) reply[usb_protocol::inputs_offset + i] = inputs_[i];
    reply[usb_protocol::an0_offset] = high_byte(analog_[0]);
    reply[usb_protocol::an0_offset + 1] = low_byte(analog_[0]);
    reply[usb_protocol::an1_offset] = high_byte(analog_[1]);
    reply[usb_protocol::an1_offset + 1] = low_byte(analog_[1]);
    return reply;
}

motion_sensor* board_model::find_sensor(std::uint8_t address7) {
    for (std::size_t i = 0; i < sensors_.size(); ++i)
        if (present_[i] && reg::bus_address[i] == address7 && loose_[i].answers()) return &sensors_[i];
    return nullptr;
}

std::uint8_t board_model::i2c_write(std::uint8_t value) {
    constexpr std::uint8_t nack = 1;
    switch (bus_) {
    case bus_state::expect_address: {
        selected_ = find_sensor(static_cast<std::uint8_t>(value >> 1));
        if (selected_ == nullptr) {
            bus_ = bus_state::released;
            return nack;
        }
        selected_->begin_transaction();
        bus_ = (value & 1) != 0 ? bus_state::reading : bus_state::writing;
        return 0;
    }
    case bus_state::writing:
        selected_->write_byte(value);
        return 0;
    default:
        // No start, no slave, or a slave that is itself driving the bus: nobody acknowledges.
        return nack;
    }
}

std::uint8_t board_model::i2c_read(std::uint8_t nack) {
    if (bus_ != bus_state::reading) return 0xFF;  // the pull-ups answer
    const std::uint8_t value = selected_->read_byte();
    if (nack != 0) bus_ = bus_state::released;  // the slave stops sending after a nACK
    return value;
}

void board_model::power_cycle() {
    outputs_.fill(0);
    bus_ = bus_state::idle;
    selected_ = nullptr;
    for (auto& part : sensors_) part.power_on_reset();
}

void board_model::set_input(int number, std::uint8_t value) {
    if (number < 1 || number > static_cast<int>(inputs_.size())) return;
    inputs_[static_cast<std::size_t>(number - 1)] = value;
}

void board_model::set_analog(int channel, std::uint16_t count) {
    if (channel < 0 || channel >= static_cast<int>(analog_.size())) return;
    analog_[static_cast<std::size_t>(channel)] = count;
}

void board_model::set_encoder(std::uint32_t value) {
    encoder_ = value & ((1u << (8 * usb_protocol::ssi_length)) - 1);
}

void board_model::set_sensor_word(int sensor, int word, std::uint16_t value) {
    if (sensor < 0 || sensor >= sensor_count) return;
    sensors_[static_cast<std::size_t>(sensor)].set_measurement(word, value);
}

void board_model::set_sensor_identity(int sensor, std::uint8_t identity) {
    if (sensor < 0 || sensor >= sensor_count) return;
    sensors_[static_cast<std::size_t>(sensor)].set_identity(identity);
}

void board_model::set_sensor_present(int sensor, bool present) {
    if (sensor < 0 || sensor >= sensor_count) return;
    present_[static_cast<std::size_t>(sensor)] = present;
    if (selected_ == &sensors_[static_cast<std::size_t>(sensor)] && !present) {
        selected_ = nullptr;
        bus_ = bus_state::released;
    }
}

bool board_model::loose_contact::answers() {
    if (every <= 0) return true;
    return addressed++ % every < every - off;
}

void board_model::set_sensor_loose(int sensor, int off, int every) {
    if (sensor < 0 || sensor >= sensor_count) return;
    loose_[static_cast<std::size_t>(sensor)] = {off, every, 0};
}

const motion_sensor& board_model::sensor(int index) const {
    return sensors_.at(static_cast<std::size_t>(index));
}

}  // namespace emu
