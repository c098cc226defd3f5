// The capture thread and the exchange of raw frames: one system thread per
// running pin captures into two alternating raw buffers, and the pin's
// process dispatch converts the newest full one.
#pragma once

#include "driver/camera_device.h"

// Raw buffer states.
enum : LONG { RawFree = 0, RawFilling = 1, RawFull = 2, RawConverting = 3 };
// Thread record states.
enum : LONG { CaptureIdle = 0, CapturePaused = 1, CaptureRunning = 2 };

struct CaptureThreadState {
    ImageProcessor* Processor;
    PUCHAR ImageBuffer;
    LONG State;
    KEVENT BufferDone;
    PVOID Thread;
    LONG Converting;
    LONG StateA;
    LONG StateB;
    PUCHAR RawA;
    PUCHAR RawB;
    BOOLEAN Run;
    LONG FramesCaptured;
    CameraDevice* Camera;
    // Guards StateA, StateB and the Run test that starts a conversion, which
    // the capture thread and the process dispatch share.
    KSPIN_LOCK BufferLock;
};

NTSTATUS StartStreaming(CameraDevice* camera);
void StartCaptureThread(CaptureThreadState* state);
void StopCaptureThread(CaptureThreadState* state);
void ReleaseStreamingBuffers(CaptureThreadState* state);
BOOLEAN CaptureInto(CaptureThreadState* state, PUCHAR buffer);
BOOLEAN ConvertReadyFrame(CaptureThreadState* state);
// Allocates a zeroed record with its event and lock set up; null when out of pool.
CaptureThreadState* AllocateCaptureThreadState(CameraDevice* camera);
