#include <cmath>
#include <cstddef>
#include <optional>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "readout.h"
#include "text_convert.h"

namespace {

// Records every bus operation as text and answers reads from a queue; the operation
// numbered fail_at (0-based) fails.
class recording_bus : public readout::bus {
public:
    std::vector<std::string> ops;
    std::deque<std::uint8_t> read_answers;
    std::uint8_t write_answer = 0;
    std::uint32_t ssi = 0;
    std::size_t fail_at = SIZE_MAX;

    void i2c_init() override { op("init"); }
    void i2c_start() override { op("start"); }
    void i2c_stop() override { op("stop"); }
    std::uint8_t i2c_write(std::uint8_t byte) override {
        op("w" + std::to_string(byte));
        return write_answer;
    }
    std::uint8_t i2c_read(std::uint8_t acknowledge) override {
        op("r" + std::to_string(acknowledge));
        if (read_answers.empty()) return 0;
        const std::uint8_t byte = read_answers.front();
        read_answers.pop_front();
        return byte;
    }
    std::uint32_t ssi_read() override {
        op("ssi");
        return ssi;
    }
    bool last_ok() const { return ops.size() != fail_at + 1; }

private:
    void op(const std::string& text) { ops.push_back(text); }
};

using ::testing::ElementsAre;

TEST(ReadoutSequence, SetUpAndSensorReadPutTheirOperationsOnTheBusInOrder) {
    recording_bus bus;
    readout::stopping_bus board(bus, [&bus] { return bus.last_ok(); });
    bus.read_answers = {0x68, 0x12, 0x34, 0xFF, 0xFF};
    EXPECT_EQ(readout::set_up_sensor(board, readout::sensor2_address), 0x68);
    const readout::sensor_words words = readout::read_sensor(board, readout::sensor1_address);
    bus.ssi = 0xABCDEF;
    EXPECT_EQ(board.ssi_read(), 0xABCDEFu);
    EXPECT_FALSE(board.failed());
    // 0xD2 = 210, 0x6B = 107, 0x75 = 117, 0xD3 = 211; 0xD0 = 208, 0x3B = 59, 0xD1 = 209.
    EXPECT_THAT(bus.ops, ElementsAre("start", "w210", "w107", "w0", "start", "w210", "w117",
                                     "start", "w211", "r1", "stop",
                                     "start", "w208", "w107", "w0", "start", "w208", "w59",
                                     "start", "w209", "r0", "r0", "r0", "r1", "stop", "ssi"));
    EXPECT_EQ(words.first, 0x1234);
    EXPECT_EQ(words.second, 65535);  // not sign-extended
    EXPECT_EQ(readout::identity_text(104), "Reg 117: 104");
}

// Whichever exchange fails, the reading is lost and no operation follows it.
TEST(ReadoutSequence, AFailedExchangeEndsTheTickAndGivesNoReading) {
    for (std::size_t fail_at = 0; fail_at < 14; ++fail_at) {
        SCOPED_TRACE(fail_at);
        recording_bus bus;
        bus.fail_at = fail_at;
        readout::stopping_bus board(bus, [&bus] { return bus.last_ok(); });
        readout::read_sensor(board, readout::sensor1_address);
        board.ssi_read();
        EXPECT_TRUE(board.failed());
        EXPECT_EQ(bus.ops.size(), fail_at + 1);
    }
}

// Stops and resumptions are reported once each; a board that never came is not reported.
TEST(ReadoutFlow, ReportsEachStopAndResumptionOnce) {
    using readout::link_event;
    struct step { bool read, connected; std::optional<link_event> reported; };
    const std::vector<step> steps = {
        {false, false, std::nullopt},  // no board at start
        {true, true, std::nullopt},
        {true, true, std::nullopt},
        {false, true, link_event::readings_stopped},
        {false, true, std::nullopt},
        {false, false, std::nullopt},
        {true, true, link_event::readings_resumed},
        {false, false, link_event::readings_stopped},
    };
    readout::readings_flow flow;
    for (std::size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(flow.update(steps[i].read, steps[i].connected), steps[i].reported) << i;
    readout::readings_flow failing_from_start;
    EXPECT_EQ(failing_from_start.update(false, true), link_event::readings_stopped);
    EXPECT_EQ(readout::event_line(link_event::readings_stopped, "Pipe error"), "Readings stopped: Pipe error");
    EXPECT_EQ(readout::event_line(link_event::board_lost, ""), "");
}

TEST(ReadoutWindow, KeepsTheLastEightAndAveragesOldestFirstInFloat) {
    std::vector<float> window;
    readout::push_sample(window, 3.0f);
    EXPECT_FLOAT_EQ(readout::window_mean(window), 3.0f);
    for (int i = 1; i <= 7; ++i) readout::push_sample(window, static_cast<float>(i));
    ASSERT_EQ(window.size(), 8u);
    EXPECT_FLOAT_EQ(readout::window_mean(window), (3.0f + 28.0f) / 8.0f);
    readout::push_sample(window, 100.0f);  // the ninth pushes the 3 out
    ASSERT_EQ(window.size(), 8u);
    EXPECT_EQ(window.front(), 1.0f);
    EXPECT_EQ(window.back(), 100.0f);
    EXPECT_EQ(readout::window_mean({}), 0.0f);

    // Summing oldest first in float: 2^24 + 1 + 1 loses both ones, in the other order
    // they would add up to 2^24 + 2.
    const std::vector<float> order = {16777216.0f, 1.0f, 1.0f};
    EXPECT_EQ(readout::window_mean(order), 16777216.0f / 3.0f);

    EXPECT_FLOAT_EQ(readout::mean_difference({10.0f, 20.0f}, {4.0f}), 11.0f);
}

TEST(ReadoutRules, SsiStabilityAndDeviation) {
    // A mean difference of -0.4 shows as "-0", which reads back as 0.
    EXPECT_EQ(format_rounded(-0.4).ToStdString(), "-0");
    EXPECT_EQ(readout::deviation(0.0, *read_number("-0")), 0.0f);
}

// Arrows only on leaving the band (or crossing it), the OK mark while this and the previous
// deviation are inside it, nothing on its edges; a row back from no reading (previous NaN)
// needs a second tick in band.
TEST(ReadoutIndicators, BandRules) {
    using readout::indicator;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct { float d, p; bool ok_before; std::optional<indicator> image; bool ok; } rows[] = {
        {5, 0, false, indicator::ok_mark, true},    {5, 15, false, std::nullopt, false},
        {15, 5, true, indicator::down_arrow, false}, {15, 15, false, std::nullopt, false},
        {-15, 0, true, indicator::up_arrow, false},  {-15, 15, false, indicator::up_arrow, false},
        {15, -15, false, indicator::down_arrow, false},
        {10, 0, true, std::nullopt, true},           {-10, 0, false, std::nullopt, false},
        {0, 10, false, std::nullopt, false},         {5, nan, false, std::nullopt, false},
        {15, nan, false, indicator::down_arrow, false},
    };
    for (const auto& r : rows) {
        const readout::row_decision decision = readout::decide_row(r.d, r.p, 10.0f, r.ok_before);
        EXPECT_EQ(decision.image, r.image) << r.d << " after " << r.p;
        EXPECT_EQ(decision.row_ok, r.ok) << r.d << " after " << r.p;
    }
}

TEST(ReadoutDiagnostic, I2cReadLogsEighteenLinesInBusOrder) {
    recording_bus bus;
    bus.write_answer = 0;
    for (std::uint8_t i = 0; i < 14; ++i) bus.read_answers.push_back(static_cast<std::uint8_t>(i + 250u));
    std::string log;
    readout::i2c_read_diagnostic(bus, [&log](const std::string& piece) { log += piece; });

    EXPECT_THAT(bus.ops,
                ElementsAre("start", "w208", "w107", "w0", "start", "w208", "w67", "start", "w209",
                            "r0", "r0", "r0", "r0", "r0", "r0", "r0", "r0", "r0", "r0", "r0", "r0",
                            "r0", "r1", "stop"));
    std::string expected =
        "I2C write address:\t104\tnACK: 0\n"
        "I2C write address:\t104\tnACK: 0\n"
        "Select Register: 67, nAck: 0\n"
        "I2C write address:\t104\tnACK: 0\n";
    for (unsigned i = 0; i < 14; ++i) expected += "I2C read  :\t" + std::to_string((i + 250u) & 0xFFu) + "\n";
    EXPECT_EQ(log, expected);

    EXPECT_EQ(readout::nack_status(0), "0");
    EXPECT_EQ(readout::nack_status(1), "1");
    EXPECT_EQ(readout::nack_status(2), "-1");
    EXPECT_EQ(readout::nack_status(255), "-1");

    // The select status is the write's result as a signed byte.
    recording_bus signed_bus;
    signed_bus.write_answer = 200;
    log.clear();
    readout::i2c_read_diagnostic(signed_bus, [&log](const std::string& piece) { log += piece; });
    EXPECT_NE(log.find("Select Register: 67, nAck: -56\n"), std::string::npos);
}

}  // namespace
