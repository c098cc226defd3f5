// IRP passing, completion in the completing thread, cancellation, MDLs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/kernel/pool.h"

namespace {

constexpr ULONG kBufTag = PoolTag("Tbuf");

// A lower driver that keeps every request pending until the test completes
// it from a thread of its own, and that can cancel what it holds.
struct LowerDriver {
    PDRIVER_OBJECT driver = kernel::CreateDriverObject("lower");
    PDEVICE_OBJECT device = kernel::CreateDeviceObject(driver, 1, this);
    std::mutex lock;
    std::vector<PIRP> pending;
    std::atomic<int> cancelCalls{0};
    bool completeAtOnce = false;

    LowerDriver() { driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch; }
    ~LowerDriver() {
        kernel::DeleteDeviceObject(device);
        kernel::DeleteDriverObject(driver);
    }

    static LowerDriver* From(PDEVICE_OBJECT d) {
        return static_cast<LowerDriver*>(d->DeviceExtension);
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) {
        LowerDriver* self = From(d);
        if (self->completeAtOnce) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 7;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> g(self->lock);
        self->pending.push_back(irp);
        IoSetCancelRoutine(irp, Cancel);
        return STATUS_PENDING;
    }

    static void Cancel(PDEVICE_OBJECT d, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        LowerDriver* self = From(d);
        self->cancelCalls++;
        {
            std::lock_guard<std::mutex> g(self->lock);
            std::erase(self->pending, irp);
        }
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    // Completes the oldest pending request, as a bus would from its thread.
    void CompleteOne(NTSTATUS status) {
        PIRP irp;
        {
            std::lock_guard<std::mutex> g(lock);
            if (pending.empty()) return;  // the cancel routine took it
            irp = pending.front();
            pending.erase(pending.begin());
        }
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        if (routine == nullptr) return;  // being cancelled
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 64;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
};

struct Seen {
    std::thread::id thread;
    NTSTATUS status = 0;
    int calls = 0;
};

NTSTATUS Record(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->thread = std::this_thread::get_id();
    seen->status = irp->IoStatus.Status;
    seen->calls++;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP OwnIrp(LowerDriver& lower, Seen* seen) {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower.device->StackSize + 1), FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, seen, TRUE, TRUE, TRUE);
    return irp;
}

TEST(IrpCompletion, RoutineRunsInTheCompletingThread) {
    LowerDriver lower;
    Seen seen;
    PIRP irp = OwnIrp(lower, &seen);
    EXPECT_EQ(IofCallDriver(lower.device, irp), STATUS_PENDING);
    std::thread bus([&] { lower.CompleteOne(STATUS_SUCCESS); });
    std::thread::id busId = bus.get_id();
    bus.join();
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.thread, busId);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(irp->IoStatus.Information, 64u);
    IoFreeIrp(irp);
}

TEST(IrpVerifier, RoutineNotInvokedForAnErrorLeavesTheIrpUnreclaimed) {
    // A success-only routine is skipped on error, so an IRP of the driver's
    // own would run to the top with nobody to free it.
    EXPECT_DEATH(
        {
            LowerDriver lower;
            Seen seen;
            PIRP irp = OwnIrp(lower, &seen);
            IoSetCompletionRoutine(irp, Record, &seen, TRUE, FALSE, FALSE);
            IofCallDriver(lower.device, irp);
            lower.CompleteOne(STATUS_UNSUCCESSFUL);
        },
        "its completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
}

NTSTATUS RecordAndContinue(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    Record(device, irp, context);
    return STATUS_SUCCESS;
}

// A threaded device-control request to the lower driver, signalling `event`
// when it ends.
PIRP ThreadedRequest(LowerDriver& lower, KEVENT* event, IO_STATUS_BLOCK* iosb) {
    KeInitializeEvent(event, NotificationEvent, FALSE);
    return IoBuildDeviceIoControlRequest(0x220003, lower.device, nullptr, 0, nullptr, 0, TRUE,
                                         event, iosb);
}

// A routine set for errors only (InvokeOnError alone) runs when the lower
// driver fails the request, and is skipped when it succeeds. A threaded
// request runs to the top either way, so a skipped routine is no stop.
TEST(IrpCompletion, ARoutineForErrorsOnlyRunsOnAFailureAndOnlyThen) {
    LowerDriver lower;
    for (NTSTATUS result : {STATUS_UNSUCCESSFUL, STATUS_SUCCESS}) {
        SCOPED_TRACE(result);
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        PIRP irp = ThreadedRequest(lower, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        Seen seen;
        IoSetCompletionRoutine(irp, RecordAndContinue, &seen, FALSE, TRUE, FALSE);
        EXPECT_EQ(IofCallDriver(lower.device, irp), STATUS_PENDING);
        std::thread([&] { lower.CompleteOne(result); }).join();
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(iosb.Status, result);
        EXPECT_EQ(seen.calls, NT_SUCCESS(result) ? 0 : 1);
        if (seen.calls == 1) {
            EXPECT_EQ(seen.status, STATUS_UNSUCCESSFUL);
        }
    }
}

TEST(IrpVerifier, FreeingAPendingIrpStops) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            Seen seen;
            PIRP irp = OwnIrp(lower, &seen);
            IofCallDriver(lower.device, irp);
            IoFreeIrp(irp);
        },
        "IRP freed while still pending in a lower driver");
}

TEST(IrpVerifier, CompletingTwiceStops) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            lower.completeAtOnce = true;
            PIRP irp = IoAllocateIrp(2, FALSE);
            Seen seen;
            IoSetCompletionRoutine(irp, Record, &seen, TRUE, TRUE, TRUE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IofCallDriver(lower.device, irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST(IrpCancel, ReachesTheCancelRoutineExactlyOnce) {
    LowerDriver lower;
    Seen seen;
    PIRP irp = OwnIrp(lower, &seen);
    EXPECT_EQ(IofCallDriver(lower.device, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(lower.cancelCalls.load(), 1);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
}

TEST(IrpCancel, CancelRacingCompletionCompletesOnce) {
    for (int round = 0; round < 200; ++round) {
        LowerDriver lower;
        Seen seen;
        PIRP irp = OwnIrp(lower, &seen);
        IofCallDriver(lower.device, irp);
        std::thread bus([&] { lower.CompleteOne(STATUS_SUCCESS); });
        IoCancelIrp(irp);
        bus.join();
        ASSERT_EQ(seen.calls, 1);
        IoFreeIrp(irp);
    }
}

TEST(DeviceIoControl, SynchronousAndPendingCompletionSignalTheEvent) {
    LowerDriver lower;
    for (bool atOnce : {true, false}) {
        lower.completeAtOnce = atOnce;
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        PIRP irp = ThreadedRequest(lower, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode,
                  0x220003u);
        NTSTATUS status = IofCallDriver(lower.device, irp);
        if (!atOnce) {
            EXPECT_EQ(status, STATUS_PENDING);
            std::thread([&] { lower.CompleteOne(STATUS_SUCCESS); }).join();
        }
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, atOnce ? 7u : 64u);
    }
}

TEST(DeviceIoControl, FailsCleanlyWhenTheIrpCannotBeAllocated) {
    LowerDriver lower;
    kernel::pool::FailNth(1);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(
        IoBuildDeviceIoControlRequest(1, lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb),
        nullptr);
}

TEST(Mdl, PartialMdlDescribesTheChosenBytes) {
    constexpr ULONG kSize = 5 * 65536 + 100;
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kSize, kBufTag));
    PMDL whole = IoAllocateMdl(buffer, kSize, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(whole, NormalPagePriority), buffer);
    EXPECT_EQ(MmGetMdlByteCount(whole), kSize);

    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL part =
        IoAllocateMdl(MmGetMdlVirtualAddress(whole), MmGetMdlByteCount(whole), FALSE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, part);
    IoBuildPartialMdl(whole, part, buffer + 3 * 65536, 65536);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + 3 * 65536);
    EXPECT_EQ(MmGetMdlVirtualAddress(part), buffer + 3 * 65536);
    EXPECT_EQ(MmGetMdlByteCount(part), 65536u);
    EXPECT_TRUE(part->MdlFlags & MDL_PARTIAL);
    // The last, short piece.
    IoBuildPartialMdl(whole, part, buffer + 5 * 65536, 100);
    auto* bytes = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
    std::memset(bytes, 0xAB, MmGetMdlByteCount(part));
    EXPECT_EQ(buffer[kSize - 1], 0xAB);
    EXPECT_EQ(buffer[kSize - 101], 0xCD);

    IoFreeMdl(part);
    IoFreeIrp(irp);
    IoFreeMdl(whole);
    ExFreePoolWithTag(buffer, kBufTag);
}

// A page-aligned buffer of exactly one page spans that one page: an MDL made
// for it describes one page, and a partial range that reaches into a second
// page does not fit it.
TEST(Mdl, AnMdlForOneAlignedPageHoldsOnlyOnePage) {
    alignas(PAGE_SIZE) static UCHAR buffer[3 * PAGE_SIZE];
    PMDL whole = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    PMDL page = IoAllocateMdl(buffer, PAGE_SIZE, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(whole, page, buffer + PAGE_SIZE, PAGE_SIZE);  // the next whole page fits
    EXPECT_EQ(MmGetMdlVirtualAddress(page), buffer + PAGE_SIZE);
    EXPECT_EQ(MmGetMdlByteCount(page), PAGE_SIZE);
    IoFreeMdl(page);
    IoFreeMdl(whole);
    EXPECT_DEATH(
        {
            PMDL source = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(source);
            PMDL target = IoAllocateMdl(buffer, PAGE_SIZE, FALSE, FALSE, nullptr);
            // 200 bytes across the first page boundary: two pages.
            IoBuildPartialMdl(source, target, buffer + PAGE_SIZE - 100, 200);
        },
        "target MDL is too small for the range");
}

TEST(Mdl, PartialRangeOutsideTheSourceStops) {
    EXPECT_DEATH(
        {
            static UCHAR buffer[8192];
            PMDL whole = IoAllocateMdl(buffer, 4096, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(whole);
            PMDL part = IoAllocateMdl(buffer, 4096, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(whole, part, buffer + 4000, 200);
        },
        "outside the source MDL");
}

}  // namespace

// The I/O verifier's rules for drivers, each broken once by a misbehaving
// lower driver or caller.
class Misbehaving {
  public:
    enum Fault { PendingWithoutMark, MarkWithoutPending, RaiseIrql, CompleteWithCancelRoutine };
    explicit Misbehaving(Fault f) : fault_(f) {
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        current = this;
    }
    ~Misbehaving() {
        kernel::DeleteDeviceObject(device);
        kernel::DeleteDriverObject(driver_);
    }

  private:
    PDRIVER_OBJECT driver_ = kernel::CreateDriverObject("misbehaving");

  public:
    PDEVICE_OBJECT device = kernel::CreateDeviceObject(driver_, 1, nullptr);

  private:
    static void NoCancel(PDEVICE_OBJECT, PIRP) {}
    static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
        switch (current->fault_) {
            case PendingWithoutMark:
                return STATUS_PENDING;  // and keeps it: the test ends here
            case MarkWithoutPending:
                IoMarkIrpPending(irp);
                break;
            case RaiseIrql: {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);  // and never lowers it
                break;
            }
            case CompleteWithCancelRoutine:
                IoSetCancelRoutine(irp, NoCancel);
                break;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    static inline Misbehaving* current = nullptr;
    Fault fault_;
};

void SendOwnIrp(PDEVICE_OBJECT device) {
    Seen seen;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &seen, TRUE, TRUE, TRUE);
    IofCallDriver(device, irp);
    IoFreeIrp(irp);
}

TEST(IoVerifier, EachBrokenDispatchRuleStops) {
    EXPECT_DEATH(
        {
            Misbehaving m(Misbehaving::PendingWithoutMark);
            SendOwnIrp(m.device);
        },
        "returned STATUS_PENDING without marking the IRP pending");
    EXPECT_DEATH(
        {
            Misbehaving m(Misbehaving::MarkWithoutPending);
            SendOwnIrp(m.device);
        },
        "marked the IRP pending and returned 0x00000000");
    EXPECT_DEATH(
        {
            Misbehaving m(Misbehaving::RaiseIrql);
            SendOwnIrp(m.device);
        },
        "IRQL changed across a dispatch routine");
    EXPECT_DEATH(
        {
            Misbehaving m(Misbehaving::CompleteWithCancelRoutine);
            SendOwnIrp(m.device);
        },
        "completed with its cancel routine still set");
}

TEST(IoVerifier, CallersMayNotSendWithACancelRoutineOrFreeAThreadedIrp) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            Seen seen;
            PIRP irp = OwnIrp(lower, &seen);
            IoSetCancelRoutine(irp, LowerDriver::Cancel);
            IofCallDriver(lower.device, irp);
        },
        "passed to a lower driver with a cancel routine still set");
    EXPECT_DEATH(
        {
            LowerDriver lower;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            PIRP irp = IoBuildDeviceIoControlRequest(1, lower.device, nullptr, 0, nullptr, 0, TRUE,
                                                     &event, &iosb);
            IoFreeIrp(irp);
        },
        "IoFreeIrp of a threaded IRP");
}

NTSTATUS AtWhatLevel(PDEVICE_OBJECT, PIRP, PVOID context) {
    *static_cast<KIRQL*>(context) = KeGetCurrentIrql();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS WaitsInCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoVerifier, CompletionRoutinesRunAtDispatchLevelWhereWaitsStop) {
    LowerDriver lower;
    KIRQL seen = PASSIVE_LEVEL;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, AtWhatLevel, &seen, TRUE, TRUE, TRUE);
    IofCallDriver(lower.device, irp);
    lower.CompleteOne(STATUS_SUCCESS);
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // and the completing thread is back where it was
    IoFreeIrp(irp);
    EXPECT_DEATH(
        {
            LowerDriver l;
            PIRP i = IoAllocateIrp(2, FALSE);
            IoGetNextIrpStackLocation(i)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(i, WaitsInCompletion, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(l.device, i);
            l.CompleteOne(STATUS_SUCCESS);
        },
        "KeWaitForSingleObject at DISPATCH_LEVEL");
}

TEST(IoVerifier, AThreadedRequestIsBuiltAndSentAtPassiveLevelAndNeverAwaitedInsideAFastMutex) {
    // Built or sent inside a fast mutex (APC_LEVEL): stopped at once.
    EXPECT_DEATH(
        {
            LowerDriver lower;
            FAST_MUTEX m;
            ExInitializeFastMutex(&m);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            ExAcquireFastMutex(&m);
            IoBuildDeviceIoControlRequest(1, lower.device, nullptr, 0, nullptr, 0, TRUE, &event,
                                          &iosb);
        },
        "IoBuildDeviceIoControlRequest at APC_LEVEL");
    // Sent properly, then awaited with a fast mutex taken meanwhile: the
    // completion could never reach this thread.
    EXPECT_DEATH(
        {
            LowerDriver lower;
            FAST_MUTEX m;
            ExInitializeFastMutex(&m);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            PIRP irp = IoBuildDeviceIoControlRequest(1, lower.device, nullptr, 0, nullptr, 0, TRUE,
                                                     &event, &iosb);
            IofCallDriver(lower.device, irp);
            ExAcquireFastMutex(&m);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "a deadlock");
}
