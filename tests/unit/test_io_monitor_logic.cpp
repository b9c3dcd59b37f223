#include "io_monitor_logic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace io_monitor;

TEST(IoMonitorLogic, LabelsShowInputsAndAnalogCounts) {
    EXPECT_EQ(input_label(3, 1), "Input 3 : 1");
    EXPECT_EQ(input_label(12, 255), "Input 12 : 255");  // unsigned
    status_block status{};
    status[20] = 0x03;
    status[21] = 0xE8;
    status[22] = 0xFF;
    status[23] = 0x01;
    EXPECT_EQ(analog_count(status, 20), 1000);
    EXPECT_EQ(analog_count(status, 22), 0xFF01);

    const struct { std::uint16_t count; const char* an0; const char* an1; } rows[] = {
        {0, "AN0: 0.00 V -1.50 Bar", "AN1 0.00 V"},
        {124, "AN0: 0.50 V -0.01 Bar", "AN1 0.50 V"},
        {125, "AN0: 0.50 V 0.00 Bar", "AN1 0.50 V"},
        {1000, "AN0: 4.00 V 10.50 Bar", "AN1 4.00 V"},
        {1125, "AN0: 4.50 V 12.00 Bar", "AN1 4.50 V"},
        {65535, "AN0: 262.14 V 784.92 Bar", "AN1 262.14 V"},  // no clamping
    };
    for (const auto& row : rows) {
        EXPECT_EQ(an0_label(row.count), row.an0);
        EXPECT_EQ(an1_label(row.count), row.an1);
    }
}

TEST(IoMonitorLogic, OutputFrameAndPwm) {
    std::array<bool, output_count> pressed{};
    pressed[0] = pressed[16] = true;
    const output_frame frame = build_output_frame(pressed);
    for (std::size_t k = 0; k < output_count; ++k) EXPECT_EQ(frame[k], (k == 0 || k == 16) ? 1 : 0) << k;

    // Output 9 is on while the phase before the step is below the level.
    const std::vector<std::string> duty = {"00000000", "10001000", "11001100", "11101110", "11111111"};
    for (std::uint8_t level = 0; level <= pwm_steps; ++level) {
        std::uint8_t phase = 0;
        std::string seen;
        for (int refresh = 0; refresh < 8; ++refresh) seen += pwm_step(phase, level) ? '1' : '0';
        EXPECT_EQ(seen, duty[level]);
    }
    EXPECT_EQ(pwm_level_from_slider(-1), 0);
    EXPECT_EQ(pwm_level_from_slider(3), 3);
    EXPECT_EQ(pwm_level_from_slider(9), 4);
}

// One line when a kind of exchange starts failing and one when it works again; a link that
// is simply down (nothing sent, nothing held back) is left to the check box.
TEST(IoMonitorLogic, FailureRunsAreReportedOnceEachWay) {
    failure_run run{"Status read failed: ", "Status read resumed"};
    EXPECT_EQ(run.update(false, false, "board not connected"), "");
    EXPECT_EQ(run.update(true, true, ""), "");
    EXPECT_EQ(run.update(true, false, "Pipe error"), "Status read failed: Pipe error");
    EXPECT_EQ(run.update(true, false, "Operation timed out"), "");
    EXPECT_EQ(run.update(true, false, "board not answering"), "");
    EXPECT_EQ(run.update(true, true, ""), "Status read resumed");
    EXPECT_EQ(run.update(true, true, ""), "");
}
