#pragma once
// The two motion sensors on the board's I2C bus and the registers the station uses, in one
// place: the read-out and the emulated board's sensor model both read them from here.
#include <cstddef>
#include <cstdint>

namespace sensor_registers {

constexpr std::size_t sensor_count = 2;
// 7-bit bus addresses: the address pin of the first part is low, of the second high.
constexpr std::uint8_t bus_address[sensor_count] = {0x68, 0x69};

// The address byte that selects a part for writing (read bit clear) or reading.
constexpr std::uint8_t write_address(std::uint8_t address7) { return static_cast<std::uint8_t>(address7 << 1); }
constexpr std::uint8_t read_address(std::uint8_t address7) { return static_cast<std::uint8_t>(write_address(address7) | 1); }

// Data words, high byte first: accel xyz, temperature, gyro xyz.
constexpr std::uint8_t data_first = 0x3B;
constexpr int data_word_count = 7;
constexpr std::uint8_t gyro_first = 0x43;  // where the "I2C read" diagnostic starts
constexpr std::uint8_t data_last = 0x60;   // measurement and external sensor data: read-only

constexpr std::uint8_t power = 0x6B;
constexpr std::uint8_t power_sleep_bit = 0x40;
constexpr std::uint8_t power_reset_bit = 0x80;

constexpr std::uint8_t identity = 0x75;
constexpr std::uint8_t identity_value = 0x68;  // whatever the address pin says

}  // namespace sensor_registers
