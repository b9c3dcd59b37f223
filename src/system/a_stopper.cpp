#include "a_stopper.h"

namespace {
a_stopper::clock::time_point steady_now() { return a_stopper::clock::now(); }
}  // namespace

a_stopper::a_stopper() : a_stopper(&steady_now) {}

a_stopper::a_stopper(now_function now) : now_(now) {}

a_stopper::~a_stopper() = default;

// A second start drops the open period on purpose: only reset/restart zero the total.
void a_stopper::start() {
    start_time = now_();
    running = true;
}

void a_stopper::reset() { accumulated_ms = 0.0L; }

void a_stopper::restart() {
    accumulated_ms = 0.0L;
    start_time = now_();
    running = true;
}

std::int64_t a_stopper::elapsed_ms() {
    if (!running) return static_cast<std::int64_t>(accumulated_ms);
    read_time = now_();
    const std::int64_t open_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(read_time - start_time).count();
    // Seconds in double first, then milliseconds in extended precision.
    const double open_seconds = static_cast<double>(open_ns) / 1000000000.0;
    const long double open_ms = static_cast<long double>(open_seconds) * 1000.0L;
    return static_cast<std::int64_t>(open_ms + accumulated_ms);
}
