// The request slots of a frame transfer.
#pragma once

#include "platform/usb/usb_types.h"

class CameraDevice;

constexpr ULONG FrameChunkSize = 65536;

// A cleared 128-byte bulk or interrupt URB for one pipe, with a buffer or an
// MDL; null when the pool is exhausted.
PURB AllocateBulkUrb(USBD_PIPE_HANDLE pipe, BOOLEAN directionIn, PVOID buffer, PMDL mdl, ULONG length);

// One per read request of a frame.
struct TransferSlot {
    CameraDevice* Owner;
    PURB Urb;
    PIRP Irp;
    PMDL PartialMdl;
    LONG Completed;  // 0 in flight, non-zero once the completion routine ran
};
