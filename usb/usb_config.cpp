// USB configuration and request submission: every request goes down to
// NextDeviceObject as an internal device I/O control request.
#include <cstring>

#include "driver/camera_device.h"
#include "platform/kernel/pool.h"
#include "platform/usb/usb_types.h"
#include "usb/frame_transfer.h"

namespace {

template <class T>
T* AllocateUsb(SIZE_T size) {
    return static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, size, USB_TAG));
}

void FreeUsb(PVOID& p) {
    if (p != nullptr) {
        ExFreePoolWithTag(p, USB_TAG);
        p = nullptr;
    }
}

// An internal request to the lower device, waited for without a time-out.
NTSTATUS CallLower(PDEVICE_OBJECT lower, ULONG code, PVOID argument) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

void FillDescriptorRequest(PURB urb, UCHAR type, PVOID buffer, ULONG length) {
    std::memset(urb, 0, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    auto& r = urb->UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.Index = 0;
    r.DescriptorType = type;
    r.LanguageId = 0;
}

NTSTATUS OnBoundedComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS CameraDevice::SubmitUrb(PURB urb) {
    return CallLower(NextDeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// The request is the driver's own, not a threaded one, so that on time-out
// or cancellation it can be cancelled and its completion awaited before it
// is freed.
NTSTATUS CameraDevice::SubmitBounded(ULONG code, PVOID argument, BOOLEAN capturePath,
                                     ULONG timeoutMs) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(NextDeviceObject->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, OnBoundedComplete, &done, TRUE, TRUE, TRUE);
    if (capturePath) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
        const bool aborted = ReadAcquire(&TransferAborted) != 0;
        if (!aborted) CaptureRequest = irp;
        KeReleaseSpinLock(&TransferLock, irql);
        if (aborted) {
            IoFreeIrp(irp);
            return STATUS_CANCELLED;
        }
    }
    IofCallDriver(NextDeviceObject, irp);
    LARGE_INTEGER timeout = RelativeMilliseconds(timeoutMs != 0 ? timeoutMs : FrameTimeoutMs());
    NTSTATUS status;
    if (KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        status = STATUS_TIMEOUT;
    } else {
        status = irp->IoStatus.Status;
    }
    if (capturePath) {
        // StopTransfers may cancel it until it is taken back here, never after.
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
        CaptureRequest = nullptr;
        KeReleaseSpinLock(&TransferLock, irql);
    }
    IoFreeIrp(irp);
    return status;
}

void CameraDevice::ResumeTransfers() {
    InterlockedExchange(&TransferAborted, 0);
}

NTSTATUS CameraDevice::ProbeDeviceDescriptor() {
    auto* urb = AllocateUsb<URB>(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    auto* buffer = AllocateUsb<UCHAR>(sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != nullptr && buffer != nullptr) {
        FillDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer,
                              sizeof(USB_DEVICE_DESCRIPTOR));
        status = SubmitUrb(urb);  // the descriptor itself is not used
    }
    PVOID u = urb, b = buffer;
    FreeUsb(u);
    FreeUsb(b);
    return status;
}

NTSTATUS CameraDevice::ConfigureDevice() {
    auto* urb = AllocateUsb<URB>(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    PVOID header = AllocateUsb<UCHAR>(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    if (urb == nullptr || header == nullptr) {
        PVOID u = urb;
        FreeUsb(u);
        FreeUsb(header);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status;
    FillDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                          sizeof(USB_CONFIGURATION_DESCRIPTOR));
    status = SubmitUrb(urb);
    if (NT_SUCCESS(status)) {
        // The descriptor comes from the device: a header that did not arrive
        // whole, or whose total length cannot even hold itself, is refused
        // before anything in it is used.
        USHORT total = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(header)->wTotalLength;
        bool whole = urb->UrbControlDescriptorRequest.TransferBufferLength >=
                     sizeof(USB_CONFIGURATION_DESCRIPTOR);
        FreeUsb(header);
        if (!whole || total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            status = STATUS_DEVICE_DATA_ERROR;
        } else if (PVOID full = AllocateUsb<UCHAR>(total); full == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            FillDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, full, total);
            status = SubmitUrb(urb);
            // The second read must be the descriptor the first one announced:
            // all of it, and claiming no more than the buffer holds.
            if (NT_SUCCESS(status) &&
                (urb->UrbControlDescriptorRequest.TransferBufferLength != total ||
                 static_cast<USB_CONFIGURATION_DESCRIPTOR*>(full)->wTotalLength != total))
                status = STATUS_DEVICE_DATA_ERROR;
            if (!NT_SUCCESS(status)) {
                FreeUsb(full);
            } else {
                ConfigurationDescriptor = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(full);
                status = SelectConfiguration(ConfigurationDescriptor);
                // A start that fails here never reaches a stop: nothing the
                // failed configuration kept may outlive it.
                if (!NT_SUCCESS(status)) ReleaseConfiguration();
            }
        }
    } else {
        FreeUsb(header);
    }
    PVOID u = urb;
    FreeUsb(u);
    return status;
}

NTSTATUS CameraDevice::SelectConfiguration(USB_CONFIGURATION_DESCRIPTOR* descriptor) {
    const ULONG n = descriptor->bNumInterfaces;
    auto* list =
        AllocateUsb<USBD_INTERFACE_LIST_ENTRY>((n + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(list, 0, (n + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    ULONG found = 0;
    // Interface numbers are 8 bits: nothing lies beyond 255.
    for (LONG k = 0; k <= 255 && found < n; ++k) {
        PUSB_INTERFACE_DESCRIPTOR d =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, k, 0, -1, -1, -1);
        if (d != nullptr) list[found++] = {d, nullptr};
    }
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == nullptr) {
        PVOID l = list;
        FreeUsb(l);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    USBD_INTERFACE_INFORMATION* first = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i)
        first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    NTSTATUS status = SubmitUrb(urb);
    if (NT_SUCCESS(status)) {
        auto* info = AllocateUsb<USBD_INTERFACE_INFORMATION>(first->Length);
        if (info == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            // Filled before it is published: a reader sees all of it or the
            // old one.
            std::memcpy(info, first, first->Length);
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&InterfaceInfo), info);
            // New pipes: a camera that took no commands before is tried again.
            InterlockedExchange(&CommandPipeWedged, 0);
            // Whoever had the camera before may have given a frame up and
            // left its rest in the camera: the first frame starts clean.
            InterlockedExchange(&FramePipeUnsettled, 1);
        }
        if (first->NumberOfPipes != 0) {
            auto* flags = AllocateUsb<UCHAR>(first->NumberOfPipes);
            if (flags == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                std::memset(flags, 0, first->NumberOfPipes);
                InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&PipeAbortFlags),
                                           flags);
            }
        }
    }
    PVOID l = list;
    FreeUsb(l);
    ExFreePool(urb);  // USBD's block: freed as USBD allocated it
    return status;
}

void CameraDevice::ReleaseConfiguration() {
    for (PVOID* kept :
         {reinterpret_cast<PVOID*>(&ConfigurationDescriptor),
          reinterpret_cast<PVOID*>(&InterfaceInfo), reinterpret_cast<PVOID*>(&PipeAbortFlags)})
        FreeUsb(*kept);
    FreeRetiredConfigurations();
}

struct RetiredConfiguration {
    RetiredConfiguration* Next;
    PVOID Blocks[3];
};

void CameraDevice::RetireConfiguration() {
    PVOID blocks[3] = {
        ConfigurationDescriptor, Interface(),
        ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&PipeAbortFlags))};
    if (blocks[0] == nullptr && blocks[1] == nullptr && blocks[2] == nullptr) return;
    // Without a record the blocks are dropped: a leak until removal is
    // better than a free under a reader.
    if (auto* r = AllocateUsb<RetiredConfiguration>(sizeof(RetiredConfiguration)); r != nullptr) {
        r->Next = RetiredConfigurations;
        std::memcpy(r->Blocks, blocks, sizeof blocks);
        RetiredConfigurations = r;
    }
    // The capture thread may be reading them: each reader takes one copy
    // of the pointer, which stays valid until the retired blocks are freed.
    for (PVOID* kept :
         {reinterpret_cast<PVOID*>(&ConfigurationDescriptor),
          reinterpret_cast<PVOID*>(&InterfaceInfo), reinterpret_cast<PVOID*>(&PipeAbortFlags)})
        InterlockedExchangePointer(kept, nullptr);
}

void CameraDevice::FreeRetiredConfigurations() {
    while (RetiredConfigurations != nullptr) {
        RetiredConfiguration* r = RetiredConfigurations;
        RetiredConfigurations = r->Next;
        for (PVOID& block : r->Blocks) FreeUsb(block);
        PVOID record = r;
        FreeUsb(record);
    }
}

void CameraDevice::DeconfigureDevice() {
    ReleaseConfiguration();
    auto* urb = AllocateUsb<URB>(sizeof(_URB_SELECT_CONFIGURATION));
    if (urb == nullptr) return;
    std::memset(urb, 0, sizeof(_URB_SELECT_CONFIGURATION));
    urb->UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    SubmitUrb(urb);
    PVOID p = urb;
    FreeUsb(p);
}

// Only the frame path calls it: both requests are bounded and cut short by
// StopTransfers, like every other request of the capture thread.
NTSTATUS CameraDevice::ResetPortIfDisabled() {
    ULONG port = 0;
    NTSTATUS status = SubmitBounded(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, TRUE);
    if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT) return status;
    if ((port & USBD_PORT_ENABLED) || !(port & USBD_PORT_CONNECTED)) return status;
    status = SubmitBounded(IOCTL_INTERNAL_USB_RESET_PORT, nullptr, TRUE);
    if (NT_SUCCESS(status) && status != STATUS_TIMEOUT) InterlockedExchange(&CommandPipeWedged, 0);
    return status;
}

// Cancels every request of the frame still with the bus and wakes the
// frame wait; TransferLock held.
void CameraDevice::CancelSubmittedFrameRequests() {
    if (TransferSlots == nullptr) return;
    for (LONG i = 0; i < TransferSlotCount; ++i) {
        TransferSlot& slot = TransferSlots[i];
        if (ReadAcquire(&slot.Completed) == 0 && slot.Irp != nullptr) IoCancelIrp(slot.Irp);
    }
    // Only while the thread is in its frame wait: once it has left it, it
    // resets the event for its own use.
    if (ReadAcquire(&TransferWaiting) != 0) KeSetEvent(&TransferEvent, 1, FALSE);
}

// The capture thread's own cancellation of its frame: every request still
// with the bus is cancelled, and it returns only when none is left there.
void CameraDevice::CancelFrameRequests() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    if (TransferSlots == nullptr) {
        KeReleaseSpinLock(&TransferLock, irql);
        return;
    }
    InterlockedExchange(&TransferWaiting, 0);
    CancelSubmittedFrameRequests();
    KeReleaseSpinLock(&TransferLock, irql);
    // The outstanding count, not TransferSlotCount, says when they are all
    // back: after a refused or aborted submission fewer requests exist than
    // slots.
    DrainFrameRequests();
}

void CameraDevice::AbortPipes() {
    const USBD_INTERFACE_INFORMATION* info = Interface();
    auto* flags = static_cast<PUCHAR>(
        ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&PipeAbortFlags)));
    if (info == nullptr || flags == nullptr) return;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        if (flags[i] == 0) continue;
        auto* urb = AllocateUsb<URB>(sizeof(_URB_PIPE_REQUEST));
        if (urb == nullptr) return;
        std::memset(urb, 0, sizeof(_URB_PIPE_REQUEST));
        urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb->UrbPipeRequest.PipeHandle = info->Pipes[i].PipeHandle;
        if (NT_SUCCESS(SubmitUrb(urb))) flags[i] = 0;
        PVOID p = urb;
        FreeUsb(p);
    }
}

// Camera operation slot 7, from any thread at any moment of a frame: it
// cancels the frame in progress (the requests it has with the bus, and any
// it has yet to queue) and returns once none of that frame's requests is
// left with the bus. Between frames there is nothing to cancel. It leaves
// the transfers running: the next frame goes ahead as usual.
void CameraDevice::CancelTransfer() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    if (TransferSlots == nullptr) {
        KeReleaseSpinLock(&TransferLock, irql);
        return;
    }
    const LONG frame = ReadAcquire(&TransferFrames);
    InterlockedExchange(&FrameCancelled, 1);
    CancelSubmittedFrameRequests();
    KeReleaseSpinLock(&TransferLock, irql);
    // TransferIdle was reset when this frame began; a later frame resets it
    // again, and begins only after every request of this one came back.
    LARGE_INTEGER poll = RelativeMilliseconds(10);
    while (KeWaitForSingleObject(&TransferIdle, Suspended, KernelMode, FALSE, &poll) ==
               STATUS_TIMEOUT &&
           ReadAcquire(&TransferFrames) == frame) {
    }
}

// The capture thread's stop, safe at any moment of a frame: it marks the
// transfers stopped (so the capture path sends nothing more), cancels
// whatever the capture thread has with the bus and wakes its frame wait.
void CameraDevice::StopTransfers() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    InterlockedExchange(&TransferAborted, 1);
    if (CaptureRequest != nullptr) IoCancelIrp(CaptureRequest);
    CancelSubmittedFrameRequests();
    KeReleaseSpinLock(&TransferLock, irql);
}
