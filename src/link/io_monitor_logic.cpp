#include "io_monitor_logic.h"

#include <cstdio>

namespace io_monitor {

namespace {

// printf-style formatting into a std::string; every label here is short.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, pattern, args...);
    if (length < 0) return {};
    return std::string(buffer, static_cast<std::size_t>(length) < sizeof buffer
                                   ? static_cast<std::size_t>(length)
                                   : sizeof buffer - 1);
}

}  // namespace

std::string input_label(std::size_t number, std::uint8_t value) {
    return format("Input %d : %d", static_cast<int>(number), static_cast<unsigned>(value));
}

status_values read_status(const status_block& status) {
    status_values values;
    for (std::size_t i = 0; i < input_count; ++i) values.inputs[i] = status[usb_protocol::inputs_offset + i];
    const std::size_t analog_offsets[] = {usb_protocol::an0_offset, usb_protocol::an1_offset};
    for (std::size_t channel = 0; channel < values.analog.size(); ++channel) {
        const std::size_t offset = analog_offsets[channel];  // high byte first
        values.analog[channel] = static_cast<std::uint16_t>(status[offset] * 256u + status[offset + 1]);
    }
    return values;
}

float count_to_volts(std::uint16_t count) {
    return static_cast<float>(count * 0.004);
}

float volts_to_bar(float volts) {
    return static_cast<float>((static_cast<double>(volts) - 0.5) * 3.0);
}

std::string an0_label(std::uint16_t count) {
    const float volts = count_to_volts(count);
    const float bar = volts_to_bar(volts);
    return format("AN0: %2.2f V %3.2f Bar", static_cast<double>(volts), static_cast<double>(bar));
}

std::string an1_label(std::uint16_t count) {
    return format("AN1 %3.2f V", static_cast<double>(count_to_volts(count)));
}

output_frame build_output_frame(const std::array<bool, output_count>& pressed) {
    output_frame frame{};
    for (std::size_t k = 0; k < output_count; ++k) frame[k] = pressed[k] ? 1 : 0;
    return frame;
}

bool pwm_step(std::uint8_t& phase, std::uint8_t level) {
    const bool on = phase < level;
    phase = static_cast<std::uint8_t>(phase + 1);
    if (phase >= pwm_steps) phase = 0;
    return on;
}

std::uint8_t pwm_level_from_slider(int slider_value) {
    if (slider_value < 0) return 0;
    if (slider_value > pwm_steps) return pwm_steps;
    return static_cast<std::uint8_t>(slider_value);
}

std::string failure_run::update(bool sent_or_held_back, bool ok, const std::string& reason) {
    if (ok && failing) {
        failing = false;
        return resumed_text;
    }
    if (ok || failing || !sent_or_held_back) return {};
    failing = true;
    return failed_text + reason;
}

}  // namespace io_monitor
