#include <cmath>
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

// Records every bus operation as text and answers reads from a queue.
class recording_bus : public readout::bus {
public:
    std::vector<std::string> ops;
    std::deque<std::uint8_t> read_answers;
    std::uint8_t write_answer = 0;
    std::uint32_t ssi = 0;

    void i2c_init() override { ops.push_back("init"); }
    void i2c_start() override { ops.push_back("start"); }
    void i2c_stop() override { ops.push_back("stop"); }
    std::uint8_t i2c_write(std::uint8_t byte) override {
        ops.push_back("w" + std::to_string(byte));
        return write_answer;
    }
    std::uint8_t i2c_read(std::uint8_t acknowledge) override {
        ops.push_back("r" + std::to_string(acknowledge));
        if (read_answers.empty()) return 0;
        const std::uint8_t byte = read_answers.front();
        read_answers.pop_front();
        return byte;
    }
    std::uint32_t ssi_read() override {
        ops.push_back("ssi");
        return ssi;
    }
};

using ::testing::ElementsAre;

TEST(ReadoutSequence, SetUpWakesThenReadsIdentityInElevenOperations) {
    recording_bus bus;
    bus.read_answers = {0x68};
    EXPECT_EQ(readout::set_up_sensor(bus, readout::sensor2_address), 0x68);
    // 0xD2 = 210, 0x6B = 107, 0x75 = 117, 0xD3 = 211.
    EXPECT_THAT(bus.ops, ElementsAre("start", "w210", "w107", "w0", "start", "w210", "w117",
                                     "start", "w211", "r1", "stop"));
}

TEST(ReadoutSequence, SensorReadIsFourteenOperationsAndWordsAreUnsignedBigEndian) {
    recording_bus bus;
    bus.read_answers = {0x12, 0x34, 0xFF, 0xFF};
    const readout::sensor_words words = readout::read_sensor(bus, readout::sensor1_address);
    // 0xD0 = 208, 0x3B = 59, 0xD1 = 209.
    EXPECT_THAT(bus.ops, ElementsAre("start", "w208", "w107", "w0", "start", "w208", "w59",
                                     "start", "w209", "r0", "r0", "r0", "r1", "stop"));
    EXPECT_EQ(words.first, 0x1234);
    EXPECT_EQ(words.second, 65535);  // not sign-extended
    EXPECT_EQ(readout::identity_text(104), "Reg 117: 104");
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
    EXPECT_TRUE(readout::ssi_stable(1000, 1000));
    EXPECT_FALSE(readout::ssi_stable(1001, 1000));
    EXPECT_FLOAT_EQ(readout::deviation(100.0, 85.0), 15.0f);
    EXPECT_FLOAT_EQ(readout::deviation(100.0, 115.0), -15.0f);
    // A mean difference of -0.4 shows as "-0", which reads back as 0.
    EXPECT_EQ(format_rounded(-0.4).ToStdString(), "-0");
    EXPECT_EQ(readout::deviation(0.0, *read_number("-0")), 0.0f);
}

TEST(ReadoutIndicators, ArrowsOnlyOnLeavingTheBandOkWhileInsideEdgesChangeNothing) {
    using readout::decide_row;
    using readout::indicator;
    const float t = 10.0f;

    // Inside on this and the tick before: OK mark, every tick.
    auto inside = decide_row(5.0f, 0.0f, t, false);
    EXPECT_EQ(inside.image, indicator::ok_mark);
    EXPECT_TRUE(inside.row_ok);
    // Inside now but outside before: nothing yet.
    auto entering = decide_row(5.0f, 15.0f, t, false);
    EXPECT_FALSE(entering.image.has_value());
    EXPECT_FALSE(entering.row_ok);

    // Leaving below the target's band (actual too small): down arrow once, then it stays.
    auto leaving_low = decide_row(15.0f, 5.0f, t, true);
    EXPECT_EQ(leaving_low.image, indicator::down_arrow);
    EXPECT_FALSE(leaving_low.row_ok);
    EXPECT_FALSE(decide_row(15.0f, 15.0f, t, false).image.has_value());

    auto leaving_high = decide_row(-15.0f, 0.0f, t, true);
    EXPECT_EQ(leaving_high.image, indicator::up_arrow);
    EXPECT_FALSE(leaving_high.row_ok);
    // Crossing straight from one side to the other turns the arrow round.
    EXPECT_EQ(decide_row(-15.0f, 15.0f, t, false).image, indicator::up_arrow);
    EXPECT_EQ(decide_row(15.0f, -15.0f, t, false).image, indicator::down_arrow);

    // Exactly on the edge: keeps both the image and the flag.
    for (const float edge : {t, -t}) {
        for (const bool ok : {true, false}) {
            auto kept = decide_row(edge, 0.0f, t, ok);
            EXPECT_FALSE(kept.image.has_value());
            EXPECT_EQ(kept.row_ok, ok);
        }
        EXPECT_FALSE(decide_row(0.0f, edge, t, false).image.has_value());
    }
    // A NaN deviation changes nothing.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(decide_row(nan, 0.0f, t, true).image.has_value());
    EXPECT_TRUE(decide_row(nan, 0.0f, t, true).row_ok);

    EXPECT_STREQ(readout::image_file(indicator::up_arrow), "up-arrow.png");
    EXPECT_STREQ(readout::image_file(indicator::down_arrow), "down-arrow.png");
    EXPECT_STREQ(readout::image_file(indicator::ok_mark), "ok-mark.png");
}

TEST(ReadoutIndicators, OverallChangesOnlyWhenTheStateChanges) {
    using readout::overall_change;
    const bool all[4] = {true, true, true, true};
    const bool three[4] = {true, true, false, true};
    EXPECT_EQ(readout::decide_overall(all, false), overall_change::to_ok);
    EXPECT_EQ(readout::decide_overall(all, true), overall_change::none);
    EXPECT_EQ(readout::decide_overall(three, true), overall_change::to_nok);
    EXPECT_EQ(readout::decide_overall(three, false), overall_change::none);
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
}

TEST(ReadoutDiagnostic, SelectRegisterStatusIsSignedEightBit) {
    recording_bus bus;
    bus.write_answer = 200;
    std::string log;
    readout::i2c_read_diagnostic(bus, [&log](const std::string& piece) { log += piece; });
    EXPECT_NE(log.find("Select Register: 67, nAck: -56\n"), std::string::npos);
    EXPECT_NE(log.find("nACK: -1\n"), std::string::npos);
}

}  // namespace
