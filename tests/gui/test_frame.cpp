// The main frame: start-up, panel switching with deferred destruction, the log
// route from the link, and shutdown.
#include <chrono>

#include <gtest/gtest.h>
#include <wx/sizer.h>
#include <wx/weakref.h>

#include "FoPanel.h"
#include "IO_Monitor_Panel.h"
#include "Kelpon_v6Frame.h"
#include "a_usb.h"
#include "emulated_board.h"
#include "gui_support.h"

using namespace gui_test;

namespace {
bool shows_positioner(Kelpon_v6Frame* frame) {
    return dynamic_cast<FoPanel*>(frame->current_panel) != nullptr;
}
bool shows_io_monitor(Kelpon_v6Frame* frame) {
    return dynamic_cast<IO_Monitor_Panel*>(frame->current_panel) != nullptr;
}
// Exactly one sizer item, and it is the current panel.
bool sizer_holds_only_current(Kelpon_v6Frame* frame) {
    return frame->panel_sizer->GetItemCount() == 1 &&
           frame->panel_sizer->GetItem(static_cast<size_t>(0))->GetWindow() == frame->current_panel;
}
}  // namespace

TEST(Frame, StartsFullScreenOnThePositioner) {
    scoped_workdir dir(true);
    Kelpon_v6Frame* frame = make_frame();
    EXPECT_TRUE(frame->IsFullScreen());
    EXPECT_EQ(frame->GetSizer(), frame->panel_sizer);
    EXPECT_TRUE(shows_positioner(frame));
    EXPECT_TRUE(sizer_holds_only_current(frame));
    ASSERT_NE(frame->usb, nullptr);
    EXPECT_EQ(static_cast<FoPanel*>(frame->current_panel)->usb, frame->usb);
    close_frame(frame);
}

TEST(Frame, SwitchingManyTimesKeepsOnePanelAndBuildsFreshOnes) {
    scoped_workdir dir(true);
    Kelpon_v6Frame* frame = make_frame();
    // Watched, not compared by address: a new panel may well be built where a freed one was.
    wxWeakRef<wxPanel> first(frame->current_panel);
    for (int round = 0; round < 10; ++round) {
        frame->SwitchPanel(1);
        EXPECT_TRUE(shows_io_monitor(frame));
        EXPECT_TRUE(sizer_holds_only_current(frame));
        EXPECT_EQ(static_cast<IO_Monitor_Panel*>(frame->current_panel)->usb, frame->usb);
        frame->SwitchPanel(0);
        EXPECT_TRUE(shows_positioner(frame));
        EXPECT_TRUE(sizer_holds_only_current(frame));
        pump_for(std::chrono::milliseconds(15));
    }
    EXPECT_FALSE(first) << "the first positioner is still there";
    // Any value but 1 selects the positioner.
    frame->SwitchPanel(7);
    EXPECT_TRUE(shows_positioner(frame));
    pump_for(std::chrono::milliseconds(50));
    // Only the current panel is left among the frame's children once the retired ones are gone.
    int panels = 0;
    for (wxWindow* child : frame->GetChildren())
        if (dynamic_cast<wxPanel*>(child) != nullptr) ++panels;
    EXPECT_EQ(panels, 1);
    close_frame(frame);
}

TEST(Frame, PanelsReplaceThemselvesFromTheirOwnButtons) {
    scoped_workdir dir(true);
    Kelpon_v6Frame* frame = make_frame();
    for (int round = 0; round < 5; ++round) {
        // The hidden "IO Monitor" button and the monitor's "Home" both destroy the
        // panel whose handler is running; AddressSanitizer catches any use after free.
        click(static_cast<FoPanel*>(frame->current_panel)->Button1);
        ASSERT_TRUE(shows_io_monitor(frame));
        pump_for(std::chrono::milliseconds(30));
        click(static_cast<IO_Monitor_Panel*>(frame->current_panel)->Button1);
        ASSERT_TRUE(shows_positioner(frame));
        pump_for(std::chrono::milliseconds(30));
        EXPECT_TRUE(sizer_holds_only_current(frame));
    }
    close_frame(frame);
}

TEST(Frame, LogMessageReachesOnlyThePositionerLog) {
    scoped_workdir dir(true);
    Kelpon_v6Frame* frame = make_frame();
    auto* positioner = static_cast<FoPanel*>(frame->current_panel);
    const wxString before = positioner->LogBox()->GetValue();
    frame->LogMessage("Sent Not success -9");
    EXPECT_EQ(positioner->LogBox()->GetValue(), before + "Sent Not success -9\n");
    // The link's log route ends in the same place.
    frame->usb->log_line("Sent Not success -7");
    EXPECT_TRUE(positioner->LogBox()->GetValue().EndsWith("Sent Not success -7\n"));

    frame->SwitchPanel(1);
    frame->LogMessage("dropped");  // no log box on the IO monitor: nothing happens
    frame->SwitchPanel(0);
    EXPECT_EQ(static_cast<FoPanel*>(frame->current_panel)->LogBox()->GetValue().Find("dropped"),
              wxNOT_FOUND);
    close_frame(frame);
}

TEST(Frame, ClosesPromptlyWithNoBoard) {
    scoped_workdir dir(true);
    set_test_board_plugged(false);
    Kelpon_v6Frame* frame = make_frame();
    pump_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(frame->usb->connected.load());
    const auto started = std::chrono::steady_clock::now();
    close_frame(frame);
    const auto took = std::chrono::steady_clock::now() - started;
    // A hang in the connection thread's shutdown shows up here; the bound is far above one cycle.
    EXPECT_LT(took, std::chrono::seconds(2));
}

TEST(Frame, ClaimsTheBoardAndReleasesItOnClose) {
    scoped_workdir dir(true);
    set_test_board_plugged(true);
    Kelpon_v6Frame* frame = make_frame();
    a_usb* link = frame->usb;
    EXPECT_TRUE(pump_until([&] { return link->connected.load(); }, std::chrono::seconds(3)));
    close_frame(frame);
}
