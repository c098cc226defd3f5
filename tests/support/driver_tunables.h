// The driver's process-wide tunables, the frame time-out and the quiet
// spell that ends a drain, set for a scope. When the guard goes both are
// back at the driver's own defaults, whatever set them meanwhile (a guard,
// a time-out property, a settings load), so a test that stops early on a
// failure neither slows nor breaks the next. No test framework inside: the
// fuzz targets use it too.
#pragma once

#include "platform/kernel/sync.h"
#include "usb/frame_transfer.h"

class DriverTunables {
  public:
    DriverTunables() = default;
    DriverTunables(const DriverTunables&) = delete;
    DriverTunables& operator=(const DriverTunables&) = delete;
    ~DriverTunables() {
        FrameTimeout(kDefaultFrameTimeoutMs);
        DrainQuiet(kDefaultDrainQuietMs);
    }

    DriverTunables& FrameTimeout(LONG ms) {
        InterlockedExchange(&frameTimeoutMs, ms);
        return *this;
    }
    DriverTunables& DrainQuiet(LONG ms) {
        InterlockedExchange(&drainQuietMs, ms);
        return *this;
    }
};
