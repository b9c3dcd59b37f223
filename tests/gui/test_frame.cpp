// The main frame along one run: start-up on the positioner, the log route from the link,
// panel switching from code and from the panels' own buttons, and shutdown.
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
template <typename Panel>
Panel* showing(Kelpon_v6Frame* frame) {
    // Exactly one sizer item, and it is the current panel, built with the frame's link.
    auto* panel = dynamic_cast<Panel*>(frame->current_panel);
    const bool alone = frame->panel_sizer->GetItemCount() == 1 && frame->panel_sizer->GetItem(static_cast<size_t>(0))->GetWindow() == panel;
    return alone && panel != nullptr && panel->usb == frame->usb ? panel : nullptr;
}
}  // namespace

TEST(Frame, StartsSwitchesLogsAndCloses) {
    scoped_workdir dir(true);
    set_test_board_plugged(true);
    Kelpon_v6Frame* frame = make_frame();
    EXPECT_TRUE(frame->IsFullScreen());
    wxWeakRef<FoPanel> first(showing<FoPanel>(frame));
    ASSERT_TRUE(first);
    EXPECT_TRUE(pump_until([&] { return frame->usb->connected.load(); }));

    // The frame's log and the link's log both end in the positioner's log box.
    const wxString before = first->LogBox()->GetValue();
    frame->LogMessage("Sent Not success -9");
    frame->usb->log_line("Sent Not success -7");
    EXPECT_EQ(first->LogBox()->GetValue(), before + "Sent Not success -9\nSent Not success -7\n");

    // The hidden "IO Monitor" button and the monitor's "Home" retire the panel whose handler
    // runs: it must outlive that handler and go once the events have run. Any value but 1
    // selects the positioner.
    for (int round = 0; round < 3; ++round) {
        wxWeakRef<FoPanel> retired(showing<FoPanel>(frame));
        click(retired->Button1);
        ASSERT_NE(showing<IO_Monitor_Panel>(frame), nullptr);
        ASSERT_TRUE(retired) << "a panel was destroyed inside its own handler";
        // The IO monitor has no log box: the line goes nowhere, least of all to the
        // positioner on its way out.
        frame->LogMessage("dropped");
        EXPECT_EQ(retired->LogBox()->GetValue().Find("dropped"), wxNOT_FOUND);
        EXPECT_TRUE(pump_until([&] { return !retired; })) << "the retired positioner stays";
        click(showing<IO_Monitor_Panel>(frame)->Button1);
        ASSERT_NE(showing<FoPanel>(frame), nullptr);
        frame->SwitchPanel(1);
        ASSERT_NE(showing<IO_Monitor_Panel>(frame), nullptr);
        frame->SwitchPanel(7);
        ASSERT_NE(showing<FoPanel>(frame), nullptr);
    }
    close_frame(frame);
}
