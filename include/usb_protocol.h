#pragma once
// The controller board's wire format, in one place: the station's link and the
// emulated board's firmware model both read it from here.
#include <array>
#include <cstddef>
#include <cstdint>

namespace usb_protocol {

constexpr std::uint16_t vendor_id = 0x04D8;
constexpr std::uint16_t product_id = 0x0053;
constexpr int interface_number = 0;
constexpr unsigned char endpoint_out = 0x01;
constexpr unsigned char endpoint_in = 0x81;
constexpr std::size_t packet_size = 64;
using packet = std::array<std::uint8_t, packet_size>;

enum command : std::uint8_t {
    cmd_read_io_status = 0x82,
    cmd_write_outputs = 0x83,
    cmd_i2c_init = 0x8C,
    cmd_i2c_start = 0x8D,
    cmd_i2c_stop = 0x8E,
    cmd_i2c_write = 0x90,
    cmd_i2c_read = 0x91,
    cmd_ssi_read = 0x92,
};

struct command_entry {
    command code;
    std::size_t request_length;  // bytes sent on endpoint_out
    bool has_reply;              // a 64-byte reply is read from endpoint_in
    unsigned int timeout_ms;
    std::size_t reply_used;      // leading reply bytes the command reads; a shorter reply failed
};

// Layout of the IO status reply (command 0x82).
constexpr std::size_t input_count = 12;
constexpr std::size_t inputs_offset = 0;
constexpr std::size_t an0_offset = 20;  // high byte first
constexpr std::size_t an1_offset = 22;  // high byte first
constexpr std::size_t analog_count = 2;
constexpr std::size_t io_status_used = an1_offset + 2;

// Argument byte of 0x90 / 0x91, reply byte 0 of 0x90 / 0x91.
constexpr std::size_t argument_offset = 1;
// SSI value in the reply to 0x92: bytes 2, 3, 4, least significant first.
constexpr std::size_t ssi_offset = 2;
constexpr std::size_t ssi_length = 3;
constexpr std::size_t ssi_used = ssi_offset + ssi_length;

constexpr command_entry command_table[] = {
    // code                request  reply  timeout  reply bytes used
    {cmd_read_io_status,   1,       true,  10000,   io_status_used},
    {cmd_write_outputs,    packet_size, false, 1500, 0},
    {cmd_i2c_init,         1,       false, 10000,   0},
    {cmd_i2c_start,        1,       false, 10000,   0},
    {cmd_i2c_stop,         1,       false, 10000,   0},
    {cmd_i2c_write,        16,      true,  10000,   1},
    {cmd_i2c_read,         16,      true,  10000,   1},
    {cmd_ssi_read,         16,      true,  10000,   ssi_used},
};

constexpr const command_entry* find_command(std::uint8_t code) {
    for (const auto& entry : command_table)
        if (entry.code == code) return &entry;
    return nullptr;
}

// Layout of the output request (command 0x83): the command byte, then one byte per output.
constexpr std::size_t output_count = 17;
constexpr std::size_t outputs_offset = 1;

// Results handed back in the data channel when no exchange could be made.
constexpr std::uint8_t result_not_connected = 2;
constexpr std::uint8_t result_failed = 0;

}  // namespace usb_protocol
