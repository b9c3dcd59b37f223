#include "io_monitor_logic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace io_monitor;

// 0.004 V a count, 0.5 V is 0 bar and 3 bar a volt above it; no clamping.
TEST(IoMonitorLogic, AnalogLabels) {
    const struct { std::uint16_t count; const char* an0; const char* an1; } rows[] = {
        {0, "AN0: 0.00 V -1.50 Bar", "AN1 0.00 V"},
        {124, "AN0: 0.50 V -0.01 Bar", "AN1 0.50 V"},
        {125, "AN0: 0.50 V 0.00 Bar", "AN1 0.50 V"},
        {65535, "AN0: 262.14 V 784.92 Bar", "AN1 262.14 V"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(an0_label(row.count), row.an0);
        EXPECT_EQ(an1_label(row.count), row.an1);
    }
}

// Output 9 is on while the phase before the step is below the level; the slider is clamped.
TEST(IoMonitorLogic, PwmOnOutputNine) {
    const std::vector<std::string> duty = {"00000000", "10001000", "11001100", "11101110", "11111111"};
    for (int slider = -1; slider <= pwm_steps + 1; ++slider) {
        const std::uint8_t level = pwm_level_from_slider(slider);
        std::uint8_t phase = 0;
        std::string seen;
        for (int refresh = 0; refresh < 8; ++refresh) seen += pwm_step(phase, level) ? '1' : '0';
        EXPECT_EQ(seen, duty[static_cast<std::size_t>(std::clamp(slider, 0, int{pwm_steps}))]) << slider;
    }
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
