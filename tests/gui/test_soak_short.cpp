// Soak and faults on the screens against the emulated board: the positioner ticking and the
// IO monitor refreshing through plug cycles, every transfer fault in the middle of live
// ticks, and a board that stops answering for a while. VARNOLD_SOAK_CYCLES sets the cycle
// count (30; the long form runs 1000); VARNOLD_SOAK_LONG=1 adds the time-outs of the
// positioner's transfers (each blocks a tick for 10 s, as the design has it).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "FoPanel.h"
#include "IO_Monitor_Panel.h"
#include "Kelpon_v6Frame.h"
#include "a_usb.h"
#include "emulated_board.h"
#include "gui_support.h"
#include "process_stats.h"

namespace {

using namespace std::chrono_literals;
using emu::direction;
using emu::fault;

int env_int(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

struct fault_kind {
    fault kind;
    const char* name;
    bool drops_link;
};

const fault_kind fault_kinds[] = {
    {fault::timeout, "timeout", false},   {fault::stall, "stall", false},
    {fault::io_error, "I/O error", true}, {fault::no_device, "no device", true},
    {fault::overflow, "overflow", false},
};

class ScreenSoak : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_board().plugged_in()) test_board().plug_in();
        for (int input = 1; input <= 12; ++input) test_board().set_input(input, 0);
        test_board().set_encoder(1000);
        frame = gui_test::make_frame();
        ASSERT_TRUE(gui_test::pump_until([this] { return frame->usb->connected.load(); }, 5s));
    }
    void TearDown() override {
        if (frame != nullptr) gui_test::close_frame(frame);
        if (test_board().plugged_in()) test_board().unplug();
        test_board().clear_transfers();
    }

    FoPanel* positioner() const { return dynamic_cast<FoPanel*>(frame->current_panel); }
    IO_Monitor_Panel* monitor() const { return dynamic_cast<IO_Monitor_Panel*>(frame->current_panel); }

    // Pulls the board out until the screen's check box shows it, changes the board through
    // change, plugs it in and waits until the screen shows shown(); records the station's
    // descriptors and memory after the first tenth (at most 100) of the cycles and at the end.
    void plug_cycles(const char* screen, wxCheckBox* connected_box, const std::function<void(int)>& change,
                     const std::function<bool(int)>& shown) {
        const int cycles = env_int("VARNOLD_SOAK_CYCLES", 30);
        const int baseline_cycle = std::min(100, std::max(1, cycles / 10));
        int fds_baseline = -1;
        long rss_baseline = -1;
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            SCOPED_TRACE(std::string(screen) + ", cycle " + std::to_string(cycle));
            test_board().unplug();
            ASSERT_TRUE(gui_test::pump_until([&] { return !connected_box->GetValue(); }, 5s));
            change(cycle);
            test_board().plug_in();
            ASSERT_TRUE(gui_test::pump_until([&] { return shown(cycle); }, 5s)) << "no reconnection";
            EXPECT_TRUE(connected_box->GetValue());
            test_board().clear_transfers();
            if (cycle == baseline_cycle) {
                fds_baseline = soak::station_fds();
                rss_baseline = soak::resident_kb();
            }
        }
        const int fds = soak::station_fds();
        const long rss = soak::resident_kb();
        std::printf("soak %s: %d plug cycles; after cycle %d: %d descriptors, %ld kB resident; "
                    "after the last: %d descriptors, %ld kB resident\n",
                    screen, cycles, baseline_cycle, fds_baseline, rss_baseline, fds, rss);
        EXPECT_EQ(fds, fds_baseline) << "descriptors grew over the plug cycles";
    }

    Kelpon_v6Frame* frame = nullptr;
    gui_test::scoped_workdir dir{true};
};

TEST_F(ScreenSoak, PositionerKeepsReadingThroughPlugCycles) {
    FoPanel* panel = positioner();
    ASSERT_NE(panel, nullptr);
    plug_cycles(
        "positioner", panel->CheckBox1, [](int cycle) { test_board().set_encoder(static_cast<std::uint32_t>(1000 + cycle)); },
        [panel](int cycle) { return panel->TextCtrl1->GetValue() == std::to_string(1000 + cycle); });
}

TEST_F(ScreenSoak, IoMonitorKeepsRefreshingThroughPlugCycles) {
    frame->SwitchPanel(1);
    IO_Monitor_Panel* panel = monitor();
    ASSERT_NE(panel, nullptr);
    const auto value = [](int cycle) { return cycle % 250 + 1; };
    plug_cycles(
        "IO monitor", panel->CheckBox1,
        [value](int cycle) { test_board().set_input(1, static_cast<std::uint8_t>(value(cycle))); },
        [panel, value](int cycle) {
            return panel->InputButtons[0]->GetLabel() == "Input 1 : " + std::to_string(value(cycle));
        });
}

// Injects a fault while the screen runs on its own timer; the link drops exactly for the
// link errors, and the screen then goes on showing the board's values.
template <typename Shows>
void fault_during_live_ticks(a_usb& link, const fault_kind& f, direction which, int count,
                             const std::function<void(int)>& change, Shows shows, int step) {
    bool dropped = false;
    test_board().fail_next(count, f.kind, which);
    // Long enough for the faulted transfers to be used up; a time-out blocks its tick.
    const auto limit = f.kind == fault::timeout ? 25s : 2s;
    gui_test::pump_until(
        [&] {
            dropped = dropped || !link.connected.load();
            return test_board().transfers().size() > 60 || (f.drops_link && dropped);
        },
        limit);
    EXPECT_EQ(dropped, f.drops_link);
    change(step);
    EXPECT_TRUE(gui_test::pump_until([&] { return shows(step); }, 5s)) << "the screen stopped following the board";
    EXPECT_TRUE(link.connected.load());
    test_board().clear_transfers();
}

TEST_F(ScreenSoak, ScreensKeepWorkingThroughEveryFault) {
    const bool long_form = env_int("VARNOLD_SOAK_LONG", 0) != 0;
    FoPanel* panel = positioner();
    ASSERT_NE(panel, nullptr);
    int step = 0;
    for (const fault_kind& f : fault_kinds) {
        if (f.kind == fault::timeout && !long_form) continue;
        for (const direction which : {direction::out, direction::in}) {
            SCOPED_TRACE(std::string("positioner, ") + f.name + (which == direction::out ? " on an OUT" : " on an IN"));
            test_board().clear_transfers();
            fault_during_live_ticks(
                *frame->usb, f, which, 1,
                [](int s) { test_board().set_encoder(static_cast<std::uint32_t>(2000 + s)); },
                [panel](int s) { return panel->TextCtrl1->GetValue() == std::to_string(2000 + s); }, ++step);
        }
    }

    frame->SwitchPanel(1);
    IO_Monitor_Panel* io = monitor();
    ASSERT_NE(io, nullptr);
    for (const fault_kind& f : fault_kinds) {
        // One time-out even in the short form: a board that stops answering blocks one
        // refresh for the read's time-out, then the screen carries on.
        if (f.kind == fault::timeout && !long_form) continue;
        for (const direction which : {direction::out, direction::in}) {
            SCOPED_TRACE(std::string("IO monitor, ") + f.name + (which == direction::out ? " on the OUTs" : " on the IN"));
            test_board().clear_transfers();
            fault_during_live_ticks(
                *frame->usb, f, which, which == direction::out ? 2 : 1,
                [](int s) { test_board().set_input(2, static_cast<std::uint8_t>(s % 200 + 1)); },
                [io](int s) { return io->InputButtons[1]->GetLabel() == "Input 2 : " + std::to_string(s % 200 + 1); },
                ++step);
        }
    }
}

TEST_F(ScreenSoak, IoMonitorWaitsOutASilentBoardAndRecovers) {
    frame->SwitchPanel(1);
    IO_Monitor_Panel* io = monitor();
    ASSERT_NE(io, nullptr);
    ASSERT_TRUE(gui_test::pump_until([io] { return io->CheckBox1->GetValue(); }, 5s));
    // The board answers no read: the refresh waits the read's whole time-out (10 s), and the
    // link stays up, since a time-out is not a link error.
    test_board().clear_transfers();
    test_board().fail_next(1, fault::timeout, direction::in);
    const auto start = std::chrono::steady_clock::now();
    gui_test::pump_until([] { return test_board().transfers().size() > 20; }, 20s);
    const auto blocked = std::chrono::steady_clock::now() - start;
    EXPECT_GE(blocked, 9s);
    EXPECT_TRUE(frame->usb->connected.load());
    test_board().set_input(4, 77);
    EXPECT_TRUE(gui_test::pump_until([io] { return io->InputButtons[3]->GetLabel() == "Input 4 : 77"; }, 5s));
}

}  // namespace
