#include "station_service.h"

#include <cstdint>

#include <systemd/sd-daemon.h>

namespace station_service {

void ready() { sd_notify(0, "READY=1"); }

long watchdog_period_ms() {
    std::uint64_t timeout_us = 0;
    if (sd_watchdog_enabled(0, &timeout_us) <= 0) return 0;
    // Three times within the timeout: one late tick is no hang.
    return static_cast<long>(timeout_us / 3000);
}

void alive() { sd_notify(0, "WATCHDOG=1"); }

}  // namespace station_service
