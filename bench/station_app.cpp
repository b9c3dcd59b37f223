// The station exactly as Varnold starts it, instrumented for the benchmarks.
//   BENCH_MODE=paint (default)  report the positioner's first paint and memory, then close
//   BENCH_MODE=io               switch to the IO monitor and run until killed
//   BENCH_MODE=rename           as paint, and after the first paint rename types through the
//                               "Atnevezes" button, printing "rename_ms=..." for each
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/textctrl.h>

#include "FoPanel.h"
#include "Kelpon_v6App.h"
#include "Kelpon_v6Frame.h"
#include "bench_clock.h"
#include "bench_stats.h"

namespace {

bool mode_is(const char* wanted) {
    const char* mode = std::getenv("BENCH_MODE");
    return mode != nullptr && std::strcmp(mode, wanted) == 0;
}

bool io_mode() { return mode_is("io"); }

// One rename as the operator makes it: select a type, type a name, press "Atnevezes"; timed
// until the screen has been redrawn with the new entry.
double timed_rename(FoPanel* panel, int index, const wxString& name) {
    panel->Choice1->SetSelection(index);
    wxCommandEvent select(wxEVT_CHOICE, FoPanel::ID_CHOICE1);
    select.SetInt(index);
    select.SetEventObject(panel->Choice1);
    const auto selecting = bench::clock::now();
    panel->Choice1->ProcessWindowEvent(select);
    panel->Update();
    while (wxTheApp->Pending()) wxTheApp->Dispatch();
    std::printf("select_ms=%.2f\n", bench::ms_since(selecting));
    panel->TextCtrl11->ChangeValue(name);
    const auto start = bench::clock::now();
    wxCommandEvent press(wxEVT_BUTTON, FoPanel::ID_BUTTON8);
    press.SetEventObject(panel->Button8);
    panel->Button8->ProcessWindowEvent(press);
    panel->Update();
    while (wxTheApp->Pending()) wxTheApp->Dispatch();
    return bench::ms_since(start);
}

void rename_after_first_paint(FoPanel* panel) {
    panel->Bind(wxEVT_PAINT, [panel](wxPaintEvent& event) {
        event.Skip();
        static bool done = false;
        if (done) return;
        done = true;
        panel->CallAfter([panel] {
            const int count = static_cast<int>(panel->Choice1->GetCount());
            if (count == 0) return;
            for (int i = 0; i < 5; ++i) {
                const int index = count - 1 - i * (count / 5);
                const double ms = timed_rename(panel, index, wxString::Format("Atnevezett %d", i));
                std::printf("rename_ms=%.2f\n", ms);
            }
            std::fflush(stdout);
        });
    });
}

class bench_station_app : public Kelpon_v6App {
public:
    bool OnInit() override {
        if (!Kelpon_v6App::OnInit()) return false;
        auto* frame = dynamic_cast<Kelpon_v6Frame*>(GetTopWindow());
        if (frame == nullptr || frame->current_panel == nullptr) return false;
        if (io_mode()) {
            // As a click on the (hidden) IO Monitor button would, once start-up has run.
            CallAfter([frame] { frame->SwitchPanel(1); });
        } else {
            bench::report_start_up(frame->current_panel, frame);
            if (mode_is("rename")) rename_after_first_paint(dynamic_cast<FoPanel*>(frame->current_panel));
        }
        return true;
    }
};

}  // namespace

wxIMPLEMENT_APP(bench_station_app);
