// What the pin tells a listener beside the driver about each frame it fills:
// the flips the frame was filled with and the raw window it was converted
// from. The host's client sets one to keep raw frames and to know each
// frame's row order as it was when the frame was filled, not as the flips
// are by the time the frame is read.
#pragma once

#include "platform/ks/ks_stream.h"

struct FilledFrame {
    BOOLEAN FlipH;
    BOOLEAN FlipV;
    // The window's raw samples, one byte a pixel, image rows in order,
    // RawStride bytes apart; valid only during the call.
    const UCHAR* Raw;
    ULONG RawWidth;
    ULONG RawHeight;
    LONG RawStride;
};

class FrameTap {
  public:
    // On the processing thread, for each frame filled with an image, before
    // it goes back to the client.
    virtual void Filled(const KSSTREAM_HEADER* frame, const FilledFrame& info) = 0;

  protected:
    ~FrameTap() = default;
};
