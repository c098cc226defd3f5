// The capture thread, its run start and its stop handshake.
#include "stream/capture_thread.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"

namespace {

bool ReadRun(CaptureThreadState* s) {
    return std::atomic_ref<BOOLEAN>(s->Run).load() != 0;
}
void WriteRun(CaptureThreadState* s, bool run) {
    std::atomic_ref<BOOLEAN>(s->Run).store(run ? TRUE : FALSE);
}

void FreeBuffer(PUCHAR& p) {
    if (p != nullptr) {
        ExFreePoolWithTag(p, BUFFER_TAG);
        p = nullptr;
    }
}

void CaptureThreadRoutine(PVOID context) {
    auto* s = static_cast<CaptureThreadState*>(context);
    KeWaitForSingleObject(&s->ThreadGo, Executive, KernelMode, FALSE, nullptr);
    while (ReadRun(s)) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&s->BufferLock);
        const bool a = PickBufferToFill(s) == &s->StateA;
        LONG* state = a ? &s->StateA : &s->StateB;
        PUCHAR buffer = a ? s->RawA : s->RawB;
        ULONG* number = a ? &s->NumberA : &s->NumberB;
        if (*state == RawFull) InterlockedIncrement(&s->DropCount);
        *state = RawFilling;
        KeReleaseSpinLock(&s->BufferLock, irql);

        BOOLEAN ok = CaptureInto(s, buffer);

        irql = KeAcquireSpinLockRaiseToDpc(&s->BufferLock);
        // FrameCaptured, just below, numbers the frame it announces one past
        // the last; the number goes with the buffer before a process call can
        // take it.
        if (ok) *number = std::atomic_ref<ULONG>(s->Camera->FrameNumber).load() + 1;
        *state = ok ? RawFull : RawFree;
        KeReleaseSpinLock(&s->BufferLock, irql);
        if (ok) {
            if (!ReadRun(s)) break;
            s->Camera->FrameCaptured();
        } else {
            // A removed camera fails every capture at once; a short pause keeps
            // the retries from taking a whole processor.
            LARGE_INTEGER pause;
            pause.QuadPart = -5 * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// A free buffer first; else the full one not being converted. Taking a full
// buffer overwrites a frame nobody took: that frame is dropped.
LONG* PickBufferToFill(CaptureThreadState* s) {
    if (s->StateA == RawFree) return &s->StateA;
    if (s->StateB == RawFree) return &s->StateB;
    if (s->StateA != RawConverting) return &s->StateA;
    return &s->StateB;
}

CaptureThreadState* AllocateCaptureThreadState(CameraDevice* camera) {
    auto* s = static_cast<CaptureThreadState*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(CaptureThreadState), CAMERA_TAG));
    if (s == nullptr) return nullptr;
    std::memset(s, 0, sizeof *s);
    KeInitializeEvent(&s->BufferDone, NotificationEvent, FALSE);
    KeInitializeEvent(&s->ThreadGo, NotificationEvent, FALSE);
    KeInitializeSpinLock(&s->BufferLock);
    s->Camera = camera;
    return s;
}

void ReleaseStreamingBuffers(CaptureThreadState* s) {
    s->State = CaptureIdle;
    if (s->Processor != nullptr) {
        s->Processor->outputBuffer = nullptr;
        if (s->Processor->workBuffer != nullptr) {
            ExFreePoolWithTag(s->Processor->workBuffer, WORK_BUFFER_TAG);
            s->Processor->workBuffer = nullptr;
        }
    }
    FreeBuffer(s->ImageBuffer);
    FreeBuffer(s->RawA);
    FreeBuffer(s->RawB);
}

NTSTATUS StartStreaming(CameraDevice* camera) {
    camera->FrameNumber = 0;
    camera->ResetBayerPhase();
    if (camera->Processor != nullptr) SetBayerPhase(camera->Processor, camera->BayerPhase);
    const LONG w = camera->RoiW, h = camera->RoiH;
    CaptureThreadState* s = camera->Capture;
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InterlockedExchange(&s->Converting, 0);
    InterlockedExchange(&s->FramesCaptured, 0);
    InterlockedExchange(&s->DropCount, 0);
    // Fresh buffers hold nothing, whatever the last run left in the states.
    s->StateA = s->StateB = RawFree;
    s->NumberA = s->NumberB = s->ImageNumber = 0;
    s->Processor = camera->Processor;
    camera->PrepareCapture();
    ULONG size = 0;
    camera->GetRawFrameSize(&size);
    bool failed = false;
    if (size != 0) {
        s->RawA = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, BUFFER_TAG));
        s->RawB = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, BUFFER_TAG));
        failed = s->RawA == nullptr || s->RawB == nullptr;
    }
    s->ImageBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(
        NonPagedPool, static_cast<SIZE_T>(w) * static_cast<SIZE_T>(h) * 4, BUFFER_TAG));
    if (failed || s->ImageBuffer == nullptr) {
        FreeBuffer(s->ImageBuffer);
        FreeBuffer(s->RawA);
        FreeBuffer(s->RawB);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (s->Processor != nullptr) {
        SetGeometry(s->Processor, static_cast<ULONG>(w), static_cast<ULONG>(h));
        AllocateWorkingBuffer(s->Processor);
        s->Processor->outputBuffer = s->ImageBuffer;
        // Without a working buffer no frame could ever be converted: a run
        // that would deliver nothing fails instead.
        if (s->Processor->workBuffer == nullptr) {
            ReleaseStreamingBuffers(s);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    s->State = CaptureRunning;
    NTSTATUS status = StartCaptureThread(s);
    if (!NT_SUCCESS(status)) ReleaseStreamingBuffers(s);
    return status;
}

NTSTATUS StartCaptureThread(CaptureThreadState* s) {
    // A run after a pause starts on empty buffers: the frames they still
    // hold are lost, and counted, so every picture number the client does
    // not see is a counted drop. The frame the thread finished after it was
    // told to stop was never announced: it takes its number now, so the
    // numbers keep following the frames the camera sent.
    ULONG& announced = s->Camera->FrameNumber;
    for (auto [state, number] : {std::pair{s->StateA, s->NumberA}, {s->StateB, s->NumberB}}) {
        if (state != RawFull) continue;
        InterlockedIncrement(&s->DropCount);
        if (number > std::atomic_ref<ULONG>(announced).load())
            std::atomic_ref<ULONG>(announced).store(number);
    }
    s->StateA = RawFree;
    s->StateB = RawFree;
    s->Camera->ResumeTransfers();
    KeResetEvent(&s->ThreadGo);
    WriteRun(s, true);
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, CaptureThreadRoutine, s);
    if (NT_SUCCESS(status) && handle == nullptr) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &s->Thread, nullptr);
        ZwClose(handle);
        // A thread that cannot be waited for must not capture: it is let go
        // with Run clear and ends before touching a buffer.
        if (!NT_SUCCESS(status)) s->Thread = nullptr;
    }
    if (!NT_SUCCESS(status)) WriteRun(s, false);
    KeSetEvent(&s->ThreadGo, 1, FALSE);
    return status;
}

void StopCaptureThread(CaptureThreadState* s) {
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&s->BufferLock);
        WriteRun(s, false);
        KeReleaseSpinLock(&s->BufferLock, irql);
    }
    // Only flagged pipes are aborted and nothing flags one. A frame that is
    // arriving is let finish: cut short, its rest would stay in the camera
    // and have to be read away before the next run's first frame. A camera
    // that has been quiet for a while (stalled, or not taking commands) has
    // its frame cut short instead, so a stop never waits out the frame
    // time-out.
    s->Camera->AbortPipes();
    if (s->Thread != nullptr) {
        LONG seen = ReadAcquire(&s->Camera->TransferProgress);
        LARGE_INTEGER quiet;
        quiet.QuadPart = -200 * 10000LL;
        while (KeWaitForSingleObject(s->Thread, Executive, KernelMode, FALSE, &quiet) ==
               STATUS_TIMEOUT) {
            const LONG now = ReadAcquire(&s->Camera->TransferProgress);
            if (now == seen) {
                s->Camera->StopTransfers();
                break;
            }
            seen = now;
        }
        KeWaitForSingleObject(s->Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(s->Thread);
        s->Thread = nullptr;
    }
    KeResetEvent(&s->BufferDone);
    if (ReadAcquire(&s->Converting) != 0)
        KeWaitForSingleObject(&s->BufferDone, Executive, KernelMode, FALSE, nullptr);
}

BOOLEAN CaptureInto(CaptureThreadState* s, PUCHAR buffer) {
    if (s->State != CaptureRunning) return FALSE;
    BOOLEAN ok = FALSE;
    s->Camera->CaptureFrame(buffer, &ok);
    if (ok) InterlockedIncrement(&s->FramesCaptured);
    return ok;
}

BOOLEAN ConvertReadyFrame(CaptureThreadState* s) {
    PUCHAR taken = nullptr;
    LONG* state = nullptr;
    {
        // The Run test and Converting := 1 are one step against the stop, so
        // no conversion starts after the stop found Converting clear.
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&s->BufferLock);
        if (!ReadRun(s)) {
            KeReleaseSpinLock(&s->BufferLock, irql);
            return FALSE;
        }
        InterlockedExchange(&s->Converting, 1);
        if (s->StateA == RawFull) {
            taken = s->RawA, state = &s->StateA;
        } else if (s->StateB == RawFull) {
            taken = s->RawB, state = &s->StateB;
        }
        if (state != nullptr) *state = RawConverting;
        KeReleaseSpinLock(&s->BufferLock, irql);
    }
    if (taken == nullptr) return FALSE;
    BOOLEAN converted = FALSE;
    if (s->Processor != nullptr) {
        ULONG offset = 0, pitch = 0;
        CameraDevice* c = s->Camera;
        c->GetRawDataOffset(&offset);
        c->GetRawPitch(&pitch);
        ULONG start =
            static_cast<ULONG>(c->GetRoiY()) * pitch + static_cast<ULONG>(c->GetRoiX()) + offset;
        converted = ConvertFrame(s->Processor, taken, start, pitch);
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&s->BufferLock);
    if (converted) s->ImageNumber = state == &s->StateA ? s->NumberA : s->NumberB;
    *state = RawFree;
    KeReleaseSpinLock(&s->BufferLock, irql);
    // Nothing converted means nothing to deliver: the image buffer still
    // holds an older frame, or nothing at all.
    return converted;
}
