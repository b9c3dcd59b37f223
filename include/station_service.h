#pragma once
// The station as a service of the operator's session: it says when it is up and, while the
// service manager watches it, that its screen is still alive. Without a service manager
// (started by hand, in tests) these do nothing.

namespace station_service {

// The first frame is on the screen.
void ready();

// How often the watchdog wants to hear from the station, in ms; 0 when nobody watches.
long watchdog_period_ms();

// The GUI thread still runs.
void alive();

}  // namespace station_service
