// Frame transfer: one raw frame read from the frame pipe as 82 bulk
// requests queued at once, framed by the transfer markers, waited for as a
// whole under the frame time-out, then put into image line order.
#include "usb/frame_transfer.h"

#include <cstring>

#include "driver/camera_device.h"
#include "platform/kernel/pool.h"
#include "usb/command_codes.h"

LONG frameTimeoutMs = kDefaultFrameTimeoutMs;
LONG drainQuietMs = kDefaultDrainQuietMs;

// Before the frame, the frame pipe is drained when it may hold bytes that are
// not this frame's: after a frame given up (the camera may still be sending
// its rest), and before the first frame after a configuration, since whoever
// had the camera before (another program, a capture that was killed) may
// have asked for a frame and gone without reading it. Read as this frame's
// start, those bytes would shift every line of it, unnoticed.
void CameraDevice::CaptureFrame(PUCHAR buffer, BOOLEAN* ok) {
    *ok = TRUE;
    if (ReadAcquire(&FramePipeUnsettled) != 0) DrainFramePipe(buffer);
    std::memset(&CaptureCommand, 0, sizeof CaptureCommand);
    CaptureCommand.Bytes[0] = CmdTransferBegin;
    ULONG moved = 0;
    TransferBlock(CommandPipe, CaptureCommand.Bytes, &moved, TRUE);
    if (ReadFrame(RawFrameSize, buffer) == STATUS_SUCCESS)
        ReorderFrameLines(buffer);
    else
        *ok = FALSE;
}

// A frame's requests, and who may touch them when:
//
//   capture thread                 completion routine        StopTransfers or
//   --------------                 ------------------        CancelTransfer
//   lock: slots, counts,                                     (any thread)
//     Frames += 1, Outstanding
//     = 1, reset
//   begin marker
//   lock: per request                                        lock: Aborted = 1
//     Outstanding += 1, submit     Completed = 1               (stop) or Frame-
//   end marker                     DoneCount += 1              Cancelled = 1,
//   Waiting = 1; wait Event <----- = n: set Event  <---------  cancel what is
//   Waiting = 0                    Outstanding -= 1            with the bus, set
//   (cancel,) Outstanding -= 1     = 0: set Idle ---------+    Event if Waiting
//   wait Idle  <-------------------------+                |
//   lock: slots freed                                     +--> CancelTransfer
//                                                              returns
//
// After its decrement of Outstanding a completion routine touches nothing
// of the frame, so once Outstanding is 0 the slots can go.
NTSTATUS CameraDevice::ReadFrame(ULONG length, PUCHAR buffer) {
    const USBD_INTERFACE_INFORMATION* info = Interface();
    if (info == nullptr) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
    const USBD_PIPE_INFORMATION* pipe = &info->Pipes[FramePipe];
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt)
        return STATUS_INVALID_PARAMETER;
    if (pipe->PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
    const BOOLEAN in = (pipe->EndpointAddress & 0x80) != 0;
    const ULONG n = (length >> 16) + ((length & 0xFFFF) != 0 ? 1 : 0);

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    if (ReadAcquire(&TransferAborted) != 0) {
        KeReleaseSpinLock(&TransferLock, irql);
        return STATUS_CANCELLED;
    }
    const SIZE_T slotBytes = (static_cast<SIZE_T>(n) + 1) * sizeof(TransferSlot);
    TransferSlots =
        static_cast<TransferSlot*>(ExAllocatePoolWithTag(NonPagedPool, slotBytes, USB_TAG));
    if (TransferSlots == nullptr) {
        KeReleaseSpinLock(&TransferLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(TransferSlots, 0, slotBytes);
    InterlockedExchange(&TransferDoneCount, 0);
    InterlockedExchange(&TransferSlotCount, static_cast<LONG>(n));
    InterlockedExchange(&TransferErrors, 0);
    InterlockedExchange(&FrameCancelled, 0);
    InterlockedIncrement(&TransferFrames);
    FrameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (FrameMdl == nullptr) {
        ExFreePoolWithTag(TransferSlots, USB_TAG);
        TransferSlots = nullptr;
        KeReleaseSpinLock(&TransferLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(FrameMdl);
    InterlockedExchange(&TransferOutstanding, 1);
    KeResetEvent(&TransferIdle);
    KeResetEvent(&TransferEvent);
    KeReleaseSpinLock(&TransferLock, irql);

    SendTransferMarker(FALSE);

    NTSTATUS submission = STATUS_SUCCESS;
    bool outOfMemory = false;
    irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    ULONG queued = 0;
    auto* base = static_cast<PUCHAR>(MmGetMdlVirtualAddress(FrameMdl));
    for (ULONG i = 0; i < n && queued < length; ++i) {
        // Stopped or cancelled before or during the begin marker: nothing is
        // queued.
        if (ReadAcquire(&TransferAborted) != 0 || ReadAcquire(&FrameCancelled) != 0) {
            submission = STATUS_CANCELLED;
            break;
        }
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(NextDeviceObject->StackSize + 1), FALSE);
        PMDL partial = irp != nullptr
                           ? IoAllocateMdl(base, MmGetMdlByteCount(FrameMdl), FALSE, FALSE, irp)
                           : nullptr;
        PURB urb = nullptr;
        if (partial != nullptr) {
            ULONG chunk = length - queued < FrameChunkSize ? length - queued : FrameChunkSize;
            IoBuildPartialMdl(FrameMdl, partial, base + queued, chunk);
            queued += chunk;
            urb = BuildFrameUrb(irp, pipe, in);
        }
        if (urb == nullptr) {
            // Nothing of this request reached the bus: give its pieces back
            // here; the requests already queued are cancelled below.
            if (partial != nullptr) IoFreeMdl(partial);
            if (irp != nullptr) IoFreeIrp(irp);
            outOfMemory = true;
            break;
        }
        TransferSlot& slot = TransferSlots[i];
        slot.Owner = this;
        slot.Urb = urb;
        slot.Irp = irp;
        slot.PartialMdl = partial;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, OnFrameRequestComplete, &slot, TRUE, TRUE, TRUE);
        InterlockedIncrement(&TransferOutstanding);
        if (IofCallDriver(NextDeviceObject, irp) < 0) {
            submission = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
    }
    const bool wait = !outOfMemory && submission != STATUS_CANCELLED;
    if (wait) InterlockedExchange(&TransferWaiting, 1);
    KeReleaseSpinLock(&TransferLock, irql);

    if (!wait) {
        CancelFrameRequests();
        FreeFrameRequests();
        return outOfMemory ? STATUS_INSUFFICIENT_RESOURCES : submission;
    }

    SendTransferMarker(TRUE);

    if (!NT_SUCCESS(submission)) ResetFramePipe();

    LARGE_INTEGER timeout = RelativeMilliseconds(FrameTimeoutMs());
    NTSTATUS result = STATUS_SUCCESS;
    const bool timedOut = KeWaitForSingleObject(&TransferEvent, Suspended, KernelMode, FALSE,
                                                &timeout) == STATUS_TIMEOUT;
    irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    InterlockedExchange(&TransferWaiting, 0);
    KeReleaseSpinLock(&TransferLock, irql);
    if (timedOut) {
        result = STATUS_TIMEOUT;
    } else if (ReadAcquire(&TransferAborted) != 0 || ReadAcquire(&FrameCancelled) != 0) {
        result = STATUS_CANCELLED;  // woken by StopTransfers or CancelTransfer
    } else if (ReadAcquire(&TransferErrors) != 0) {
        // A request that failed or came back short leaves a hole in the
        // frame: it is not delivered as a good one, and the first such
        // request ends the wait.
        result = STATUS_DEVICE_DATA_ERROR;
    } else if (ReadAcquire(&TransferDoneCount) < ReadAcquire(&TransferSlotCount)) {
        result = STATUS_CANCELLED;
    }
    if (result == STATUS_SUCCESS) {
        DrainFrameRequests();
    } else {
        CancelFrameRequests();
        // The camera was told to send this frame: what it still sends of it
        // must not open the next one.
        InterlockedExchange(&FramePipeUnsettled, 1);
    }
    FreeFrameRequests();
    // A halted frame pipe fails every later read until it is cleared.
    if (ReadAcquire(&TransferHalted) != 0) ResetFramePipe();
    return result;
}

void CameraDevice::DrainFrameRequests() {
    if (InterlockedDecrement(&TransferOutstanding) != 0)
        KeWaitForSingleObject(&TransferIdle, Suspended, KernelMode, FALSE, nullptr);
    else
        KeSetEvent(&TransferIdle, 1, FALSE);  // for a CancelTransfer that waits
}

BOOLEAN CameraDevice::ResetPipe(ULONG pipe, BOOLEAN capturePath) {
    const USBD_INTERFACE_INFORMATION* info = Interface();
    if (info == nullptr || pipe >= info->NumberOfPipes) return FALSE;
    auto* reset =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), USB_TAG));
    if (reset == nullptr) return FALSE;
    std::memset(reset, 0, sizeof(_URB_PIPE_REQUEST));
    reset->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    reset->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset->UrbPipeRequest.PipeHandle = info->Pipes[pipe].PipeHandle;
    NTSTATUS s = SubmitBounded(IOCTL_INTERNAL_USB_SUBMIT_URB, reset, capturePath);
    ExFreePoolWithTag(reset, USB_TAG);
    if (!NT_SUCCESS(s) || s == STATUS_TIMEOUT) return FALSE;
    InterlockedExchange(&CommandPipeWedged, 0);  // the camera answers again
    return TRUE;
}

void CameraDevice::ResetFramePipe() {
    const USBD_INTERFACE_INFORMATION* info = Interface();
    if (info == nullptr || info->NumberOfPipes < 3) return;
    if (ResetPipe(FramePipe, TRUE)) {
        InterlockedExchange(&TransferHalted, 0);
        return;
    }
    ResetPortIfDisabled();
}

// Not with the frame's own requests: those fill a frame as it comes and
// cannot tell one frame's tail from the next frame's start. Each drain read
// waits only for a short quiet spell, since a camera that is still sending
// sends without pause. What is left of a frame is less than a frame, but it
// may come as slowly as the frame that was given up: the drain goes on for
// up to a frame's bytes and three frame time-outs, so a camera that never
// stops talking cannot hold the capture thread. The pipe counts as settled
// only when a read finds it quiet: a drain cut short by a stop, a failure or
// its bound leaves the rest for the next frame's drain. Each read that
// brings data counts as the transfer's progress, so a stop lets a drain
// that is still flowing finish.
void CameraDevice::DrainFramePipe(PUCHAR scratch) {
    InterlockedExchange(&LastDrainBytes, 0);
    const USBD_INTERFACE_INFORMATION* info = Interface();
    if (info == nullptr || info->NumberOfPipes < 3) return;
    ResetFramePipe();
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[FramePipe];
    if (scratch == nullptr || pipe.PipeHandle == nullptr || (pipe.EndpointAddress & 0x80) == 0)
        return;
    const ULONGLONG deadline = KeQueryInterruptTime() + 3ULL * FrameTimeoutMs() * 10000;
    LONG drained = 0;
    while (ReadAcquire(&TransferAborted) == 0 && KeQueryInterruptTime() < deadline &&
           drained < static_cast<LONG>(RAW_FRAME_SIZE)) {
        PURB urb = AllocateBulkUrb(pipe.PipeHandle, TRUE, scratch, nullptr, FrameChunkSize);
        if (urb == nullptr) break;
        const NTSTATUS s = SubmitBounded(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, TRUE, DrainQuietMs());
        const USBD_STATUS u = urb->UrbHeader.Status;
        const ULONG got = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        ExFreePoolWithTag(urb, USB_TAG);
        if (got <= FrameChunkSize && drained <= MAXLONG - static_cast<LONG>(got))
            drained += static_cast<LONG>(got);
        if (got != 0) InterlockedIncrement(&TransferProgress);
        if (s == STATUS_TIMEOUT) {
            if (got == 0 && ReadAcquire(&TransferAborted) == 0) {
                // quiet: the pipe is at a frame boundary
                InterlockedExchange(&FramePipeUnsettled, 0);
                break;
            }
            continue;
        }
        if (!NT_SUCCESS(s)) {
            if (PipeHaltedBy(u)) ResetFramePipe();
            break;
        }
    }
    InterlockedExchange(&LastDrainBytes, drained);
}

PURB CameraDevice::BuildFrameUrb(PIRP irp, const USBD_PIPE_INFORMATION* pipe, BOOLEAN directionIn) {
    PMDL mdl = irp->MdlAddress;
    return AllocateBulkUrb(pipe->PipeHandle, directionIn, nullptr, mdl,
                           mdl != nullptr ? MmGetMdlByteCount(mdl) : 0);
}

namespace {
// A read that ended like this leaves the endpoint halted until it is reset.
bool HaltsThePipe(USBD_STATUS s) {
    return PipeHaltedBy(s) || s == USBD_STATUS_XACT_ERROR || s == USBD_STATUS_DEV_NOT_RESPONDING;
}
}  // namespace

NTSTATUS CameraDevice::OnFrameRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp == nullptr) return STATUS_SUCCESS;
    auto* slot = static_cast<TransferSlot*>(context);
    if (slot == nullptr || slot->Owner == nullptr || slot->Irp != irp) return irp->IoStatus.Status;
    CameraDevice* owner = slot->Owner;
    NTSTATUS status = irp->IoStatus.Status;
    const auto& urb = slot->Urb->UrbBulkOrInterruptTransfer;
    ULONG received = status >= 0 ? urb.TransferBufferLength : 0;
    irp->IoStatus.Information = received;
    const bool hole = status < 0 || received < MmGetMdlByteCount(slot->PartialMdl);
    if (hole) InterlockedIncrement(&owner->TransferErrors);
    if (HaltsThePipe(urb.Hdr.Status)) InterlockedExchange(&owner->TransferHalted, 1);
    // The slot is marked before the count: once the count is up the waiter
    // may be on its way to free the slots, so from here on only the device
    // is touched.
    InterlockedIncrement(&slot->Completed);
    InterlockedIncrement(&owner->TransferProgress);
    LONG m = InterlockedIncrement(&owner->TransferDoneCount);
    // A hole spoils the frame: waiting for the rest of it would only spend
    // the frame time-out.
    if (m >= ReadAcquire(&owner->TransferSlotCount) || hole)
        KeSetEvent(&owner->TransferEvent, 1, FALSE);
    if (InterlockedDecrement(&owner->TransferOutstanding) == 0)
        KeSetEvent(&owner->TransferIdle, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CameraDevice::SendTransferMarker(BOOLEAN after) {
    const USBD_INTERFACE_INFORMATION* info = Interface();
    if (info == nullptr || info->NumberOfPipes == 0) return;
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[CommandPipe];
    if (pipe.PipeHandle == nullptr) return;
    PipeCommand.Bytes[0] = after ? CmdTransferEnd : CmdTransferBegin;
    PURB urb = AllocateBulkUrb(pipe.PipeHandle, (pipe.EndpointAddress & 0x80) != 0,
                               PipeCommand.Bytes, nullptr, 64);
    if (urb == nullptr) return;
    // Bounded: a camera that stops taking commands must not hold the
    // capture thread, and with it the pin's stop, for ever.
    SubmitBounded(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, TRUE);
    ExFreePoolWithTag(urb, USB_TAG);
}

void CameraDevice::FreeFrameRequests() {
    // Taken off the device under the lock, so CancelTransfer finds either
    // this frame's slots or none; freed outside it.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    TransferSlot* slots = TransferSlots;
    PMDL frameMdl = FrameMdl;
    TransferSlots = nullptr;
    FrameMdl = nullptr;
    const LONG count = ReadAcquire(&TransferSlotCount);
    KeReleaseSpinLock(&TransferLock, irql);
    if (slots != nullptr) {
        for (LONG i = 0; i < count; ++i) {
            TransferSlot& slot = slots[i];
            if (slot.Irp != nullptr) {
                IoFreeIrp(slot.Irp);
                slot.Irp = nullptr;
            }
            if (slot.PartialMdl != nullptr) {
                IoFreeMdl(slot.PartialMdl);
                slot.PartialMdl = nullptr;
            }
            if (slot.Urb != nullptr) {
                ExFreePoolWithTag(slot.Urb, USB_TAG);
                slot.Urb = nullptr;
            }
        }
        ExFreePoolWithTag(slots, USB_TAG);
    }
    if (frameMdl != nullptr) IoFreeMdl(frameMdl);
}

void CameraDevice::ReorderFrameLines(PUCHAR buffer) {
    if (ReorderBuffer == nullptr) return;
    const size_t p = RawPitch;
    for (size_t k = 0; k < 960; ++k) {
        std::memcpy(ReorderBuffer + 2 * k * p, buffer + (5 + k) * p, p);
        std::memcpy(ReorderBuffer + (2 * k + 1) * p, buffer + (1019 + k) * p, p);
    }
    std::memcpy(buffer, ReorderBuffer, 1920 * p);
}
