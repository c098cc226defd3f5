// The readout window and the one video data range offered for it.
#pragma once

#include "platform/ks/ks_types.h"

// The driver-wide data range: every device's accepted readout window
// rewrites it, and the capture pin offers it.
extern KS_DATARANGE_VIDEO OfferedDataRange;

constexpr REFERENCE_TIME FRAME_INTERVAL_30FPS = 333333;
