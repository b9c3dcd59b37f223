#include "bench_clock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <wx/timer.h>
#include <wx/window.h>

#include "process_stats.h"

namespace bench {

double ms_since_launch() {
    const char* start = std::getenv("BENCH_T0_NS");
    if (start == nullptr) return -1.0;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long now_ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    return static_cast<double>(now_ns - std::atoll(start)) / 1e6;
}

namespace {
// Memory is read once start-up work queued after the first paint has run too.
constexpr int settle_ms = 1000;

struct reporter {
    wxTimer settle;
    bool painted = false;
};
}  // namespace

void report_start_up(wxWindow* painted, wxWindow* top) {
    auto* state = new reporter;  // lives until the program ends
    state->settle.Bind(wxEVT_TIMER, [state, top](wxTimerEvent&) {
        std::printf("rss_kb=%ld\n", soak::resident_kb());
        std::fflush(stdout);
        top->Close(true);
    });
    painted->Bind(wxEVT_PAINT, [state](wxPaintEvent& event) {
        event.Skip();
        if (state->painted) return;
        state->painted = true;
        std::printf("first_paint_ms=%.2f\n", ms_since_launch());
        std::fflush(stdout);
        state->settle.StartOnce(settle_ms);
    });
}

}  // namespace bench
