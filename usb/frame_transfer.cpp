// Frame transfer: one raw frame read from the frame pipe as 82 bulk
// requests queued at once, framed by the transfer markers, waited for as a
// whole under the frame time-out, then put into image line order.
#include "usb/frame_transfer.h"

#include <cstring>

#include "camera/camera_controls.h"
#include "driver/camera_device.h"
#include "platform/kernel/pool.h"
#include "usb/command_codes.h"

void CameraDevice::CaptureFrame(PUCHAR buffer, BOOLEAN* ok) {
    *ok = TRUE;
    std::memset(&CaptureCommand, 0, sizeof CaptureCommand);
    CaptureCommand.Bytes[0] = CmdTransferBegin;
    ULONG moved = 0;
    TransferBlock(CommandPipe, CaptureCommand.Bytes, &moved);
    if (ReadFrame(RawFrameSize, buffer) == STATUS_SUCCESS)
        ReorderFrameLines(buffer);
    else
        *ok = FALSE;
}

NTSTATUS CameraDevice::ReadFrame(ULONG length, PUCHAR buffer) {
    if (InterfaceInfo == nullptr) return STATUS_UNSUCCESSFUL;
    if (InterfaceInfo->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
    const USBD_PIPE_INFORMATION* pipe = &InterfaceInfo->Pipes[FramePipe];
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) return STATUS_INVALID_PARAMETER;
    if (pipe->PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
    const BOOLEAN in = (pipe->EndpointAddress & 0x80) != 0;
    const ULONG n = (length >> 16) + ((length & 0xFFFF) != 0 ? 1 : 0);

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    const SIZE_T slotBytes = (static_cast<SIZE_T>(n) + 1) * sizeof(TransferSlot);
    TransferSlots = static_cast<TransferSlot*>(ExAllocatePoolWithTag(NonPagedPool, slotBytes, USB_TAG));
    if (TransferSlots == nullptr) {
        KeReleaseSpinLock(&TransferLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(TransferSlots, 0, slotBytes);
    InterlockedExchange(&TransferDoneCount, 0);
    InterlockedExchange(&TransferSlotCount, static_cast<LONG>(n));
    InterlockedExchange(&TransferErrors, 0);
    InterlockedExchange(&TransferSubmitted, 0);
    FrameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (FrameMdl == nullptr) {
        ExFreePoolWithTag(TransferSlots, USB_TAG);
        TransferSlots = nullptr;
        KeReleaseSpinLock(&TransferLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(FrameMdl);
    KeResetEvent(&TransferEvent);
    KeReleaseSpinLock(&TransferLock, irql);

    SendTransferMarker(FALSE);

    NTSTATUS submission = STATUS_SUCCESS;
    bool outOfMemory = false;
    irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    ULONG queued = 0;
    auto* base = static_cast<PUCHAR>(MmGetMdlVirtualAddress(FrameMdl));
    for (ULONG i = 0; i < n && queued < length; ++i) {
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(NextDeviceObject->StackSize + 1), FALSE);
        PMDL partial = irp != nullptr ? IoAllocateMdl(base, MmGetMdlByteCount(FrameMdl), FALSE, FALSE, irp) : nullptr;
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
        InterlockedIncrement(&TransferSubmitted);
        if (IofCallDriver(NextDeviceObject, irp) < 0) {
            submission = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
    }
    KeReleaseSpinLock(&TransferLock, irql);

    if (outOfMemory) {
        CancelFrameRequests();
        FreeFrameRequests();
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    SendTransferMarker(TRUE);

    if (!NT_SUCCESS(submission)) {
        auto* reset = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), USB_TAG));
        NTSTATUS s = STATUS_INSUFFICIENT_RESOURCES;
        if (reset != nullptr) {
            std::memset(reset, 0, sizeof(_URB_PIPE_REQUEST));
            reset->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
            reset->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
            reset->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
            s = SubmitUrb(reset);
            ExFreePoolWithTag(reset, USB_TAG);
        }
        if (!NT_SUCCESS(s)) ResetPortIfDisabled();
    }

    LARGE_INTEGER timeout = RelativeMilliseconds(FrameTimeoutMs());
    NTSTATUS result = STATUS_SUCCESS;
    if (KeWaitForSingleObject(&TransferEvent, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        CancelFrameRequests();
        result = STATUS_TIMEOUT;
    } else if (ReadAcquire(&TransferErrors) != 0) {
        // A request that failed or came back short leaves a hole in the
        // frame: it is not delivered as a good one.
        result = STATUS_DEVICE_DATA_ERROR;
    }
    FreeFrameRequests();
    return result;
}

PURB CameraDevice::BuildFrameUrb(PIRP irp, const USBD_PIPE_INFORMATION* pipe, BOOLEAN directionIn) {
    PMDL mdl = irp->MdlAddress;
    return AllocateBulkUrb(pipe->PipeHandle, directionIn, nullptr, mdl, mdl != nullptr ? MmGetMdlByteCount(mdl) : 0);
}

NTSTATUS CameraDevice::OnFrameRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp == nullptr) return STATUS_SUCCESS;
    auto* slot = static_cast<TransferSlot*>(context);
    if (slot == nullptr || slot->Owner == nullptr || slot->Irp != irp) return irp->IoStatus.Status;
    CameraDevice* owner = slot->Owner;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG received = status >= 0 ? slot->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    irp->IoStatus.Information = received;
    if (status < 0 || received < MmGetMdlByteCount(slot->PartialMdl)) InterlockedIncrement(&owner->TransferErrors);
    LONG m = InterlockedIncrement(&owner->TransferDoneCount);
    InterlockedIncrement(&slot->Completed);
    // Everything of this request is done before the event: the waiter frees
    // the request as soon as it wakes.
    if (m >= ReadAcquire(&owner->TransferSlotCount)) KeSetEvent(&owner->TransferEvent, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CameraDevice::SendTransferMarker(BOOLEAN after) {
    if (InterfaceInfo == nullptr || InterfaceInfo->NumberOfPipes == 0) return;
    const USBD_PIPE_INFORMATION& pipe = InterfaceInfo->Pipes[CommandPipe];
    if (pipe.PipeHandle == nullptr) return;
    PipeCommand.Bytes[0] = after ? CmdTransferEnd : CmdTransferBegin;
    PURB urb = AllocateBulkUrb(pipe.PipeHandle, (pipe.EndpointAddress & 0x80) != 0, PipeCommand.Bytes, nullptr, 64);
    if (urb == nullptr) return;
    SubmitUrb(urb);
    ExFreePoolWithTag(urb, USB_TAG);
}

void CameraDevice::FreeFrameRequests() {
    if (TransferSlots != nullptr) {
        for (LONG i = 0; i < TransferSlotCount; ++i) {
            TransferSlot& slot = TransferSlots[i];
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
        ExFreePoolWithTag(TransferSlots, USB_TAG);
        TransferSlots = nullptr;
    }
    if (FrameMdl != nullptr) {
        IoFreeMdl(FrameMdl);
        FrameMdl = nullptr;
    }
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
