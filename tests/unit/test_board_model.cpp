// The emulated board's firmware model, driven packet by packet as the station drives it.
#include "board_model.h"
#include "usb_protocol.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

using emu::board_model;

class BoardModel : public ::testing::Test {
protected:
    std::optional<emu::packet> send(std::initializer_list<std::uint8_t> bytes, std::size_t length) {
        std::vector<std::uint8_t> request(length, 0);
        std::copy(bytes.begin(), bytes.end(), request.begin());
        return model.handle(request.data(), request.size());
    }
    void start() { EXPECT_FALSE(send({usb_protocol::cmd_i2c_start}, 1)); }
    void stop() { EXPECT_FALSE(send({usb_protocol::cmd_i2c_stop}, 1)); }
    std::uint8_t write(std::uint8_t byte) {
        auto reply = send({usb_protocol::cmd_i2c_write, byte}, 16);
        EXPECT_TRUE(reply.has_value());
        return reply ? (*reply)[0] : 0xEE;
    }
    std::uint8_t read(std::uint8_t nack) {
        auto reply = send({usb_protocol::cmd_i2c_read, nack}, 16);
        EXPECT_TRUE(reply.has_value());
        return reply ? (*reply)[0] : 0xEE;
    }
    // The station's tick for one sensor: wake, point at 0x3B, repeated start, two words.
    std::pair<unsigned, unsigned> read_two_words(std::uint8_t address_byte) {
        start();
        EXPECT_EQ(write(address_byte), 0);
        EXPECT_EQ(write(0x6B), 0);
        EXPECT_EQ(write(0x00), 0);
        start();
        EXPECT_EQ(write(address_byte), 0);
        EXPECT_EQ(write(0x3B), 0);
        start();
        EXPECT_EQ(write(static_cast<std::uint8_t>(address_byte + 1)), 0);
        const unsigned w0 = read(0) * 256u;
        const unsigned w0_low = read(0);
        const unsigned w1 = read(0) * 256u;
        const unsigned w1_low = read(1);
        stop();
        return {w0 + w0_low, w1 + w1_low};
    }
    std::uint8_t identity(std::uint8_t address_byte) {
        start();
        write(address_byte);
        write(0x75);
        start();
        write(static_cast<std::uint8_t>(address_byte + 1));
        const std::uint8_t id = read(1);
        stop();
        return id;
    }

    board_model model;
};

TEST_F(BoardModel, IoStatusCarriesInputsAndAnalogCounts) {
    model.set_input(1, 1);
    model.set_input(3, 7);
    model.set_input(12, 255);
    model.set_input(13, 9);  // no such input: ignored
    model.set_analog(0, 0x1234);
    model.set_analog(1, 625);
    const auto reply = send({usb_protocol::cmd_read_io_status}, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[0], 1);
    EXPECT_EQ((*reply)[1], 0);
    EXPECT_EQ((*reply)[2], 7);
    EXPECT_EQ((*reply)[11], 255);
    for (std::size_t i = 12; i < 20; ++i) EXPECT_EQ((*reply)[i], 0) << i;
    EXPECT_EQ((*reply)[20], 0x12);
    EXPECT_EQ((*reply)[21], 0x34);
    EXPECT_EQ((*reply)[22], 625 >> 8);
    EXPECT_EQ((*reply)[23], 625 & 0xFF);
}

TEST_F(BoardModel, OutputsTakeTheSeventeenBytesAfterTheCommand) {
    std::vector<std::uint8_t> request(64, 0);
    request[0] = usb_protocol::cmd_write_outputs;
    for (std::size_t i = 1; i <= 17; ++i) request[i] = static_cast<std::uint8_t>(i % 2);
    request[18] = 1;  // beyond output 17: not an output
    EXPECT_FALSE(model.handle(request.data(), request.size()));
    const auto outputs = model.outputs();
    for (std::size_t i = 0; i < 17; ++i) EXPECT_EQ(outputs[i], (i + 1) % 2) << i;

    model.power_cycle();
    for (auto value : model.outputs()) EXPECT_EQ(value, 0);
}

TEST_F(BoardModel, SsiValueLeastSignificantByteFirst) {
    model.set_encoder(197121);
    auto reply = send({usb_protocol::cmd_ssi_read}, 16);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[0], 0);
    EXPECT_EQ((*reply)[1], 0);
    EXPECT_EQ((*reply)[2], 1);
    EXPECT_EQ((*reply)[3], 2);
    EXPECT_EQ((*reply)[4], 3);
    EXPECT_EQ((*reply)[5], 0);

    model.set_encoder(0x1FFFFFF);  // the input is 24 bits wide
    reply = send({usb_protocol::cmd_ssi_read}, 16);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[2], 0xFF);
    EXPECT_EQ((*reply)[3], 0xFF);
    EXPECT_EQ((*reply)[4], 0xFF);
}

TEST_F(BoardModel, CommandsWithoutReplyAndUnknownCommands) {
    EXPECT_FALSE(send({usb_protocol::cmd_i2c_init}, 1));
    EXPECT_FALSE(send({usb_protocol::cmd_i2c_start}, 1));
    EXPECT_FALSE(send({usb_protocol::cmd_i2c_stop}, 1));
    EXPECT_FALSE(send({0x00}, 16));
    EXPECT_FALSE(send({0x93}, 16));
    EXPECT_FALSE(send({0xFF}, 64));
    EXPECT_FALSE(model.handle(nullptr, 0));
    // A write without its argument byte clocks out zero.
    start();
    const std::uint8_t only_command = usb_protocol::cmd_i2c_write;
    auto reply = model.handle(&only_command, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[0], 1) << "address 0 (general call) has no slave here";
}

TEST_F(BoardModel, StationSetUpAndReadSequences) {
    model.set_sensor_word(0, 0, 20000);
    model.set_sensor_word(0, 1, 30000);
    model.set_sensor_word(1, 0, 18800);
    model.set_sensor_word(1, 1, 30800);

    EXPECT_FALSE(send({usb_protocol::cmd_i2c_init}, 1));
    EXPECT_EQ(identity(0xD0), 0x68);
    EXPECT_EQ(identity(0xD2), 0x68) << "both parts answer 0x68 whatever their address pin";

    EXPECT_EQ(read_two_words(0xD0), std::make_pair(20000u, 30000u));
    EXPECT_EQ(read_two_words(0xD2), std::make_pair(18800u, 30800u));
    EXPECT_FALSE(model.sensor(0).asleep());

    model.set_sensor_word(1, 0, 65535);
    EXPECT_EQ(read_two_words(0xD2).first, 65535u);

    model.set_sensor_identity(1, 0x72);
    EXPECT_EQ(identity(0xD2), 0x72);
    EXPECT_EQ(identity(0xD0), 0x68);
}

TEST_F(BoardModel, RegisterPointerAutoIncrementsOnReadsAndWrites) {
    // Burst write from 0x19: 0x19, 0x1A, 0x1B get the three bytes.
    start();
    EXPECT_EQ(write(0xD0), 0);
    EXPECT_EQ(write(0x19), 0);
    EXPECT_EQ(write(0x07), 0);
    EXPECT_EQ(write(0x03), 0);
    EXPECT_EQ(write(0x18), 0);
    stop();
    EXPECT_EQ(model.sensor(0).reg(0x19), 0x07);
    EXPECT_EQ(model.sensor(0).reg(0x1A), 0x03);
    EXPECT_EQ(model.sensor(0).reg(0x1B), 0x18);
    EXPECT_EQ(model.sensor(1).reg(0x19), 0x00) << "the other part saw nothing";

    // Read them back in one burst after a repeated start.
    start();
    write(0xD0);
    write(0x19);
    start();
    write(0xD1);
    EXPECT_EQ(read(0), 0x07);
    EXPECT_EQ(read(0), 0x03);
    EXPECT_EQ(read(1), 0x18);
    // After the master's nACK the slave lets go of the bus.
    EXPECT_EQ(read(1), 0xFF);
    stop();

    // The diagnostic read: 14 bytes from 0x43 run through the data words 0x43..0x48 and on.
    model.set_sensor_word(0, 4, 0x0102);  // 0x43-0x44
    model.set_sensor_word(0, 6, 0xA0B0);  // 0x47-0x48
    start();
    write(0xD0);
    write(0x6B);
    write(0x00);
    start();
    write(0xD0);
    EXPECT_EQ(write(0x43), 0);
    start();
    write(0xD1);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 13; ++i) bytes.push_back(read(0));
    bytes.push_back(read(1));
    stop();
    ASSERT_EQ(bytes.size(), 14u);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x02);
    EXPECT_EQ(bytes[4], 0xA0);
    EXPECT_EQ(bytes[5], 0xB0);

    // Writes to read-only registers are ignored, and still advance the pointer.
    start();
    write(0xD0);
    write(0x74);
    write(0x55);
    write(0x99);  // 0x75, identity: read-only
    stop();
    EXPECT_EQ(model.sensor(0).reg(0x74), 0x55);
    EXPECT_EQ(identity(0xD0), 0x68);
}

TEST_F(BoardModel, SleepingPartAnswersButHoldsItsData) {
    model.set_sensor_word(0, 0, 1234);
    // Power-on: asleep, data registers still zero, identity readable.
    EXPECT_TRUE(model.sensor(0).asleep());
    EXPECT_EQ(identity(0xD0), 0x68);
    start();
    write(0xD0);
    write(0x3B);
    start();
    write(0xD1);
    EXPECT_EQ(read(0), 0);
    EXPECT_EQ(read(1), 0);
    stop();

    EXPECT_EQ(read_two_words(0xD0).first, 1234u);  // the wake-up write makes data flow

    // Sleep again (0x40): the data registers keep the last sample.
    start();
    write(0xD0);
    write(0x6B);
    write(0x40);
    stop();
    EXPECT_TRUE(model.sensor(0).asleep());
    model.set_sensor_word(0, 0, 4321);
    start();
    write(0xD0);
    write(0x3B);
    start();
    write(0xD1);
    EXPECT_EQ(read(0) * 256 + read(1), 1234);
    stop();

    // Device reset (0x80) puts it back to the power-on state.
    read_two_words(0xD0);
    start();
    write(0xD0);
    write(0x6B);
    write(0x80);
    stop();
    EXPECT_TRUE(model.sensor(0).asleep());
    EXPECT_EQ(model.sensor(0).reg(0x3B), 0);
}

TEST_F(BoardModel, AbsentOrUnselectedSlavesDoNotAnswer) {
    // Nobody lives at 0x50; the bus then floats until the next start.
    start();
    EXPECT_EQ(write(0xA0), 1);
    EXPECT_EQ(write(0x00), 1);
    EXPECT_EQ(read(1), 0xFF);
    stop();

    // No start at all.
    EXPECT_EQ(write(0xD0), 1);
    EXPECT_EQ(read(0), 0xFF);

    // After a stop nobody is selected any more.
    start();
    EXPECT_EQ(write(0xD1), 0);
    stop();
    EXPECT_EQ(read(0), 0xFF);

    // Writing while the slave transmits: it does not acknowledge.
    start();
    EXPECT_EQ(write(0xD1), 0);
    EXPECT_EQ(write(0x10), 1);
    stop();

    // A sensor taken off the bus.
    model.set_sensor_present(1, false);
    start();
    EXPECT_EQ(write(0xD2), 1);
    start();
    EXPECT_EQ(write(0xD3), 1);
    EXPECT_EQ(read(1), 0xFF);
    stop();
    start();
    EXPECT_EQ(write(0xD0), 0) << "the other one is still there";
    stop();
    model.set_sensor_present(1, true);
    EXPECT_EQ(identity(0xD2), 0x68);
}

TEST_F(BoardModel, PowerCycleSendsSensorsToSleepButKeepsTheWorld) {
    model.set_encoder(15228);
    model.set_input(2, 1);
    model.set_sensor_word(0, 0, 500);
    read_two_words(0xD0);
    start();
    write(0xD0);  // left mid-transaction
    model.power_cycle();
    EXPECT_TRUE(model.sensor(0).asleep());
    EXPECT_EQ(write(0x6B), 1) << "the bus is idle after power-up";
    EXPECT_EQ(model.encoder(), 15228u);
    EXPECT_EQ((*send({usb_protocol::cmd_read_io_status}, 1))[1], 1);
    EXPECT_EQ(read_two_words(0xD0).first, 500u);
}

}  // namespace
