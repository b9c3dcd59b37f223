#pragma once
#include <chrono>
#include <cstdint>
#include <string>

// Countdown timer: remaining time raised in whole seconds, lowered by closed running periods.
class a_timer {
public:
    using clock = std::chrono::steady_clock;
    using now_function = clock::time_point (*)();

    a_timer();
    explicit a_timer(now_function now);
    virtual ~a_timer();

    void start();  // opens a running period
    void add_seconds(std::uint16_t seconds);
    void clear();
    void stop();
    double remaining_seconds();

    std::string label;
    bool running = false;
    double remaining_ms = 0.0;
    clock::time_point start_time{};
    clock::time_point stop_time{};
    clock::time_point read_time{};

private:
    now_function now_;
};
