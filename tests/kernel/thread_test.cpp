// System threads and their objects.
#include <gtest/gtest.h>

#include <atomic>

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
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Routine, &c), STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
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
