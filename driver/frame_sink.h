// FrameSink: what the camera tells of every frame it captured. The capture
// pin is one; the camera knows no more of it than this one slot, so the
// device layer needs nothing of the streaming one.
#pragma once

class FrameSink {
  public:
    // Slot 0: a new frame is ready for processing.
    virtual void RequestProcessing() = 0;

  protected:
    // Never destroyed through this interface: the sink's owner frees it.
    ~FrameSink() = default;
};
