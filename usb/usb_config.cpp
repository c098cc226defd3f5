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
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
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

}  // namespace

NTSTATUS CameraDevice::SubmitUrb(PURB urb) { return CallLower(NextDeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

NTSTATUS CameraDevice::ProbeDeviceDescriptor() {
    auto* urb = AllocateUsb<URB>(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    auto* buffer = AllocateUsb<UCHAR>(sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != nullptr && buffer != nullptr) {
        FillDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof(USB_DEVICE_DESCRIPTOR));
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
    FillDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    status = SubmitUrb(urb);
    if (NT_SUCCESS(status)) {
        // The descriptor comes from the device: a header that did not arrive
        // whole, or whose total length cannot even hold itself, is refused
        // before anything in it is used.
        USHORT total = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(header)->wTotalLength;
        bool whole = urb->UrbControlDescriptorRequest.TransferBufferLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR);
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
            if (NT_SUCCESS(status) && (urb->UrbControlDescriptorRequest.TransferBufferLength != total ||
                                       static_cast<USB_CONFIGURATION_DESCRIPTOR*>(full)->wTotalLength != total))
                status = STATUS_DEVICE_DATA_ERROR;
            if (!NT_SUCCESS(status)) {
                FreeUsb(full);
            } else {
                ConfigurationDescriptor = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(full);
                status = SelectConfiguration(ConfigurationDescriptor);
                // A start that fails here never reaches a stop: nothing the
                // failed configuration kept may outlive it.
                if (!NT_SUCCESS(status)) {
                    for (PVOID* kept : {reinterpret_cast<PVOID*>(&ConfigurationDescriptor),
                                        reinterpret_cast<PVOID*>(&InterfaceInfo), reinterpret_cast<PVOID*>(&PipeAbortFlags)})
                        FreeUsb(*kept);
                }
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
    auto* list = AllocateUsb<USBD_INTERFACE_LIST_ENTRY>((n + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(list, 0, (n + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    ULONG found = 0;
    // Interface numbers are 8 bits: nothing lies beyond 255.
    for (LONG k = 0; k <= 255 && found < n; ++k) {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, k, 0, -1, -1, -1);
        if (d != nullptr) list[found++] = {d, nullptr};
    }
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == nullptr) {
        PVOID l = list;
        FreeUsb(l);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    USBD_INTERFACE_INFORMATION* first = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i) first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    NTSTATUS status = SubmitUrb(urb);
    if (NT_SUCCESS(status)) {
        InterfaceInfo = AllocateUsb<USBD_INTERFACE_INFORMATION>(first->Length);
        if (InterfaceInfo == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
            std::memcpy(InterfaceInfo, first, first->Length);
        if (first->NumberOfPipes != 0) {
            PipeAbortFlags = AllocateUsb<UCHAR>(first->NumberOfPipes);
            if (PipeAbortFlags == nullptr)
                status = STATUS_INSUFFICIENT_RESOURCES;
            else
                std::memset(PipeAbortFlags, 0, first->NumberOfPipes);
        }
    }
    PVOID l = list;
    FreeUsb(l);
    ExFreePool(urb);  // USBD's block: freed as USBD allocated it
    return status;
}

void CameraDevice::DeconfigureDevice() {
    PVOID p = ConfigurationDescriptor;
    FreeUsb(p);
    ConfigurationDescriptor = nullptr;
    p = InterfaceInfo;
    FreeUsb(p);
    InterfaceInfo = nullptr;
    p = PipeAbortFlags;
    FreeUsb(p);
    PipeAbortFlags = nullptr;
    auto* urb = AllocateUsb<URB>(sizeof(_URB_SELECT_CONFIGURATION));
    if (urb == nullptr) return;
    std::memset(urb, 0, sizeof(_URB_SELECT_CONFIGURATION));
    urb->UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    SubmitUrb(urb);
    p = urb;
    FreeUsb(p);
}

NTSTATUS CameraDevice::ResetPortIfDisabled() {
    ULONG port = 0;
    NTSTATUS status = CallLower(NextDeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
    if (!NT_SUCCESS(status)) return status;
    if ((port & USBD_PORT_ENABLED) || !(port & USBD_PORT_CONNECTED)) return status;
    return CallLower(NextDeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

void CameraDevice::CancelFrameRequests() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&TransferLock);
    if (TransferSlots == nullptr) {
        KeReleaseSpinLock(&TransferLock, irql);
        return;
    }
    for (LONG i = 0; i < TransferSlotCount; ++i) {
        TransferSlot& slot = TransferSlots[i];
        if (ReadAcquire(&slot.Completed) == 0 && slot.Irp != nullptr) IoCancelIrp(slot.Irp);
    }
    // The wait counts the requests that really reached the bus: after a
    // failed submission there are fewer of them than slots, and the count of
    // completions would never reach the slot count.
    LONG submitted = ReadAcquire(&TransferSubmitted);
    if (submitted < ReadAcquire(&TransferSlotCount)) {
        InterlockedExchange(&TransferSlotCount, submitted);
        if (ReadAcquire(&TransferDoneCount) >= submitted) KeSetEvent(&TransferEvent, 1, FALSE);
    }
    KeReleaseSpinLock(&TransferLock, irql);
    // Wait even when every slot already reads completed: the last completion
    // routine may still be finishing with its request, and it signals the
    // event only when it is done with it.
    if (submitted > 0) KeWaitForSingleObject(&TransferEvent, Suspended, KernelMode, FALSE, nullptr);
}

void CameraDevice::AbortPipes() {
    if (InterfaceInfo == nullptr || PipeAbortFlags == nullptr) return;
    for (ULONG i = 0; i < InterfaceInfo->NumberOfPipes; ++i) {
        if (PipeAbortFlags[i] == 0) continue;
        auto* urb = AllocateUsb<URB>(sizeof(_URB_PIPE_REQUEST));
        if (urb == nullptr) return;
        std::memset(urb, 0, sizeof(_URB_PIPE_REQUEST));
        urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb->UrbPipeRequest.PipeHandle = InterfaceInfo->Pipes[i].PipeHandle;
        if (NT_SUCCESS(SubmitUrb(urb))) PipeAbortFlags[i] = 0;
        PVOID p = urb;
        FreeUsb(p);
    }
}

void CameraDevice::CancelTransfer() { CancelFrameRequests(); }
