// Events, waits with time-outs, spin locks, fast mutexes, delays.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

#include "platform/kernel/sync.h"

namespace {

LARGE_INTEGER Relative(LONGLONG hundredNs) {
    LARGE_INTEGER li;
    li.QuadPart = -hundredNs;
    return li;
}

TEST(EventWait, RelativeTimeOutReturnsStatusTimeout) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(20 * 10000);  // 20 ms
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST(EventWait, ZeroTimeOutPollsTheState) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST(EventWait, NotificationStaysSignalledSynchronizationResets) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST(EventWait, SetFromAnotherThreadWakesTheWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int payload = 0;
    std::thread setter([&] {
        payload = 42;
        KeSetEvent(&event, 1, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(payload, 42);
    setter.join();
}

TEST(EventWait, EveryThirtyTwoBitMillisecondTimeOutConvertsWithoutOverflow) {
    // The largest 32-bit millisecond value, as the driver computes it in 64 bits.
    LONGLONG interval = -static_cast<LONGLONG>(std::numeric_limits<ULONG>::max()) * 10000;
    EXPECT_EQ(kernel::RelativeIntervalToMicroseconds(interval),
              static_cast<LONGLONG>(std::numeric_limits<ULONG>::max()) * 1000);
    // The most negative intervals, whose negation overflows (the
    // undefined-behaviour sanitizer sees it): 100 ns units rounded up.
    constexpr LONGLONG kMin = std::numeric_limits<LONGLONG>::min();
    EXPECT_EQ(kernel::RelativeIntervalToMicroseconds(kMin), 922337203685477581);
    EXPECT_EQ(kernel::RelativeIntervalToMicroseconds(kMin + 1), 922337203685477581);
    EXPECT_EQ(kernel::RelativeIntervalToMicroseconds(kMin + 8), 922337203685477580);
    EXPECT_EQ(kernel::RelativeIntervalToMicroseconds(-1), 1);  // rounds up, never to zero
    EXPECT_EQ(kernel::RelativeIntervalToMicroseconds(-10), 1);
    EXPECT_EQ(kernel::RelativeIntervalToMicroseconds(-11), 2);
    // A huge time-out still waits and still times out when polled to zero.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER li;
    li.QuadPart = interval;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &li), STATUS_SUCCESS);
}

TEST(SpinLockVerifier, WaitingWhileHoldingASpinLockStops) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock = 0;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            KeAcquireSpinLockRaiseToDpc(&lock);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject while holding a spin lock");
}

TEST(SpinLockVerifier, SleepingWhileHoldingASpinLockStops) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock = 0;
            KeAcquireSpinLockRaiseToDpc(&lock);
            LARGE_INTEGER d = Relative(10);
            KeDelayExecutionThread(KernelMode, FALSE, &d);
        },
        "KeDelayExecutionThread while holding a spin lock");
}

TEST(SpinLockVerifier, ReleaseByANonOwnerStops) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock = 0;
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            std::thread([&] { KeReleaseSpinLock(&lock, old); }).join();
        },
        "SPIN_LOCK_NOT_OWNED");
}

TEST(SpinLock, RaisesIrqlAndExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            ++counter;
            KeReleaseSpinLock(&lock, old);
        }
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(FastMutex, ExcludesOtherThreadsAndMayBeHeldAcrossAWait) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            ExAcquireFastMutex(&mutex);
            long seen = counter;
            if (i % 500 == 0) {
                LARGE_INTEGER d = Relative(10);
                KeDelayExecutionThread(KernelMode, FALSE, &d);
            }
            counter = seen + 1;
            ExReleaseFastMutex(&mutex);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
}

TEST(Delay, ObserverSeesEveryIntervalAsGiven) {
    std::vector<LONGLONG> seen;
    kernel::SetDelayObserver([&](LONGLONG i) { seen.push_back(i); });
    LARGE_INTEGER a = Relative(200), b = Relative(8000);
    KeDelayExecutionThread(KernelMode, FALSE, &a);
    KeDelayExecutionThread(KernelMode, FALSE, &b);
    kernel::SetDelayObserver(nullptr);
    EXPECT_EQ(seen, (std::vector<LONGLONG>{-200, -8000}));
}

TEST(CriticalRegion, LeavingWithoutEnteringStops) {
    EXPECT_DEATH(KeLeaveCriticalRegion(), "KeLeaveCriticalRegion without KeEnterCriticalRegion");
}

TEST(Interlocked, OperationsReturnThePlatformsValues) {
    LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 0), 9);  // no match: unchanged
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(ReadAcquire(&v), 1);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 1);
    EXPECT_EQ(v, 4);
}

}  // namespace

namespace {

TEST(Irql, AFastMutexRaisesToApcLevelAndReleaseRestoresTheLevel) {
    FAST_MUTEX a, b;
    ExInitializeFastMutex(&a);
    ExInitializeFastMutex(&b);
    ExAcquireFastMutex(&a);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExAcquireFastMutex(&b);
    ExReleaseFastMutex(&b);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&a);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(kernel::CurrentThreadHoldings().fastMutexes, 0);
}

TEST(Irql, CallsAboveTheirLevelStop) {
    // Passive-only calls inside a fast mutex; waits and delays are allowed
    // there, but not at DISPATCH_LEVEL.
    EXPECT_DEATH(
        {
            FAST_MUTEX m;
            ExInitializeFastMutex(&m);
            ExAcquireFastMutex(&m);
            kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "a registry call");
        },
        "a registry call at APC_LEVEL; allowed up to PASSIVE_LEVEL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER t = Relative(10);
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        },
        "KeDelayExecutionThread at DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "KeRaiseIrql to APC_LEVEL from the higher DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            FAST_MUTEX a;
            FAST_MUTEX b;
            ExInitializeFastMutex(&a);
            ExInitializeFastMutex(&b);
            ExAcquireFastMutex(&a);
            ExAcquireFastMutex(&b);
            ExReleaseFastMutex(&a);  // out of order: the thread drops to PASSIVE_LEVEL with b held
            ExReleaseFastMutex(&b);
        },
        "fast mutex released at PASSIVE_LEVEL");
}

}  // namespace
