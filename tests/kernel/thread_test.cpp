// System threads and their objects.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/sync.h"
#include "platform/kernel/thread.h"

namespace {

struct Context {
    std::atomic<int> ran{0};
    KEVENT release;
};

void Routine(PVOID p) {
    auto* c = static_cast<Context*>(p);
    KeWaitForSingleObject(&c->release, Executive, KernelMode, FALSE, nullptr);
    c->ran = 1;
    PsTerminateSystemThread(STATUS_SUCCESS);
    c->ran = 2;  // never reached: the thread ends in PsTerminateSystemThread
}

TEST(SystemThread, ReferencedObjectIsSignalledWhenTheThreadEnds) {
    Context c;
    KeInitializeEvent(&c.release, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Routine, &c),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&c.release, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(c.ran.load(), 1);
    ObDereferenceObject(thread);
}

TEST(SystemThread, CreationCanBeMadeToFail) {
    kernel::FailThreadCreation(1);
    Context c;
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Routine, &c),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
}

TEST(Handles, ClosingAnUnknownHandleFails) {
    EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x7777)), STATUS_INVALID_PARAMETER);
}

}  // namespace

namespace {

FAST_MUTEX heldMutex;
KSPIN_LOCK heldSpinLock;

void EndsHoldingAFastMutex(PVOID) {
    ExInitializeFastMutex(&heldMutex);
    ExAcquireFastMutex(&heldMutex);
}
void EndsHoldingASpinLock(PVOID) {
    KeInitializeSpinLock(&heldSpinLock);
    KeAcquireSpinLockRaiseToDpc(&heldSpinLock);
}
void EndsInACriticalRegion(PVOID) {
    KeEnterCriticalRegion();
}

void RunToItsEnd(PKSTART_ROUTINE routine) {
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, routine, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(5));  // the stop comes long before
}

TEST(SystemThread, EndingWithAnythingHeldStops) {
    EXPECT_DEATH(RunToItsEnd(EndsHoldingAFastMutex), "a system thread ended holding a fast mutex");
    EXPECT_DEATH(RunToItsEnd(EndsHoldingASpinLock), "a system thread ended holding a spin lock");
    EXPECT_DEATH(RunToItsEnd(EndsInACriticalRegion),
                 "a system thread ended inside a critical region");
}

}  // namespace
