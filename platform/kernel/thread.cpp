// System threads on std::thread. The thread object is a dispatcher object that
// becomes signalled when the routine ends, so it can be waited for; the
// running thread holds a reference of its own until then.
#include "platform/kernel/thread.h"

#include <atomic>
#include <thread>

#include "platform/kernel/bugcheck.h"

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
    if (failCreations.load() > 0 && failCreations.fetch_sub(1) > 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* object = new ThreadObjectImpl;
    HANDLE handle = kernel::CreateHandle(object);
    PVOID body = object->Body();
    ObReferenceObject(body);  // the running thread's own reference
    std::thread([startRoutine, context, body] {
        try {
            startRoutine(context);
        } catch (const Termination&) {
        }
        kernel::SignalDispatcherObject(static_cast<DISPATCHER_HEADER*>(body), 1);
        ObDereferenceObject(body);
    }).detach();
    *threadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) { throw Termination{exitStatus}; }

namespace kernel {
size_t LiveThreads() { return liveThreads.load(); }
void FailThreadCreation(int n) { failCreations.store(n); }
}  // namespace kernel
