// The IO monitor screen against the emulated board: the refresh's labels and output frame,
// the PWM on output 9, link loss and failed exchanges, and leaving it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

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
        test_board().clear_faults();
        if (frame != nullptr) gui_test::close_frame(frame);
        set_plugged(false);
    }
    std::string text_box() const { return panel->TextCtrl1->GetValue().utf8_string(); }
    // The output frames the board received since its transfers were last cleared.
    std::vector<std::vector<std::uint8_t>> output_frames() const {
        std::vector<std::vector<std::uint8_t>> frames;
        for (const auto& r : test_board().transfers())
            if (r.dir == emu::direction::out && r.data.size() == 64 && r.data[0] == 0x83) frames.push_back(r.data);
        return frames;
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
    std::string output9_over(int refreshes) {
        std::string seen;
        for (int i = 0; i < refreshes; ++i) {
            panel->Render();
            seen += test_board().outputs()[8] ? '1' : '0';
        }
        return seen;
    }

    gui_test::scoped_workdir dir{true};
    Kelpon_v6Frame* frame = nullptr;
    IO_Monitor_Panel* panel = nullptr;
};

TEST_F(IoMonitor, ShowsTheBoardAndDrivesItsOutputs) {
    open(false);
    EXPECT_EQ(panel->TextCtrl1->GetValue().utf8_string(), "Texthello timer restart\n");
    panel->Render();  // no board has ever answered: the status block is all zero
    EXPECT_EQ(label(panel->InputButtons[11]), "Input 12 : 0");
    EXPECT_EQ(label(panel->Button2), "AN0: 0.00 V -1.50 Bar");
    EXPECT_EQ(label(panel->Button3), "AN1 0.00 V");
    EXPECT_FALSE(panel->CheckBox1->GetValue());

    test_board().set_input(3, 1);
    test_board().set_input(12, 255);
    test_board().set_analog(0, 625);
    test_board().set_analog(1, 1250);
    set_plugged(true);
    wait_connected(true);
    press_outputs({1, 9, 17});
    panel->Render();
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 1");
    EXPECT_EQ(label(panel->InputButtons[11]), "Input 12 : 255");
    EXPECT_EQ(label(panel->Button2), "AN0: 2.50 V 6.00 Bar");
    EXPECT_EQ(label(panel->Button3), "AN1 5.00 V");
    EXPECT_EQ(test_board().outputs(), frame_for({1, 17}, 0)) << "output 9 follows the PWM, not its toggle";
    panel->Slider1->SetValue(2);
    EXPECT_EQ(output9_over(8), "00110011");  // phases 2, 3, 0, 1, ...

    // Unplugged: the last values stay on show; plugged in again, the toggles are sent again.
    test_board().unplug();
    wait_connected(false);
    panel->Render();
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 1");
    test_board().set_input(3, 0);
    test_board().plug_in();
    wait_connected(true);
    panel->Slider1->SetValue(0);
    panel->timer->Start(IO_Monitor_Panel::refresh_ms, wxTIMER_CONTINUOUS);
    EXPECT_TRUE(gui_test::pump_until([&] { return label(panel->InputButtons[2]) == "Input 3 : 0"; }));
    EXPECT_TRUE(gui_test::pump_until([&] { return test_board().outputs() == frame_for({1, 17}, 0); }));
    EXPECT_EQ(text_box(), "Texthello timer restart\n") << "a link that is down is the check box's business";
}

// A failed status read keeps the values on show and says so; a failed output write is
// reported; a board that stops answering costs one timeout, then nothing is sent to it
// until it answers again.
TEST_F(IoMonitor, FailedExchangesKeepTheLastValuesAndAreReported) {
    test_board().set_input(5, 7);
    open(true);
    press_outputs({2});
    panel->Render();
    EXPECT_EQ(label(panel->InputButtons[4]), "Input 5 : 7");

    test_board().set_input(5, 9);
    test_board().fail_next(3, emu::fault::short_reply, emu::direction::in);
    for (int i = 0; i < 3; ++i) panel->Render();
    EXPECT_EQ(label(panel->InputButtons[4]), "Input 5 : 7");
    panel->Render();
    EXPECT_EQ(label(panel->InputButtons[4]), "Input 5 : 9");
    test_board().fail_next_command(0x83, emu::fault::stall);
    panel->Render();
    panel->Render();
    const std::string reads = "Status read failed, last values shown: reply too short\nStatus read resumed\n";
    EXPECT_EQ(text_box(), "Texthello timer restart\n" + reads + "Output write failed: Pipe error\nOutput write resumed\n");

    press_outputs({3});
    test_board().fail_next(100000, emu::fault::timeout, emu::direction::in);
    panel->Render();  // waits out the one timeout
    test_board().clear_transfers();
    for (int i = 0; i < 20; ++i) panel->Render();
    EXPECT_TRUE(output_frames().empty());
    EXPECT_NE(text_box().find("Status read failed, last values shown: Operation timed out\n"), std::string::npos);
    test_board().clear_faults();
    EXPECT_TRUE(gui_test::pump_until([&] { panel->Render(); return test_board().outputs() == frame_for({3}, 0); }));
}

// Leaving the IO monitor, by "Home" or by closing the program, switches every output off.
TEST_F(IoMonitor, LeavingSwitchesEveryOutputOff) {
    open(true);
    press_outputs({1, 5, 17});
    panel->Slider1->SetValue(4);
    panel->Render();
    ASSERT_EQ(test_board().outputs(), frame_for({1, 5, 17}, 1));
    wxWeakRef<IO_Monitor_Panel> old_panel(panel);
    test_board().clear_transfers();
    gui_test::click(panel->Button1);
    EXPECT_EQ(test_board().outputs(), frame_for({}, 0));
    ASSERT_NE(dynamic_cast<FoPanel*>(frame->current_panel), nullptr);
    EXPECT_TRUE(gui_test::pump_until([&] { return !old_panel; }, 2000ms));
    std::vector<std::uint8_t> zeros(64, 0);
    zeros[0] = 0x83;
    EXPECT_EQ(output_frames(), std::vector<std::vector<std::uint8_t>>{zeros}) << "one frame of zeros, nothing after it";

    frame->SwitchPanel(1);
    panel = dynamic_cast<IO_Monitor_Panel*>(frame->current_panel);
    ASSERT_NE(panel, nullptr);
    panel->timer->Stop();
    EXPECT_FALSE(panel->OutputToggles[0]->GetValue()) << "a fresh screen";
    press_outputs({7});
    panel->Render();
    ASSERT_EQ(test_board().outputs(), frame_for({7}, 0));
    test_board().clear_transfers();
    gui_test::close_frame(frame);
    frame = nullptr;
    EXPECT_EQ(output_frames(), std::vector<std::vector<std::uint8_t>>{zeros});
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

}  // namespace
