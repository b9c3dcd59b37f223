// The yardstick for the station's start-up, memory and timer cost: a wx frame of the
// station's size holding one panel, full screen, and nothing else.
//   BENCH_MODE=paint (default)  report first paint and memory (bench_clock.h), then end
//   BENCH_MODE=timer            run a 10 ms timer that does nothing, until killed
#include <cstdlib>
#include <cstring>

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/timer.h>

#include "bench_clock.h"

namespace {

class idle_timer : public wxTimer {
public:
    void Notify() override {}
};

bool timer_mode() {
    const char* mode = std::getenv("BENCH_MODE");
    return mode != nullptr && std::strcmp(mode, "timer") == 0;
}

class minimal_app : public wxApp {
public:
    bool OnInit() override {
        auto* frame = new wxFrame(nullptr, wxID_ANY, "minimal");
        frame->SetClientSize(1024, 600);
        auto* panel = new wxPanel(frame, wxID_ANY, wxDefaultPosition, wxSize(1024, 600));
        auto* sizer = new wxBoxSizer(wxHORIZONTAL);
        sizer->Add(panel, 1, wxEXPAND);
        frame->SetSizer(sizer);
        frame->Show();
        frame->ShowFullScreen(true);
        SetTopWindow(frame);
        if (timer_mode()) {
            timer.Start(10, wxTIMER_CONTINUOUS);
        } else {
            bench::report_start_up(panel, frame);
        }
        return true;
    }
    int OnExit() override {
        timer.Stop();
        return wxApp::OnExit();
    }

private:
    idle_timer timer;
};

}  // namespace

wxIMPLEMENT_APP(minimal_app);
