// Stopwatch and countdown arithmetic against a clock the test moves by hand.
#include <chrono>

#include <gtest/gtest.h>

#include "a_stopper.h"
#include "a_timer.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

// The now_function is a plain function pointer, so the fake clock is file-wide state.
clock_type::time_point fake_now{};
clock_type::time_point read_fake_clock() { return fake_now; }

class Timing : public ::testing::Test {
protected:
    void SetUp() override { fake_now = clock_type::time_point{} + seconds(1000); }
    static void advance(clock_type::duration step) { fake_now += step; }
};

TEST_F(Timing, StopperReadsAndTruncates) {
    a_stopper fresh(&read_fake_clock);
    EXPECT_EQ(fresh.elapsed_ms(), 0);
    EXPECT_FALSE(fresh.running);
    EXPECT_EQ(fresh.accumulated_ms, 0.0L);
    EXPECT_EQ(fresh.start_time, clock_type::time_point{});
    EXPECT_EQ(fresh.read_time, clock_type::time_point{});
    EXPECT_TRUE(fresh.label.empty());

    a_stopper watch(&read_fake_clock);
    watch.start();
    EXPECT_TRUE(watch.running);
    EXPECT_EQ(watch.start_time, fake_now);
    advance(nanoseconds(1900000));
    EXPECT_EQ(watch.elapsed_ms(), 1);  // 1.9 ms truncates
    EXPECT_EQ(watch.read_time, fake_now);
    advance(milliseconds(2500));
    EXPECT_EQ(watch.elapsed_ms(), 2501);
    // Reading changes nothing but read_time.
    EXPECT_TRUE(watch.running);
    EXPECT_EQ(watch.accumulated_ms, 0.0L);
    EXPECT_EQ(watch.stop_time, clock_type::time_point{});

    // A stopped stopwatch reports its accumulated total, truncated toward zero.
    a_stopper stopped(&read_fake_clock);
    stopped.accumulated_ms = 12.99L;
    EXPECT_EQ(stopped.elapsed_ms(), 12);
    stopped.accumulated_ms = -3.7L;
    EXPECT_EQ(stopped.elapsed_ms(), -3);
    EXPECT_EQ(stopped.read_time, clock_type::time_point{});
}

TEST_F(Timing, StopperRestartResetAndStart) {
    a_stopper watch(&read_fake_clock);
    watch.accumulated_ms = 500.0L;
    watch.start();
    advance(milliseconds(40));
    EXPECT_EQ(watch.elapsed_ms(), 540);  // start keeps what was accumulated

    // reset clears only the accumulated part; the open period still counts.
    watch.reset();
    EXPECT_TRUE(watch.running);
    EXPECT_EQ(watch.elapsed_ms(), 40);
    advance(milliseconds(10));
    EXPECT_EQ(watch.elapsed_ms(), 50);

    // start while running drops the open period so far.
    watch.accumulated_ms = 7.0L;
    watch.start();
    advance(milliseconds(3));
    EXPECT_EQ(watch.elapsed_ms(), 10);

    // restart clears everything and counts from now.
    advance(milliseconds(1000));
    watch.restart();
    EXPECT_EQ(watch.accumulated_ms, 0.0L);
    EXPECT_EQ(watch.start_time, fake_now);
    EXPECT_EQ(watch.elapsed_ms(), 0);
    advance(milliseconds(5));
    EXPECT_EQ(watch.elapsed_ms(), 5);

    // restart also starts a stopped stopwatch.
    a_stopper idle(&read_fake_clock);
    idle.accumulated_ms = 99.0L;
    idle.restart();
    EXPECT_TRUE(idle.running);
    advance(milliseconds(8));
    EXPECT_EQ(idle.elapsed_ms(), 8);
}

TEST_F(Timing, StopperOnRealClockCountsForward) {
    a_stopper watch;
    watch.restart();
    const std::int64_t first = watch.elapsed_ms();
    EXPECT_GE(first, 0);
    EXPECT_GE(watch.elapsed_ms(), first);
    EXPECT_NE(watch.read_time, clock_type::time_point{});
}

TEST_F(Timing, TimerAddAndClear) {
    a_timer fresh(&read_fake_clock);
    EXPECT_EQ(fresh.remaining_seconds(), 0.0);
    EXPECT_FALSE(fresh.running);

    a_timer timer(&read_fake_clock);
    timer.add_seconds(30);
    EXPECT_EQ(timer.remaining_seconds(), 30.0);
    timer.clear();
    EXPECT_EQ(timer.remaining_ms, 0.0);
    timer.add_seconds(65535);
    EXPECT_EQ(timer.remaining_ms, 65535000.0);
    timer.add_seconds(1);
    EXPECT_EQ(timer.remaining_seconds(), 65536.0);

    // clear touches only the remaining time, also while running.
    timer.start();
    const auto started = timer.start_time;
    advance(milliseconds(100));
    timer.remaining_seconds();
    const auto read = timer.read_time;
    advance(milliseconds(100));
    timer.clear();
    EXPECT_TRUE(timer.running);
    EXPECT_EQ(timer.remaining_ms, 0.0);
    EXPECT_EQ(timer.start_time, started);
    EXPECT_EQ(timer.read_time, read);
    EXPECT_EQ(timer.stop_time, clock_type::time_point{});

    // add_seconds works while running too.
    timer.add_seconds(10);
    EXPECT_DOUBLE_EQ(timer.remaining_seconds(), 9.8);
}

TEST_F(Timing, TimerStopAndOverrun) {
    a_timer timer(&read_fake_clock);
    timer.add_seconds(2);

    // stop on a stopped timer changes nothing, stop_time included.
    advance(milliseconds(50));
    timer.stop();
    EXPECT_FALSE(timer.running);
    EXPECT_EQ(timer.remaining_ms, 2000.0);
    EXPECT_EQ(timer.stop_time, clock_type::time_point{});

    timer.start();
    advance(milliseconds(1500));
    EXPECT_DOUBLE_EQ(timer.remaining_seconds(), 0.5);
    EXPECT_EQ(timer.read_time, fake_now);
    EXPECT_EQ(timer.remaining_ms, 2000.0);  // reading banks nothing

    // Overrun reads negative, unclamped.
    advance(milliseconds(1000));
    EXPECT_DOUBLE_EQ(timer.remaining_seconds(), -0.5);

    // stop banks the closed period.
    advance(nanoseconds(250000));
    timer.stop();
    EXPECT_FALSE(timer.running);
    EXPECT_EQ(timer.stop_time, fake_now);
    EXPECT_DOUBLE_EQ(timer.remaining_ms, -500.25);
    EXPECT_DOUBLE_EQ(timer.remaining_seconds(), -0.50025);

    // A second stop leaves everything as it was.
    const auto stopped_at = timer.stop_time;
    advance(milliseconds(300));
    timer.stop();
    EXPECT_EQ(timer.stop_time, stopped_at);
    EXPECT_DOUBLE_EQ(timer.remaining_ms, -500.25);
}

}  // namespace
