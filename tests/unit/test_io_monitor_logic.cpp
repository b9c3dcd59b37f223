#include "io_monitor_logic.h"

#include <gtest/gtest.h>

#include <vector>

using namespace io_monitor;

TEST(IoMonitorLogic, InputLabelsAreOneBasedAndUnsigned) {
    EXPECT_EQ(input_label(3, 1), "Input 3 : 1");
    EXPECT_EQ(input_label(1, 0), "Input 1 : 0");
    EXPECT_EQ(input_label(12, 255), "Input 12 : 255");
    EXPECT_EQ(input_label(7, 128), "Input 7 : 128");
}

TEST(IoMonitorLogic, AnalogCountsAreBigEndian) {
    status_block status{};
    status[20] = 0x03;
    status[21] = 0xE8;
    status[22] = 0xFF;
    status[23] = 0x01;
    EXPECT_EQ(analog_count(status, 20), 1000);
    EXPECT_EQ(analog_count(status, 22), 0xFF01);
    status_block all_set{};
    all_set.fill(0xFF);
    EXPECT_EQ(analog_count(all_set, 20), 65535);
}

TEST(IoMonitorLogic, An0ReadsVoltsAndBar) {
    EXPECT_EQ(an0_label(0), "AN0: 0.00 V -1.50 Bar");
    EXPECT_EQ(an0_label(124), "AN0: 0.50 V -0.01 Bar");
    EXPECT_EQ(an0_label(125), "AN0: 0.50 V 0.00 Bar");
    EXPECT_EQ(an0_label(625), "AN0: 2.50 V 6.00 Bar");
    EXPECT_EQ(an0_label(1000), "AN0: 4.00 V 10.50 Bar");
    EXPECT_EQ(an0_label(1125), "AN0: 4.50 V 12.00 Bar");
    EXPECT_EQ(an0_label(1250), "AN0: 5.00 V 13.50 Bar");
    // No clamping: the whole 16-bit range is shown.
    EXPECT_EQ(an0_label(65535), "AN0: 262.14 V 784.92 Bar");
    EXPECT_FLOAT_EQ(count_to_volts(1250), 5.0f);
    EXPECT_FLOAT_EQ(volts_to_bar(0.5f), 0.0f);
    EXPECT_FLOAT_EQ(volts_to_bar(4.5f), 12.0f);
}

TEST(IoMonitorLogic, An1ReadsVoltsOnly) {
    EXPECT_EQ(an1_label(0), "AN1 0.00 V");
    EXPECT_EQ(an1_label(1), "AN1 0.00 V");
    EXPECT_EQ(an1_label(3), "AN1 0.01 V");
    EXPECT_EQ(an1_label(1250), "AN1 5.00 V");
    EXPECT_EQ(an1_label(65535), "AN1 262.14 V");
}

TEST(IoMonitorLogic, OutputFrameHasOneBytePerToggle) {
    std::array<bool, output_count> pressed{};
    EXPECT_EQ(build_output_frame(pressed), output_frame{});
    pressed[0] = true;
    pressed[8] = true;
    pressed[16] = true;
    const output_frame frame = build_output_frame(pressed);
    for (std::size_t k = 0; k < output_count; ++k)
        EXPECT_EQ(frame[k], (k == 0 || k == 8 || k == 16) ? 1 : 0) << "output " << k + 1;
}

TEST(IoMonitorLogic, PwmDutyIsLevelQuartersWithPhaseBeforeTheStep) {
    const std::vector<std::vector<bool>> expected = {
        {false, false, false, false, false, false, false, false},
        {true, false, false, false, true, false, false, false},
        {true, true, false, false, true, true, false, false},
        {true, true, true, false, true, true, true, false},
        {true, true, true, true, true, true, true, true},
    };
    for (std::uint8_t level = 0; level <= pwm_steps; ++level) {
        std::uint8_t phase = 0;
        std::vector<bool> seen;
        for (int refresh = 0; refresh < 8; ++refresh) seen.push_back(pwm_step(phase, level));
        EXPECT_EQ(seen, expected[level]) << "level " << int(level);
        EXPECT_EQ(phase, 0) << "eight steps are two whole periods";
    }

    // A level change takes effect at whatever phase the counter has reached.
    std::uint8_t phase = 0;
    EXPECT_TRUE(pwm_step(phase, 2));   // phase 0
    EXPECT_TRUE(pwm_step(phase, 2));   // phase 1
    EXPECT_TRUE(pwm_step(phase, 4));   // phase 2, new level
    EXPECT_FALSE(pwm_step(phase, 1));  // phase 3
    EXPECT_TRUE(pwm_step(phase, 1));   // phase 0 again
    EXPECT_EQ(phase, 1);
}

TEST(IoMonitorLogic, SliderLevelStaysInRange) {
    EXPECT_EQ(pwm_level_from_slider(0), 0);
    EXPECT_EQ(pwm_level_from_slider(3), 3);
    EXPECT_EQ(pwm_level_from_slider(4), 4);
    EXPECT_EQ(pwm_level_from_slider(-1), 0);
    EXPECT_EQ(pwm_level_from_slider(9), 4);
}
