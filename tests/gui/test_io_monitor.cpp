// The IO monitor screen against the emulated board: labels that fit, what one refresh shows
// and sends, failed exchanges and link loss, and leaving it.
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/slider.h>
#include <wx/weakref.h>

#include "FoPanel.h"
#include "IO_Monitor_Panel.h"
#include "Kelpon_v6Frame.h"
#include "a_usb.h"
#include "emulated_board.h"
#include "gui_support.h"

namespace {

using namespace std::chrono_literals;
using packets = std::vector<std::vector<std::uint8_t>>;

std::string label(const wxWindow* control) { return control->GetLabel().utf8_string(); }

// The 64-byte output request: 0x83, then one byte per output (numbered from 1).
std::vector<std::uint8_t> output_request(const std::set<int>& on) {
    std::vector<std::uint8_t> request(64, 0);
    request[0] = 0x83;
    for (const int number : on) request[static_cast<std::size_t>(number)] = 1;
    return request;
}

// The OUT packets (of one command, when given) the board received since its transfers were
// last cleared.
packets sent(int command = -1) {
    packets out;
    for (const auto& record : test_board().transfers())
        if (record.dir == emu::direction::out && (command < 0 || record.data[0] == command)) out.push_back(record.data);
    return out;
}

class IoMonitor : public ::testing::Test {
protected:
    void TearDown() override {
        test_board().clear_faults();
        if (frame != nullptr) gui_test::close_frame(frame);
    }
    void wait_connected(bool expected) {
        ASSERT_TRUE(gui_test::pump_until([&] { return frame->usb->connected.load() == expected; }, 10s));
    }
    void press_outputs(const std::set<int>& numbers) {
        for (std::size_t k = 0; k < panel->OutputToggles.size(); ++k)
            panel->OutputToggles[k]->SetValue(numbers.count(static_cast<int>(k + 1)) != 0);
    }
    // One refresh by hand (the panel's timer is stopped), seen from an empty transfer log.
    void refresh() {
        test_board().clear_transfers();
        panel->Render();
    }
    std::string text_box() const { return panel->TextCtrl1->GetValue().utf8_string(); }

    gui_test::scoped_workdir dir{true};
    Kelpon_v6Frame* frame = nullptr;
    IO_Monitor_Panel* panel = nullptr;
};

// Opened before the new frame has processed a single event, as a program that opens the
// monitor at start does, the controls are laid out before GTK styles them: the widest texts
// must still fit, with a few pixels for a frame, and lie on the screen. One refresh reads
// the status and writes the outputs; a failed read keeps the last values on show, says so
// and switches the outputs off; a failed write is reported; a link that is down is the check
// box's business; leaving, by "Home" or by closing, switches every output off or says why not.
TEST_F(IoMonitor, ShowsTheBoardDrivesItsOutputsAndSwitchesThemOffWhenLeft) {
    for (int input = 1; input <= 12; ++input) test_board().set_input(input, input == 12 ? 255 : 0);
    test_board().set_input(3, 1);
    test_board().set_analog(0, 2498);
    test_board().set_analog(1, 2250);
    set_test_board_plugged(true);
    frame = new Kelpon_v6Frame(nullptr, wxID_ANY);
    frame->Show();
    wxTheApp->SetTopWindow(frame);
    frame->CallAfter([this] { frame->SwitchPanel(1); });
    ASSERT_TRUE(gui_test::pump_until([&] { return (panel = dynamic_cast<IO_Monitor_Panel*>(frame->current_panel)); }));
    ASSERT_TRUE(gui_test::pump_until([&] { return label(panel->Button3) == "AN1 9.00 V"; }, 10s));
    panel->timer->Stop();
    gui_test::pump_for(100ms);
    const wxRect screen(panel->GetScreenPosition(), panel->GetSize());
    for (wxWindow* control : panel->GetChildren()) {
        if (dynamic_cast<wxTextCtrl*>(control) != nullptr || dynamic_cast<wxSlider*>(control) != nullptr) continue;
        const wxSize text = control->GetTextExtent(control->GetLabel());
        const wxSize shown = control->GetSize();
        const bool heading = dynamic_cast<wxStaticText*>(control) != nullptr;
        EXPECT_LE(text.x + (heading ? 0 : 8), shown.x) << label(control);
        EXPECT_LE(text.y, shown.y) << label(control);
        EXPECT_TRUE(screen.Contains(wxRect(control->GetScreenPosition(), shown))) << label(control);
        control->InvalidateBestSize();  // headings have no frame: they need their whole best size
        EXPECT_TRUE(!heading || (shown.x >= control->GetBestSize().x && shown.y >= control->GetBestSize().y));
    }

    press_outputs({1, 9, 17});
    refresh();
    EXPECT_EQ(sent(), (packets{{0x82}, output_request({1, 17})})) << "output 9 follows the PWM, not its toggle";
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 1");
    EXPECT_EQ(label(panel->InputButtons[11]), "Input 12 : 255");
    EXPECT_EQ(label(panel->Button2), "AN0: 9.99 V 28.48 Bar");

    // Three failed reads: the outputs off with zeros, tried again until they go through
    // (the first is stalled), the toggles back once the status is read again.
    test_board().set_input(3, 5);
    test_board().fail_next(3, emu::fault::short_reply, emu::direction::in);
    test_board().fail_next_command(0x83, emu::fault::stall);
    refresh();
    for (int i = 0; i < 2; ++i) panel->Render();
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 1");
    EXPECT_EQ(test_board().outputs(), decltype(test_board().outputs()){});
    panel->Render();
    EXPECT_EQ(label(panel->InputButtons[2]), "Input 3 : 5");
    const std::vector<std::uint8_t> read{0x82};
    EXPECT_EQ(sent(), (packets{read, output_request({}), read, output_request({}), read, read, output_request({1, 17})}));
    EXPECT_EQ(text_box(), "Texthello timer restart\nStatus read failed, last values shown: reply too short\n"
                          "Output write failed: Pipe error\nOutput write resumed\n"
                          "Outputs switched off until status reads resume\nStatus read resumed\n");

    const std::string reported = text_box();
    test_board().unplug();
    wait_connected(false);
    panel->Render();
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    EXPECT_EQ(text_box(), reported);
    test_board().plug_in();
    wait_connected(true);

    press_outputs({1, 5, 17});
    panel->Slider1->SetValue(4);  // output 9 always on
    refresh();
    EXPECT_EQ(sent().back(), output_request({1, 5, 9, 17}));
    wxWeakRef<IO_Monitor_Panel> old_panel(panel);
    test_board().clear_transfers();
    test_board().fail_next_command(0x83, emu::fault::stall);
    gui_test::click(panel->Button1);
    EXPECT_NE(dynamic_cast<FoPanel*>(frame->current_panel), nullptr);
    EXPECT_TRUE(gui_test::pump_until([&] { return !old_panel; }, 5s));
    EXPECT_EQ(sent(0x83), packets(2, output_request({}))) << "zeros until they go through, nothing after them";

    frame->SwitchPanel(1);
    panel = dynamic_cast<IO_Monitor_Panel*>(frame->current_panel);
    ASSERT_NE(panel, nullptr);
    panel->timer->Stop();
    EXPECT_FALSE(panel->OutputToggles[0]->GetValue()) << "a fresh screen";
    press_outputs({7});
    refresh();
    test_board().unplug();
    wait_connected(false);
    testing::internal::CaptureStderr();
    gui_test::close_frame(frame);
    frame = nullptr;
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::HasSubstr("IO monitor: the outputs could not be switched off on leaving: board not connected"));
}

}  // namespace
