// The request slots of a frame transfer.
#pragma once

#include "platform/usb/usb_types.h"

class CameraDevice;

constexpr ULONG FrameChunkSize = 65536;

// One per read request of a frame.
struct TransferSlot {
    CameraDevice* Owner;
    PURB Urb;
    PIRP Irp;
    PMDL PartialMdl;
    LONG Completed;  // 0 in flight, non-zero once the completion routine ran
};
