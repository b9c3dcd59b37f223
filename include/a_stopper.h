#pragma once
#include <chrono>
#include <cstdint>
#include <string>

// Stopwatch on the monotonic clock; reports whole milliseconds including the open period.
class a_stopper {
public:
    using clock = std::chrono::steady_clock;
    // The clock is injectable so the arithmetic can be tested without sleeping.
    using now_function = clock::time_point (*)();

    a_stopper();
    explicit a_stopper(now_function now);
    virtual ~a_stopper();

    void start();
    void reset();
    void restart();
    std::int64_t elapsed_ms();

    std::string label;
    bool running = false;
    long double accumulated_ms = 0.0L;
    clock::time_point start_time{};
    clock::time_point stop_time{};
    clock::time_point read_time{};

private:
    now_function now_;
};
