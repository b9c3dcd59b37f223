// The IO monitor screen against the emulated board: construction, the refresh's
// labels and output frame, the PWM on output 9, link loss, and leaving and coming back.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <time.h>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/weakref.h>

#include "IO_Monitor_Panel.h"
#include "Kelpon_v6Frame.h"
#include "FoPanel.h"
#include "a_usb.h"
#include "emulated_board.h"
#include "gui_support.h"

namespace {

using namespace std::chrono_literals;

std::string label(const wxWindow* control) { return control->GetLabel().utf8_string(); }

class IoMonitor : public ::testing::Test {
protected:
    // The board keeps its inputs across plug cycles: start every test from zeros.
    void SetUp() override {
        for (int input = 1; input <= 12; ++input) test_board().set_input(input, 0);
        test_board().set_analog(0, 0);
        test_board().set_analog(1, 0);
    }

    // The real frame switched to the IO monitor, its timer stopped so that each
    // refresh is one explicit Render().
    void open(bool board_plugged) {
        set_plugged(board_plugged);
        frame = gui_test::make_frame();
        frame->SwitchPanel(1);
        panel = dynamic_cast<IO_Monitor_Panel*>(frame->current_panel);
        ASSERT_NE(panel, nullptr);
        panel->timer->Stop();
        if (board_plugged) wait_connected(true);
    }

    void TearDown() override {
        if (frame != nullptr) gui_test::close_frame(frame);
        set_plugged(false);
    }

    static void set_plugged(bool plugged) { set_test_board_plugged(plugged); }

    void wait_connected(bool expected) {
        ASSERT_TRUE(gui_test::pump_until([&] { return frame->usb->connected.load() == expected; }, 8000ms))
            << "link did not become " << (expected ? "connected" : "disconnected");
    }

    void press_outputs(const std::set<int>& numbers) {
        for (std::size_t k = 0; k < panel->OutputToggles.size(); ++k)
            panel->OutputToggles[k]->SetValue(numbers.count(static_cast<int>(k + 1)) != 0);
    }

    std::array<std::uint8_t, 17> frame_for(const std::set<int>& numbers, std::uint8_t output9) const {
        std::array<std::uint8_t, 17> expected{};
        for (const int n : numbers) expected[static_cast<std::size_t>(n - 1)] = 1;
        expected[8] = output9;
        return expected;
    }

    // Output 9 as the board saw it over the next refreshes at the slider's level.
    std::vector<int> output9_over(int refreshes) {
        std::vector<int> seen;
        for (int i = 0; i < refreshes; ++i) {
            panel->Render();
            seen.push_back(test_board().outputs()[8]);
        }
        return seen;
    }

    gui_test::scoped_workdir dir{true};
    Kelpon_v6Frame* frame = nullptr;
    IO_Monitor_Panel* panel = nullptr;
};

TEST_F(IoMonitor, StartsWithItsOwnLabelsAndZerosBeforeTheFirstRead) {
    open(false);
    for (auto* button : panel->InputButtons) EXPECT_EQ(label(button), "IN - 01 - 0");
    EXPECT_EQ(label(panel->Button2), "Label");
    EXPECT_EQ(label(panel->Button3), "Label");
    EXPECT_EQ(panel->TextCtrl1->GetValue().utf8_string(), "Texthello timer restart\n");
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    EXPECT_EQ(panel->Slider1->GetValue(), 0);
    EXPECT_EQ(panel->Slider1->GetMax(), 4);
    EXPECT_EQ(panel->pwm_phase, 0);
    EXPECT_EQ(panel->pwm_level, 0);
    EXPECT_EQ(panel->usb, frame->usb);
    EXPECT_EQ(label(panel->StaticText1), "IO Monitor");
    EXPECT_EQ(label(panel->Button1), "Home");
    for (std::size_t k = 0; k < panel->OutputToggles.size(); ++k) {
        EXPECT_EQ(label(panel->OutputToggles[k]), "Output " + std::to_string(k + 1));
        EXPECT_FALSE(panel->OutputToggles[k]->GetValue());
    }

    // No board has ever answered: the status block is all zero.
    panel->Render();
    for (std::size_t i = 0; i < panel->InputButtons.size(); ++i)
        EXPECT_EQ(label(panel->InputButtons[i]), "Input " + std::to_string(i + 1) + " : 0");
    EXPECT_EQ(label(panel->Button2), "AN0: 0.00 V -1.50 Bar");
    EXPECT_EQ(label(panel->Button3), "AN1 0.00 V");
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    EXPECT_EQ(panel->pwm_phase, 1) << "the PWM keeps stepping without a link";
}

TEST_F(IoMonitor, ShowsTheBoardsInputsAndAnalogChannels) {
    test_board().set_input(3, 1);
    test_board().set_input(12, 255);
    open(true);
    panel->Render();
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 1");
    EXPECT_EQ(label(panel->InputButtons[11]), "Input 12 : 255");
    EXPECT_EQ(label(panel->InputButtons[0]), "Input 1 : 0");

    const std::vector<std::pair<std::uint16_t, std::string>> an0 = {
        {0, "AN0: 0.00 V -1.50 Bar"},   {124, "AN0: 0.50 V -0.01 Bar"}, {125, "AN0: 0.50 V 0.00 Bar"},
        {625, "AN0: 2.50 V 6.00 Bar"},  {1000, "AN0: 4.00 V 10.50 Bar"},
    };
    for (const auto& [count, text] : an0) {
        test_board().set_analog(0, count);
        test_board().set_analog(1, static_cast<std::uint16_t>(count + 250));
        panel->Render();
        EXPECT_EQ(label(panel->Button2), text);
        char an1[32];
        std::snprintf(an1, sizeof an1, "AN1 %3.2f V", (count + 250) * 0.004);
        EXPECT_EQ(label(panel->Button3), an1);
    }
    test_board().set_analog(1, 65535);
    panel->Render();
    EXPECT_EQ(label(panel->Button3), "AN1 262.14 V");
}

TEST_F(IoMonitor, TogglesReachTheBoardAtTheNextRefresh) {
    open(true);
    panel->Render();
    EXPECT_EQ(test_board().outputs(), frame_for({}, 0));

    press_outputs({1, 5, 16, 17});
    EXPECT_EQ(test_board().outputs(), frame_for({}, 0)) << "nothing is sent before the refresh";
    panel->Render();
    EXPECT_EQ(test_board().outputs(), frame_for({1, 5, 16, 17}, 0));

    press_outputs({2});
    panel->Render();
    EXPECT_EQ(test_board().outputs(), frame_for({2}, 0));
}

TEST_F(IoMonitor, OutputNineFollowsThePwmWhateverItsToggle) {
    open(true);
    // Level 0 with the toggle pressed: never on.
    press_outputs({9});
    EXPECT_EQ(output9_over(8), std::vector<int>(8, 0));

    // Fresh panel, phase 0: level 2 is on for two refreshes, off for two.
    EXPECT_EQ(panel->pwm_phase, 0);
    panel->Slider1->SetValue(2);
    EXPECT_EQ(output9_over(8), (std::vector<int>{1, 1, 0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(panel->pwm_level, 2);

    // Level 4 with the toggle released: always on.
    press_outputs({});
    panel->Slider1->SetValue(4);
    EXPECT_EQ(output9_over(8), std::vector<int>(8, 1));

    // A change takes effect at the phase the counter has reached.
    panel->Slider1->SetValue(2);
    panel->Render();  // phase 0
    panel->Slider1->SetValue(1);
    EXPECT_EQ(output9_over(4), (std::vector<int>{0, 0, 0, 1}));  // phases 1, 2, 3, 0
    // The other outputs are untouched by the PWM.
    const auto outputs = test_board().outputs();
    EXPECT_EQ(std::count(outputs.begin(), outputs.end(), 1), 1);
}

TEST_F(IoMonitor, FollowsTheLinkThroughAnUnplug) {
    test_board().set_input(3, 1);
    test_board().set_analog(0, 625);
    open(true);
    press_outputs({4});
    panel->Render();
    EXPECT_TRUE(panel->CheckBox1->GetValue());

    test_board().unplug();
    wait_connected(false);
    panel->Render();
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    // The last values received stay on show.
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 1");
    EXPECT_EQ(label(panel->Button2), "AN0: 2.50 V 6.00 Bar");

    // Plugged in again, the board starts with its outputs off; the next refresh sends
    // the toggles again.
    test_board().set_input(3, 0);
    test_board().plug_in();
    wait_connected(true);
    EXPECT_EQ(test_board().outputs(), frame_for({}, 0));
    panel->Render();
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(test_board().outputs(), frame_for({4}, 0));
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 0");
}

TEST_F(IoMonitor, TheTimerRefreshesTheScreen) {
    test_board().set_input(7, 42);
    open(true);
    panel->timer->Start(IO_Monitor_Panel::refresh_ms, wxTIMER_CONTINUOUS);
    EXPECT_TRUE(gui_test::pump_until([&] { return label(panel->InputButtons[6]) == "Input 7 : 42"; }, 3000ms));
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    press_outputs({11});
    EXPECT_TRUE(gui_test::pump_until([&] { return test_board().outputs()[10] == 1; }, 3000ms));
}

TEST_F(IoMonitor, HomeAndBackBuildsAFreshScreen) {
    open(true);
    std::set<wxWindowID> old_ids;
    for (auto* button : panel->InputButtons) old_ids.insert(button->GetId());
    for (auto* toggle : panel->OutputToggles) old_ids.insert(toggle->GetId());
    EXPECT_EQ(old_ids.size(), 29u) << "every input button and toggle has an id of its own";
    EXPECT_EQ(old_ids.count(IO_Monitor_Panel::ID_BUTTON1), 0u);
    press_outputs({1, 2, 3});
    panel->Slider1->SetValue(3);
    panel->Render();

    wxWeakRef<IO_Monitor_Panel> old_panel(panel);
    gui_test::click(panel->Button1);
    ASSERT_NE(dynamic_cast<FoPanel*>(frame->current_panel), nullptr);
    EXPECT_TRUE(gui_test::pump_until([&] { return !old_panel; }, 2000ms)) << "the old screen was not destroyed";

    frame->SwitchPanel(1);
    panel = dynamic_cast<IO_Monitor_Panel*>(frame->current_panel);
    ASSERT_NE(panel, nullptr);
    panel->timer->Stop();
    for (auto* button : panel->InputButtons) EXPECT_EQ(old_ids.count(button->GetId()), 0u);
    for (auto* toggle : panel->OutputToggles) {
        EXPECT_EQ(old_ids.count(toggle->GetId()), 0u);
        EXPECT_FALSE(toggle->GetValue());
    }
    EXPECT_EQ(panel->Slider1->GetValue(), 0);
    EXPECT_EQ(panel->pwm_phase, 0);
    panel->Render();
    EXPECT_EQ(test_board().outputs(), frame_for({}, 0));
}

TEST_F(IoMonitor, LabelsFitTheirControls) {
    // The widest texts below 10 V on the analog inputs.
    test_board().set_input(12, 255);
    test_board().set_analog(0, 2498);
    test_board().set_analog(1, 2498);
    set_plugged(true);
    // Switched before the new frame has processed a single event, as a program that opens
    // the monitor at start does: the controls are then laid out before GTK styles them.
    frame = new Kelpon_v6Frame(nullptr, wxID_ANY);
    frame->Show();
    wxTheApp->SetTopWindow(frame);
    frame->CallAfter([this] { frame->SwitchPanel(1); });
    ASSERT_TRUE(gui_test::pump_until([&] { return dynamic_cast<IO_Monitor_Panel*>(frame->current_panel); }));
    panel = static_cast<IO_Monitor_Panel*>(frame->current_panel);
    wait_connected(true);
    ASSERT_TRUE(gui_test::pump_until([&] { return label(panel->InputButtons[11]) == "Input 12 : 255"; }));
    panel->timer->Stop();
    panel->Render();
    gui_test::pump_for(100ms);
    std::vector<wxWindow*> controls = {panel->StaticText1, panel->StaticText2, panel->StaticText3,
                                       panel->StaticText4, panel->CheckBox1,   panel->Button1,
                                       panel->Button2,     panel->Button3};
    controls.insert(controls.end(), panel->InputButtons.begin(), panel->InputButtons.end());
    controls.insert(controls.end(), panel->OutputToggles.begin(), panel->OutputToggles.end());
    // Cut-off text is what matters: the text in the control's font, with a few pixels
    // for the frame, must fit the control, and the control must be on the screen.
    const wxRect screen(panel->GetScreenPosition(), panel->GetSize());
    for (wxWindow* control : controls) {
        const wxSize text = control->GetTextExtent(control->GetLabel());
        const wxSize shown = control->GetSize();
        const int frame_width = dynamic_cast<wxStaticText*>(control) != nullptr ? 0 : 8;
        EXPECT_LE(text.x + frame_width, shown.x) << label(control);
        EXPECT_LE(text.y, shown.y) << label(control);
        EXPECT_TRUE(screen.Contains(wxRect(control->GetScreenPosition(), shown))) << label(control);
    }
    // Headings have no frame: they need their whole best size.
    for (wxWindow* heading : {panel->StaticText1, panel->StaticText2, panel->StaticText3, panel->StaticText4}) {
        heading->InvalidateBestSize();
        EXPECT_GE(heading->GetSize().x, heading->GetBestSize().x) << label(heading);
        EXPECT_GE(heading->GetSize().y, heading->GetBestSize().y) << label(heading);
    }
}

// Figures for the refresh cost: run with --gtest_also_run_disabled_tests.
double seconds_of(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST_F(IoMonitor, DISABLED_RefreshCost) {
    open(true);
    for (int plugged = 1; plugged >= 0; --plugged) {
        if (!plugged) {
            test_board().unplug();
            wait_connected(false);
        }
        std::vector<double> ms;
        for (int i = 0; i < 2000; ++i) {
            const auto start = std::chrono::steady_clock::now();
            panel->Render();
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(ms.begin(), ms.end());
        std::printf("Render %s: median %.3f ms, p99 %.3f ms, max %.3f ms (period %d ms)\n",
                    plugged ? "with the board" : "without a board", ms[ms.size() / 2], ms[ms.size() * 99 / 100],
                    ms.back(), IO_Monitor_Panel::refresh_ms);
    }
    for (int plugged = 1; plugged >= 0; --plugged) {
        if (plugged) {
            test_board().plug_in();
            wait_connected(true);
        } else {
            test_board().unplug();
            wait_connected(false);
        }
        test_board().clear_transfers();
        panel->timer->Start(IO_Monitor_Panel::refresh_ms, wxTIMER_CONTINUOUS);
        const double wall0 = seconds_of(CLOCK_MONOTONIC), cpu0 = seconds_of(CLOCK_PROCESS_CPUTIME_ID),
                     gui0 = seconds_of(CLOCK_THREAD_CPUTIME_ID);
        gui_test::pump_for(5000ms);
        const double wall = seconds_of(CLOCK_MONOTONIC) - wall0, cpu = seconds_of(CLOCK_PROCESS_CPUTIME_ID) - cpu0,
                     gui = seconds_of(CLOCK_THREAD_CPUTIME_ID) - gui0;
        panel->timer->Stop();
        std::printf("Open screen %s: %.1f %% of a core for the process, %.1f %% on the GUI thread, "
                    "%zu refreshes in %.1f s\n",
                    plugged ? "with the board" : "without a board", 100 * cpu / wall, 100 * gui / wall,
                    test_board().transfers().size() / 3, wall);
    }
}

TEST_F(IoMonitor, DISABLED_Screenshot) {
    test_board().set_input(3, 1);
    test_board().set_input(12, 255);
    test_board().set_analog(0, 1000);
    test_board().set_analog(1, 1250);
    open(true);
    press_outputs({1, 9, 17});
    panel->Slider1->SetValue(2);
    panel->Render();
    gui_test::pump_for(500ms);
    const char* path = std::getenv("IO_MONITOR_SHOT");
    const std::string command =
        std::string("xwd -root -silent | /usr/bin/convert xwd:- ") + (path ? path : "/tmp/io-monitor.png");
    EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
