// IRP flow: IofCallDriver moves down one stack location and calls the
// device's dispatch; IoCompleteRequest walks back up, calling each completion
// routine in the completing thread, and stops when one returns
// STATUS_MORE_PROCESSING_REQUIRED.
#include "platform/kernel/io.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/bugcheck.h"
#include "platform/kernel/pool.h"

namespace {

constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kMdlTag = PoolTag("Mdl ");
std::atomic<size_t> liveIrps{0};
std::atomic<size_t> liveMdls{0};

ULONG PagesSpanned(const void* va, SIZE_T length) {
    auto start = reinterpret_cast<ULONG_PTR>(va);
    ULONG_PTR first = start / PAGE_SIZE;
    ULONG_PTR last = (start + (length == 0 ? 0 : length - 1)) / PAGE_SIZE;
    return static_cast<ULONG>(last - first + 1);
}

// The dispatch calls in progress on this thread, innermost last: whether
// the dispatch marked its IRP pending, or passed it on to a driver that
// returned STATUS_PENDING (whose own mark then stands for both).
struct DispatchFrame {
    PIRP irp;
    bool marked;
    bool passedOnPending;
};
thread_local std::vector<DispatchFrame> dispatchFrames;

std::string Hex(NTSTATUS s) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(s));
    return b;
}

// Read as IoSetCancelRoutine writes it: atomically, since a canceller may
// be exchanging it on another thread.
PDRIVER_CANCEL CancelRoutineOf(PIRP irp) {
    return std::atomic_ref<PDRIVER_CANCEL>(irp->CancelRoutine).load();
}

std::atomic_ref<BOOLEAN> CancelFlag(PIRP irp) {
    return std::atomic_ref<BOOLEAN>(irp->Cancel);
}
std::atomic_ref<LONG> InLower(PIRP irp) {
    return std::atomic_ref<LONG>(irp->NkInLowerDriver);
}

}  // namespace

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    if (stackSize < 1) stackSize = 1;
    SIZE_T bytes = sizeof(IRP) + sizeof(IO_STACK_LOCATION) * static_cast<SIZE_T>(stackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, bytes, kIrpTag));
    if (irp == nullptr) return nullptr;
    std::memset(irp, 0, bytes);
    irp->Size = static_cast<USHORT>(bytes);
    irp->Type = 6;  // IO_TYPE_IRP
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->NkStack = reinterpret_cast<IO_STACK_LOCATION*>(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = irp->NkStack + stackSize;
    ++liveIrps;
    return irp;
}

namespace {
void FreeIrp(PIRP irp) {
    if (InLower(irp).load() != 0)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "IRP freed while still pending in a lower driver");
    --liveIrps;
    ExFreePoolWithTag(irp, kIrpTag);
}
}  // namespace

void IoFreeIrp(PIRP irp) {
    if (irp == nullptr)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION, "IoFreeIrp(null)");
    if (irp->NkThreadIrp)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                         "IoFreeIrp of a threaded IRP (from IoBuildDeviceIoControlRequest): the "
                         "I/O manager frees it "
                         "when it completes");
    FreeIrp(irp);
}

void IoMarkIrpPending(PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    for (auto it = dispatchFrames.rbegin(); it != dispatchFrames.rend(); ++it)
        if (it->irp == irp) {
            it->marked = true;
            break;
        }
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->NkThreadIrp = TRUE;
    irp->UserEvent = event;
    irp->UserIosb = ioStatusBlock;
    irp->SystemBuffer = inputBuffer;
    irp->UserBuffer = outputBuffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    bool topLevel = irp->CurrentLocation == irp->StackCount + 1;
    if (irp->CurrentLocation <= 1)
        kernel::BugCheck(kernel::NO_MORE_IRP_STACK_LOCATIONS,
                         "IRP passed down with no stack location left");
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    if (CancelRoutineOf(irp) != nullptr)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                         "IRP passed to a lower driver with a cancel routine still set");
    if (irp->NkThreadIrp && topLevel) {
        kernel::RequireIrqlAtMost(
            PASSIVE_LEVEL, "sending a threaded IRP (its completion is delivered to this thread)");
        if (irp->UserEvent != nullptr) kernel::NoteThreadedRequest(irp->UserEvent, true);
    }
    if (topLevel) InLower(irp).store(1);
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    if (dispatch == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const KIRQL irql = KeGetCurrentIrql();
    dispatchFrames.push_back({irp, false, false});
    const NTSTATUS status = dispatch(device, irp);
    const DispatchFrame frame = dispatchFrames.back();
    dispatchFrames.pop_back();
    // The IRP may be complete and freed by now: only what was noted on the
    // way is looked at.
    if (KeGetCurrentIrql() != irql)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                         "IRQL changed across a dispatch routine");
    if (status == STATUS_PENDING && !frame.marked && !frame.passedOnPending)
        kernel::BugCheck(
            kernel::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
            "a dispatch routine returned STATUS_PENDING without marking the IRP pending");
    if (status != STATUS_PENDING && frame.marked)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                         "a dispatch routine marked the IRP pending and returned " + Hex(status));
    if (status == STATUS_PENDING && !dispatchFrames.empty() && dispatchFrames.back().irp == irp)
        dispatchFrames.back().passedOnPending = true;
    return status;
}

void IoCompleteRequest(PIRP irp, CCHAR) {
    if (irp->CurrentLocation > irp->StackCount)
        kernel::BugCheck(kernel::MULTIPLE_IRP_COMPLETE_REQUESTS, "IRP completed twice");
    if (CancelRoutineOf(irp) != nullptr)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                         "IRP completed with its cancel routine still set");
    if (irp->IoStatus.Status == STATUS_PENDING)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "IRP completed with STATUS_PENDING");
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        UCHAR control = stack->Control;
        PVOID context = stack->Context;
        stack->CompletionRoutine = nullptr;
        stack->Control = 0;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (CancelFlag(irp).load() && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            bool atTop = irp->CurrentLocation == irp->StackCount + 1;
            PDEVICE_OBJECT owner =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            // From here the routine's driver owns the IRP again and may free it
            // in another thread as soon as the routine has signalled anything.
            if (atTop) InLower(irp).store(0);
            // Completion routines may run at DISPATCH_LEVEL on the platform:
            // here they always do, so one that waits or pages is caught.
            KIRQL before;
            KeRaiseIrql(DISPATCH_LEVEL, &before);
            const NTSTATUS result = routine(owner, irp, context);
            KeLowerIrql(before);
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoGetCurrentIrpStackLocation(irp)->Control |=
                SL_PENDING_RETURNED;  // handed up, not a dispatch's mark
        }
    }
    InLower(irp).store(0);
    if (!irp->NkThreadIrp)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "an IRP from IoAllocateIrp completed to the top: its completion routine "
                         "must return STATUS_MORE_PROCESSING_REQUIRED");
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    FreeIrp(irp);
    if (event != nullptr) {
        kernel::NoteThreadedRequest(event, false);
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
    return std::atomic_ref<PDRIVER_CANCEL>(irp->CancelRoutine).exchange(routine);
}

static KSPIN_LOCK cancelLock = 0;

void IoAcquireCancelSpinLock(KIRQL* irql) {
    *irql = KeAcquireSpinLockRaiseToDpc(&cancelLock);
}
void IoReleaseCancelSpinLock(KIRQL irql) {
    KeReleaseSpinLock(&cancelLock, irql);
}

BOOLEAN IoCancelIrp(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    CancelFlag(irp).store(TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    return TRUE;
}

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (mdl == nullptr) return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    auto va = reinterpret_cast<ULONG_PTR>(virtualAddress);
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
    mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
    // Size records how many pages the MDL can describe, as the platform's
    // page array would.
    ULONG pages = PagesSpanned(virtualAddress, length);
    mdl->Size = static_cast<SHORT>(pages > 0x7FFF ? 0x7FFF : pages);
    if (irp != nullptr && !secondaryBuffer) irp->MdlAddress = mdl;
    ++liveMdls;
    return mdl;
}

void IoFreeMdl(PMDL mdl) {
    --liveMdls;
    ExFreePoolWithTag(mdl, kMdlTag);
}

void MmBuildMdlForNonPagedPool(PMDL mdl) {
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

void IoBuildPartialMdl(PMDL source, PMDL target, PVOID virtualAddress, ULONG length) {
    auto* sourceStart = static_cast<char*>(MmGetMdlVirtualAddress(source));
    auto* va = static_cast<char*>(virtualAddress);
    if (length == 0) length = static_cast<ULONG>(sourceStart + source->ByteCount - va);
    if (va < sourceStart || va + length > sourceStart + source->ByteCount)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "IoBuildPartialMdl range lies outside the source MDL");
    if (PagesSpanned(va, length) > static_cast<ULONG>(target->Size))
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "IoBuildPartialMdl target MDL is too small for the range");
    auto v = reinterpret_cast<ULONG_PTR>(va);
    target->StartVa = reinterpret_cast<PVOID>(v & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
    target->ByteOffset = static_cast<ULONG>(v & (PAGE_SIZE - 1));
    target->ByteCount = length;
    target->MdlFlags =
        static_cast<SHORT>(MDL_PARTIAL | (source->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
    target->MappedSystemVa = source->MappedSystemVa != nullptr ? static_cast<PVOID>(va) : nullptr;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG) {
    return mdl->MappedSystemVa;
}

namespace kernel {

size_t LiveIrps() {
    return liveIrps.load();
}
size_t LiveMdls() {
    return liveMdls.load();
}

PDRIVER_OBJECT CreateDriverObject(const char*) {
    auto* driver = new DRIVER_OBJECT{};
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    delete driver;
}

PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, CCHAR stackSize, PVOID extension) {
    auto* device = new DEVICE_OBJECT{};
    device->Type = 3;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = driver;
    device->StackSize = stackSize;
    device->DeviceExtension = extension;
    return device;
}

void DeleteDeviceObject(PDEVICE_OBJECT device) {
    delete device;
}

}  // namespace kernel
