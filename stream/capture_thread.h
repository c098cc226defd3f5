// The capture thread and the exchange of raw frames: one system thread per
// running pin captures into two alternating raw buffers, and the pin's
// process dispatch converts the newest full one.
#pragma once

#include "driver/camera_device.h"

// Raw buffer states, and the exchange between the capture thread (which
// fills) and the process dispatch (which converts):
//
//            capture thread picks it          CaptureFrame ok
//   Free(0) ------------------------> Filling(1) ---------------> Full(2)
//     ^  ^                              |   ^                     |  |
//     |  +------- capture failed -------+   +-- overwritten: -----+  |
//     |                                         the other buffer     |
//     |                                         is not free and this |
//     |                                         one not converting   |
//     |                                         (a frame dropped)    |
//     +--------- converted ---------- Converting(3) <-- process -----+
//                                                       call takes it
//                                                       (A before B)
//
// Each buffer keeps the picture number of the frame it holds; the image
// buffer takes the number of the frame converted into it.
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
    // The picture numbers of the frames in RawA and RawB, and of the frame
    // last converted into ImageBuffer.
    ULONG NumberA;
    ULONG NumberB;
    ULONG ImageNumber;
    // Frames of this run that no client will see: overwritten before they
    // were converted, or converted with no client frame to take them.
    LONG DropCount;
    // The thread waits for this before its first capture, so a thread whose
    // object could not be referenced can be told to end at once.
    KEVENT ThreadGo;
};

NTSTATUS StartStreaming(CameraDevice* camera);
// Fails when the thread cannot be created or referenced; nothing runs then.
NTSTATUS StartCaptureThread(CaptureThreadState* state);
void StopCaptureThread(CaptureThreadState* state);
void ReleaseStreamingBuffers(CaptureThreadState* state);
BOOLEAN CaptureInto(CaptureThreadState* state, PUCHAR buffer);
BOOLEAN ConvertReadyFrame(CaptureThreadState* state);
// The state of the buffer the capture thread fills next (under BufferLock).
LONG* PickBufferToFill(CaptureThreadState* state);
// Allocates a zeroed record with its event and lock set up; null when out of pool.
CaptureThreadState* AllocateCaptureThreadState(CameraDevice* camera);
