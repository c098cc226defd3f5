// System threads on std::thread. The thread object is a dispatcher object that
// becomes signalled when the routine ends, so it can be waited for; the
// running thread holds a reference of its own until then.
#include "platform/kernel/thread.h"

#include <atomic>
#include <thread>

#include "platform/kernel/bugcheck.h"
#include "platform/kernel/frame_path.h"
#include "platform/kernel/sync.h"

namespace {

std::atomic<size_t> liveThreads{0};
std::atomic<int> failCreations{0};

struct Termination {
    NTSTATUS status;
};

class ThreadObjectImpl : public kernel::ObjectBase {
  public:
    ThreadObjectImpl() {
        header.Type = ThreadObject;
        header.SignalState = 0;
        ++liveThreads;
    }
    ~ThreadObjectImpl() override { --liveThreads; }
    PVOID Body() override { return &header; }
    const char* KindName() const override { return "thread"; }
    DISPATCHER_HEADER header{};
};

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE startRoutine, PVOID context) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (failCreations.load() > 0 && failCreations.fetch_sub(1) > 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* object = new ThreadObjectImpl;
    HANDLE handle = kernel::CreateHandle(object);
    PVOID body = object->Body();
    ObReferenceObject(body);  // the running thread's own reference
    std::thread([startRoutine, context, body] {
        // The driver's one system thread is its capture thread.
        const kernel::FramePathThread onPath("nv-system");
        try {
            startRoutine(context);
        } catch (const Termination&) {
        }
        // A system thread must leave nothing held behind it: the platform
        // stops the machine when one ends above PASSIVE_LEVEL, holding a
        // lock or inside a critical region.
        const kernel::ThreadHoldings held = kernel::CurrentThreadHoldings();
        if (held.spinLocks != 0)
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "a system thread ended holding a spin lock");
        if (held.fastMutexes != 0)
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "a system thread ended holding a fast mutex");
        if (held.criticalRegions != 0)
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "a system thread ended inside a critical region");
        if (held.irql != PASSIVE_LEVEL)
            kernel::BugCheck(kernel::IRQL_NOT_LESS_OR_EQUAL,
                             "a system thread ended above PASSIVE_LEVEL");
        kernel::SignalDispatcherObject(static_cast<DISPATCHER_HEADER*>(body), 1);
        ObDereferenceObject(body);
    }).detach();
    *threadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) {
    throw Termination{exitStatus};
}

namespace kernel {
size_t LiveThreads() {
    return liveThreads.load();
}
void FailThreadCreation(int n) {
    failCreations.store(n);
}
}  // namespace kernel
