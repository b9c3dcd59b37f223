// Every reply layout the station reads, held against bytes written out here by hand. The
// station and the emulated board take their offsets and sensor registers from the same
// headers, so a wrong one there passes every other test while a real board would show
// wrong inputs or analog values: this file names none of them.
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "a_usb.h"
#include "emulated_board.h"
#include "io_monitor_logic.h"
#include "readout.h"

namespace {

// "a0a1|0102" as bytes ('|' only groups them for the reader); "-" is no byte at all.
std::vector<std::uint8_t> bytes_of(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (const char c : hex)
        if (c != '|' && c != '-') digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The requests that went out, as hex up to their last non-zero byte past the argument byte.
std::string requests_sent() {
    std::string text;
    for (const auto& record : test_board().transfers()) {
        if (record.dir != emu::direction::out) continue;
        text += request_hex(record.data, 2) + ' ';
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::string io_status(a_usb& link) {
    link.read_io_status();
    const io_monitor::status_values values = io_monitor::read_status(link.io_status);
    std::string text = "inputs";
    for (const unsigned input : values.inputs) text += " " + std::to_string(input);
    return text + ", AN0 " + std::to_string(values.analog[0]) + ", AN1 " + std::to_string(values.analog[1]);
}

// Every byte the station must not read carries a value of its own (a0.., e0..), and each
// layout is tried with a reply one byte short of it.
TEST(WireLayout, EveryReplyTheStationReadsAgainstBytesWrittenOutByHand) {
    const auto ssi = [](a_usb& link) { return std::to_string(link.ssi_read()); };
    const auto i2c_read = [](a_usb& link) { return std::to_string(link.i2c_read(1)); };
    const std::string inputs = "0102030405060708090a0b0c|e0e1e2e3e4e5e6e7|", read_out = "inputs 1 2 3 4 5 6 7 8 9 10 11 12";
    const struct {
        const char* layout;
        std::function<std::string(a_usb&)> run;
        std::string replies;  // one per reply, space separated
        const char* requests;
        std::string result;
    } rows[] = {
        {"SSI: bytes 2, 3, 4, least significant first", ssi, "a0a1010203", "9200", "197121"},
        {"SSI one byte short", ssi, "a0a10102", "9200", "0 (reply too short)"},
        {"I2C write: byte 0 is the nACK flag", [](a_usb& link) { return std::to_string(link.i2c_write(0xD0)); },
         "01a1", "90d0", "1"},
        {"I2C read: byte 0 is the data byte", i2c_read, "5aa1", "9101", "90"},
        {"I2C read, empty reply", i2c_read, "-", "9101", "0 (reply too short)"},
        {"IO status: inputs 1-12 at 0-11, AN0 at 20, AN1 at 22, high byte first", io_status,
         inputs + "1234|5678|f8f9", "82", read_out + ", AN0 4660, AN1 22136"},
        {"IO status one byte short keeps the last block", io_status, "0c0b0a090807060504030201|e0e1e2e3e4e5e6e7|4321|87",
         "82", read_out + ", AN0 4660, AN1 22136 (reply too short)"},
        {"first sensor: woken (0 into 6B), then its identity register 75",
         [](a_usb& link) { readout::link_bus bus(link); return std::to_string(readout::set_up_sensor(bus, readout::sensor1_address)); },
         "00 00 00 00 00 00 72", "8d 90d0 906b 9000 8d 90d0 9075 8d 90d1 9101 8e", "114"},
        {"second sensor: its first two data words from 3B, high byte first",
         [](a_usb& link) {
             readout::link_bus bus(link);
             const readout::sensor_words words = readout::read_sensor(bus, readout::sensor2_address);
             return std::to_string(words.first) + " " + std::to_string(words.second);
         },
         "00 00 00 00 00 00 12 34 fe ff", "8d 90d2 906b 9000 8d 90d2 903b 8d 90d3 9100 9100 9100 9101 8e", "4660 65279"},
    };
    set_test_board_plugged(true);
    a_usb link(nullptr);
    link.start_connection_thread();
    ASSERT_TRUE(wait_until([&link] { return link.connected.load(); }));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.layout);
        test_board().clear_transfers();
        std::istringstream replies(row.replies);
        for (std::string reply; replies >> reply;) test_board().answer_next(bytes_of(reply));
        std::string result = row.run(link);
        if (!link.last_exchange().ok()) result += " (" + link.last_exchange().reason() + ")";
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(requests_sent(), row.requests);
        test_board().clear_faults();
    }
}

}  // namespace
