// I/O manager stand-in: driver and device objects, IRPs with their stack
// locations, completion and cancellation, and MDLs.
#pragma once

#include "platform/kernel/sync.h"

struct IRP;
using PIRP = IRP*;
struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
struct DRIVER_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

constexpr CCHAR IO_NO_INCREMENT = 0;

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT device, PIRP irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp, PVOID context);

struct DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID DriverExtension;  // the class driver keeps its data here
    UNICODE_STRING DriverName;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    ULONG Flags;
    PVOID DeviceExtension;
    CCHAR StackSize;  // stack locations an IRP sent to this device needs
};

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

struct MDL {
    MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
using PMDL = MDL*;

constexpr SHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;
constexpr SHORT MDL_PARTIAL = 0x0010;
constexpr SHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
constexpr ULONG PAGE_SIZE = 4096;

// Parameters of a stack location. DeviceIoControl's members are pointer
// aligned as on the platform, so IoControlCode shares its place with
// Others.Argument3.
struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);

struct IRP {
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    PVOID SystemBuffer;  // AssociatedIrp.SystemBuffer
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    struct {
        struct {
            PVOID DriverContext[4];
            PIO_STACK_LOCATION CurrentStackLocation;
        } Overlay;
    } Tail;
    // Stand-in bookkeeping, not part of the platform's record.
    LONG NkInLowerDriver;  // 1 from IofCallDriver until completion reaches the top
    BOOLEAN NkThreadIrp;   // built by IoBuildDeviceIoControlRequest: freed on completion
    IO_STACK_LOCATION* NkStack;
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
// Marks the current stack location pending; a dispatch routine that returns
// STATUS_PENDING must have called it (and one that calls it must return
// STATUS_PENDING).
void IoMarkIrpPending(PIRP irp);

inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN onSuccess, BOOLEAN onError, BOOLEAN onCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (onError) next->Control |= SL_INVOKE_ON_ERROR;
    if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    return IofCallDriver(device, irp);
}
void IoCompleteRequest(PIRP irp, CCHAR priorityBoost);
// Sets Cancel and calls the cancel routine, if one is set, with the cancel
// spin lock held; the routine releases it with IoReleaseCancelSpinLock(
// irp->CancelIrql) before it does anything else.
BOOLEAN IoCancelIrp(PIRP irp);
void IoAcquireCancelSpinLock(KIRQL* irql);
void IoReleaseCancelSpinLock(KIRQL irql);
// Installs or removes the cancel routine; returns the one it replaces.
PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine);

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota,
                   PIRP irp);
void IoFreeMdl(PMDL mdl);
void IoBuildPartialMdl(PMDL source, PMDL target, PVOID virtualAddress, ULONG length);
void MmBuildMdlForNonPagedPool(PMDL mdl);
inline PVOID MmGetMdlVirtualAddress(PMDL mdl) {
    return static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
}
inline ULONG MmGetMdlByteCount(PMDL mdl) {
    return mdl->ByteCount;
}
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
// The system address of an MDL's bytes; null when the MDL was never mapped.
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);

namespace kernel {
// IRPs and MDLs alive, for leak checks.
size_t LiveIrps();
size_t LiveMdls();
// Stand-in objects for drivers and devices (the host's own, not pool).
PDRIVER_OBJECT CreateDriverObject(const char* name);
void DeleteDriverObject(PDRIVER_OBJECT driver);
PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, CCHAR stackSize, PVOID extension);
void DeleteDeviceObject(PDEVICE_OBJECT device);
}  // namespace kernel
