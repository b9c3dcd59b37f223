#include "a_timer.h"

namespace {
a_timer::clock::time_point steady_now() { return a_timer::clock::now(); }

std::int64_t nanoseconds_between(a_timer::clock::time_point from, a_timer::clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}
}  // namespace

a_timer::a_timer() : a_timer(&steady_now) {}

a_timer::a_timer(now_function now) : now_(now) {}

a_timer::~a_timer() = default;

void a_timer::start() {
    start_time = now_();
    running = true;
}

void a_timer::add_seconds(std::uint16_t seconds) {
    remaining_ms += static_cast<double>(seconds) * 1000.0;
}

void a_timer::clear() { remaining_ms = 0.0; }

void a_timer::stop() {
    if (!running) return;
    stop_time = now_();
    const std::int64_t period_ns = nanoseconds_between(start_time, stop_time);
    running = false;
    remaining_ms -= static_cast<double>(period_ns) / 1000000.0;
}

// Not clamped: an overrun timer reads negative.
double a_timer::remaining_seconds() {
    if (!running) return remaining_ms / 1000.0;
    read_time = now_();
    const std::int64_t open_ns = nanoseconds_between(start_time, read_time);
    return (remaining_ms - (static_cast<double>(open_ns) / 1000000000.0) * 1000.0) / 1000.0;
}
