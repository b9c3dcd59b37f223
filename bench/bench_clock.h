#pragma once
// Start-up measurement inside a measured program: the launcher (bench_startup) puts the
// CLOCK_MONOTONIC instant of the spawn in BENCH_T0_NS; the program reports its first paint
// against it, then its resident memory once it has settled, and ends.
class wxWindow;

namespace bench {

// Milliseconds since the launcher's start instant; negative when BENCH_T0_NS is not set.
double ms_since_launch();
// At the first paint of painted, prints "first_paint_ms=..."; one second later prints
// "rss_kb=..." and closes top.
void report_start_up(wxWindow* painted, wxWindow* top);

}  // namespace bench
