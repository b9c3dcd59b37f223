// Stopwatch and countdown arithmetic against a clock the test moves by hand.
#include <chrono>

#include <gtest/gtest.h>

#include "a_stopper.h"
#include "a_timer.h"

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The now_function is a plain function pointer, so the fake clock is file-wide state.
clock_type::time_point fake_now = clock_type::time_point{} + 1000s;
clock_type::time_point read_fake_clock() { return fake_now; }

// One step: an action, then the clock moves on, then the reading must be as expected.
template <typename Clock> struct step { const char* what; void (*act)(Clock&); clock_type::duration advance; double expected; };

// Runs the steps on one clock object; read gives its reading after each step.
template <typename Clock, std::size_t n, typename Read>
void run(Clock& clock, const step<Clock> (&steps)[n], Read read) {
    for (const auto& s : steps) {
        s.act(clock);
        fake_now += s.advance;
        EXPECT_DOUBLE_EQ(read(clock), s.expected) << s.what;
    }
}

TEST(Timing, StopwatchReadsWholeMillisecondsOfItsPeriods) {
    a_stopper watch(&read_fake_clock);
    const step<a_stopper> steps[] = {
        {"start keeps the total; 1.9 ms truncates", [](a_stopper& w) { w.accumulated_ms = 500; w.start(); }, 1900us, 501},
        {"the open period keeps counting", [](a_stopper&) {}, 2500ms, 3001},
        {"reset clears only the total", [](a_stopper& w) { w.reset(); }, 10ms, 2511},
        {"start while running drops the open period", [](a_stopper& w) { w.accumulated_ms = 7; w.start(); }, 3ms, 10},
        {"restart counts from now", [](a_stopper& w) { w.restart(); }, 5ms, 5},
        {"a stopped stopwatch truncates its total toward zero",
         [](a_stopper& w) { w.running = false; w.accumulated_ms = -3.7L; }, 1s, -3},
        {"restart starts a stopped stopwatch", [](a_stopper& w) { w.restart(); }, 8ms, 8},
    };
    run(watch, steps, [](a_stopper& w) { return static_cast<double>(w.elapsed_ms()); });
}

TEST(Timing, CountdownBanksClosedPeriodsAndGoesNegative) {
    a_timer timer(&read_fake_clock);
    const step<a_timer> steps[] = {
        {"whole seconds add up past 16 bits", [](a_timer& t) { t.add_seconds(65535); t.add_seconds(1); }, 1s, 65536},
        {"clear leaves nothing; stop on a stopped timer changes nothing",
         [](a_timer& t) { t.clear(); t.add_seconds(2); t.stop(); }, 50ms, 2},
        {"a running period counts down", [](a_timer& t) { t.start(); }, 1500ms, 0.5},
        {"reading banks nothing; an overrun reads negative", [](a_timer&) {}, 1000250us, -0.50025},
        {"stop banks the closed period", [](a_timer& t) { t.stop(); }, 300ms, -0.50025},
        {"clear and add while running touch only the time left",
         [](a_timer& t) { t.start(); t.clear(); t.add_seconds(10); }, 200ms, 9.8},
    };
    run(timer, steps, [](a_timer& t) { return t.remaining_seconds(); });
}

}  // namespace
