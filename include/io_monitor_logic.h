#pragma once
// What the IO monitor shows and sends, apart from its widgets: labels of the inputs
// and analog channels, the output frame and the software PWM on output 9.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "usb_protocol.h"

namespace io_monitor {

constexpr std::size_t input_count = usb_protocol::input_count;
constexpr std::size_t output_count = usb_protocol::output_count;
// Output 9 (element 8 of the frame) carries the software PWM.
constexpr std::size_t pwm_output_index = 8;
// Refreshes per PWM period; the slider's maximum level equals it (100 % duty).
constexpr std::uint8_t pwm_steps = 4;

using status_block = usb_protocol::packet;
using output_frame = std::array<std::uint8_t, output_count>;

// "Input %d : %d" for input number (1-based) and its byte, always unsigned.
std::string input_label(std::size_t number, std::uint8_t value);

// Raw analog count stored high byte first at offset of the status block.
std::uint16_t analog_count(const status_block& status, std::size_t offset);

// 0.004 V per count, computed in double and kept as float, as the read-out shows it.
float count_to_volts(std::uint16_t count);
// 0.5 V is 0 bar, 3 bar per volt above it; computed in double from the float volts.
float volts_to_bar(float volts);

// "AN0: %2.2f V %3.2f Bar" and "AN1 %3.2f V" for raw counts.
std::string an0_label(std::uint16_t count);
std::string an1_label(std::uint16_t count);

// One byte per output, 1 for a pressed toggle.
output_frame build_output_frame(const std::array<bool, output_count>& pressed);

// One PWM step: whether the PWM output is on during this refresh (phase before the
// step below level), then the phase advances through 0..pwm_steps-1.
bool pwm_step(std::uint8_t& phase, std::uint8_t level);

// Slider position as a PWM level; anything outside 0..pwm_steps is clamped.
std::uint8_t pwm_level_from_slider(int slider_value);

// Said once the outputs are off because the board's status cannot be read.
constexpr const char* outputs_off_line = "Outputs switched off until status reads resume";

// A run of failed exchanges of one kind, reported once when it starts and once when it
// ends. A link that is simply down is left to the "USB Connected" check box.
struct failure_run {
    const char* failed_text;
    const char* resumed_text;
    bool failing = false;
    // The line to report for this exchange's outcome, "" when nothing changed.
    std::string update(bool sent_or_held_back, bool ok, const std::string& reason);
};

}  // namespace io_monitor
