// Camera controls shared by the whole driver.
#pragma once

#include "platform/kernel/sync.h"

// The one driver-wide frame time-out in milliseconds (a 32-bit unsigned
// value held in a LONG for the interlocked operations): every device waits
// this long for a frame, and for any single command block.
extern LONG frameTimeoutMs;
// What the time-out starts at, and the values a set of it takes (others are
// ignored).
constexpr LONG kDefaultFrameTimeoutMs = 3000;
constexpr LONG kMinFrameTimeoutMs = 501;
constexpr LONG kMaxFrameTimeoutMs = 9999;

inline ULONG FrameTimeoutMs() { return static_cast<ULONG>(ReadAcquire(&frameTimeoutMs)); }

// A relative wait of `ms` milliseconds in 100 ns units, in 64 bits so that no
// 32-bit value overflows.
inline LARGE_INTEGER RelativeMilliseconds(ULONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    return t;
}
