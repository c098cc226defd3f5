// The transport's time limits, and the request slots of a frame transfer.
#pragma once

#include "platform/kernel/sync.h"
#include "platform/usb/usb_types.h"

class CameraDevice;

// The one driver-wide frame time-out in milliseconds (a 32-bit unsigned
// value held in a LONG for the interlocked operations): every device waits
// this long for a frame, and for any single command block.
extern LONG frameTimeoutMs;
// What the time-out starts at, and the values a set of it takes (others are
// ignored).
constexpr LONG kDefaultFrameTimeoutMs = 3000;
constexpr LONG kMinFrameTimeoutMs = 501;
constexpr LONG kMaxFrameTimeoutMs = 9999;

inline ULONG FrameTimeoutMs() {
    return static_cast<ULONG>(ReadAcquire(&frameTimeoutMs));
}

// A relative wait of `ms` milliseconds in 100 ns units, in 64 bits so that no
// 32-bit value overflows.
inline LARGE_INTEGER RelativeMilliseconds(ULONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    return t;
}

constexpr ULONG FrameChunkSize = 65536;
// How long a pipe must stay silent for a drain to call it empty: 200 ms.
// Tests on slow (sanitizer) builds lengthen it, as they shorten the frame
// time-out.
extern LONG drainQuietMs;
constexpr LONG kDefaultDrainQuietMs = 200;
inline ULONG DrainQuietMs() {
    return static_cast<ULONG>(ReadAcquire(&drainQuietMs));
}

// A transfer that ended like this found its endpoint halted: the device took
// nothing, and the pipe stays halted until it is reset.
inline bool PipeHaltedBy(USBD_STATUS s) {
    return s == USBD_STATUS_STALL_PID || s == USBD_STATUS_ENDPOINT_HALTED;
}

// A cleared 128-byte bulk or interrupt URB for one pipe, with a buffer or an
// MDL; null when the pool is exhausted.
PURB AllocateBulkUrb(USBD_PIPE_HANDLE pipe, BOOLEAN directionIn, PVOID buffer, PMDL mdl,
                     ULONG length);

// One per read request of a frame.
struct TransferSlot {
    CameraDevice* Owner;
    PURB Urb;
    PIRP Irp;
    PMDL PartialMdl;
    LONG Completed;  // 0 in flight, non-zero once the completion routine ran
};
