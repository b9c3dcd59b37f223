// The read-out rules apart from any window; the wire they make is checked on the screen.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "readout.h"
#include "text_convert.h"

namespace {

// Counts bus operations, answers reads from a list, and fails the operation numbered
// fail_at (0-based).
struct counting_bus : readout::bus {
    std::size_t operations = 0;
    std::size_t fail_at = SIZE_MAX;
    std::vector<std::uint8_t> reads;
    std::size_t reads_done = 0;
    std::uint8_t write_answer = 0;

    void i2c_init() override { ++operations; }
    void i2c_start() override { ++operations; }
    void i2c_stop() override { ++operations; }
    std::uint8_t i2c_write(std::uint8_t) override { ++operations; return write_answer; }
    std::uint8_t i2c_read(std::uint8_t) override {
        ++operations;
        return reads_done < reads.size() ? reads[reads_done++] : 0;
    }
    std::uint32_t ssi_read() override { ++operations; return 0; }
    bool last_ok() const { return operations != fail_at + 1; }
};

// Whichever exchange of a sensor read fails, the reading is lost and no operation follows
// it; without a failure the two words come out high byte first, unsigned.
TEST(ReadoutSequence, AFailedExchangeEndsTheTickAndGivesNoReading) {
    for (std::size_t fail_at = 0; fail_at <= 15; ++fail_at) {
        SCOPED_TRACE(fail_at);
        counting_bus bus;
        bus.fail_at = fail_at;
        bus.reads = {0x12, 0x34, 0xFF, 0xFE};
        readout::stopping_bus board(bus, [&bus] { return bus.last_ok(); });
        const readout::sensor_words words = readout::read_sensor(board, readout::sensor1_address);
        board.ssi_read();
        EXPECT_EQ(board.failed(), fail_at < 15);
        EXPECT_EQ(bus.operations, std::min<std::size_t>(fail_at + 1, 15));
        EXPECT_TRUE(board.failed() || (words.first == 0x1234 && words.second == 0xFFFE)) << words.second;
    }
}

// X follows two readings that agree; it keeps the value on show while the shaft stays
// within tolerance of it and steps no more than a count either side (jitter) can; otherwise
// it has none.
TEST(ReadoutSsi, SettledPositionOnlyForAStillShaft) {
    const std::optional<std::int32_t> none;
    const struct { std::int32_t value; std::optional<std::int32_t> previous, shown, settled; } cases[] = {
        {100, 100, none, 100},  {102, 100, 100, 100}, {98, 100, 100, 100},  {103, 100, 100, none},
        {110, 109, 100, 100},   {111, 110, 100, none}, {100, none, 100, none}, {101, 100, none, none},
        {150, 100, 100, none},  {150, 150, none, 150},
    };
    for (const auto& c : cases)
        EXPECT_EQ(readout::settled_x(c.value, c.previous, c.shown, 10.0f), c.settled) << c.value;
}

// Stops and resumptions are reported once each; a board that never came is not reported.
TEST(ReadoutFlow, ReportsEachStopAndResumptionOnce) {
    using readout::link_event;
    const struct { bool read, connected; std::optional<link_event> reported; } steps[] = {
        {false, false, std::nullopt},  // no board at start
        {true, true, std::nullopt},                {true, true, std::nullopt},
        {false, true, link_event::readings_stopped}, {false, true, std::nullopt},
        {false, false, std::nullopt},              {true, true, link_event::readings_resumed},
        {false, false, link_event::readings_stopped},
    };
    readout::readings_flow flow;
    for (const auto& step : steps) EXPECT_EQ(flow.update(step.read, step.connected), step.reported);
    readout::readings_flow failing_from_start;
    EXPECT_EQ(failing_from_start.update(false, true), link_event::readings_stopped);
}

// The window keeps the last eight and sums them oldest first in float: 2^24 + 1 + 1 loses
// both ones, where the other order would give 2^24 + 2. A mean difference of -0.4 shows
// as "-0", which reads back as no deviation.
TEST(ReadoutWindow, KeepsTheLastEightAndAveragesOldestFirstInFloat) {
    std::vector<float> window;
    for (int i = 0; i <= 8; ++i) readout::push_sample(window, i == 8 ? 100.0f : static_cast<float>(i));
    EXPECT_EQ(window, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 100}));
    EXPECT_FLOAT_EQ(readout::mean_difference(window, {4.0f}), 128.0f / 8.0f - 4.0f);
    EXPECT_EQ(readout::window_mean({}), 0.0f);
    EXPECT_EQ(readout::window_mean({16777216.0f, 1.0f, 1.0f}), 16777216.0f / 3.0f);
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

// The "I2C read" diagnostic's status words: an address line says "0", "1" or "-1"; the
// register select says the write's result as a signed byte.
TEST(ReadoutDiagnostic, StatusWords) {
    counting_bus bus;
    bus.write_answer = 200;
    std::string log;
    readout::i2c_read_diagnostic(bus, [&log](const std::string& piece) { log += piece; });
    const std::string address = "I2C write address:\t104\tnACK: -1\n";
    EXPECT_EQ(log.substr(0, 95), address + address + "Select Register: 67, nAck: -56\n");
    EXPECT_EQ(readout::nack_status(1), "1");
}

}  // namespace
