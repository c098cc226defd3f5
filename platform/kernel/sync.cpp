// Dispatcher objects share one lock and one condition: waits are rare and
// short-lived in this system, and a single condition makes every signal
// visible to every waiter without per-object state that a zero-filled block
// could not hold.
#include "platform/kernel/sync.h"

#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/kernel/bugcheck.h"

namespace {

constexpr ULONG IRQL_NOT_GREATER_OR_EQUAL_CODE = 0x09;

std::mutex& DispatcherLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::condition_variable& DispatcherCondition() {
    static std::condition_variable* c = new std::condition_variable;
    return *c;
}

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local int spinLocksHeld = 0;
thread_local int criticalRegionDepth = 0;
thread_local int fastMutexesHeld = 0;
thread_local char threadMarker;

std::mutex& ObserverLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::function<void(LONGLONG)>& Observer() {
    static auto* f = new std::function<void(LONGLONG)>;
    return *f;
}

const char* IrqlName(KIRQL irql) {
    return irql == PASSIVE_LEVEL ? "PASSIVE_LEVEL"
           : irql == APC_LEVEL   ? "APC_LEVEL"
                                 : "DISPATCH_LEVEL";
}

// Threaded requests in flight: their event, and the thread that sent them.
std::mutex& ThreadedLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::vector<std::pair<PKEVENT, std::thread::id>>& Threaded() {
    static auto* v = new std::vector<std::pair<PKEVENT, std::thread::id>>;
    return *v;
}

std::atomic_ref<LONG> Ref(LONG volatile* p) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(p));
}

}  // namespace

namespace kernel {

void RequireIrqlAtMost(KIRQL highest, const char* what) {
    if (spinLocksHeld > 0 && highest < DISPATCH_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL,
                 std::string(what) + " while holding a spin lock (IRQL DISPATCH_LEVEL)");
    if (currentIrql > highest)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(what) + " at " + IrqlName(currentIrql) +
                                             "; allowed up to " + IrqlName(highest));
}

ThreadHoldings CurrentThreadHoldings() {
    return {spinLocksHeld, fastMutexesHeld, criticalRegionDepth, currentIrql};
}

void NoteThreadedRequest(PKEVENT event, bool outstanding) {
    std::lock_guard<std::mutex> g(ThreadedLock());
    auto& v = Threaded();
    if (outstanding) {
        v.emplace_back(event, std::this_thread::get_id());
        return;
    }
    for (auto it = v.begin(); it != v.end(); ++it)
        if (it->first == event) {
            v.erase(it);
            return;
        }
}

void SignalDispatcherObject(DISPATCHER_HEADER* header, LONG state) {
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        header->SignalState = state;
    }
    DispatcherCondition().notify_all();
}

LONGLONG RelativeIntervalToMicroseconds(LONGLONG interval) {
    if (interval >= 0) return 0;
    // Rounded up, and without negating the interval, which overflows at
    // the most negative values.
    return -(interval / 10) + (interval % 10 != 0 ? 1 : 0);
}

void SetDelayObserver(std::function<void(LONGLONG)> observer) {
    std::lock_guard<std::mutex> guard(ObserverLock());
    Observer() = std::move(observer);
}

}  // namespace kernel

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    event->Header.Type =
        type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(PKEVENT event, KPRIORITY, BOOLEAN) {
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    DispatcherCondition().notify_all();
    return previous;
}

LONG KeResetEvent(PKEVENT event) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PKEVENT event) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    bool zeroWait = timeout != nullptr && timeout->QuadPart == 0;
    if (!zeroWait) kernel::RequireIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject");
    if (currentIrql >= APC_LEVEL) {
        std::lock_guard<std::mutex> g(ThreadedLock());
        for (const auto& [event, thread] : Threaded())
            if (event == object && thread == std::this_thread::get_id())
                kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                                 "waiting at APC_LEVEL (inside a fast mutex?) for a threaded "
                                 "request this thread "
                                 "sent: its completion is delivered to this thread and cannot run "
                                 "here, a deadlock");
    }
    if (timeout != nullptr && timeout->QuadPart > 0)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "absolute wait time-outs are not used by this system");
    std::unique_lock<std::mutex> lock(DispatcherLock());
    auto signalled = [header] { return header->SignalState != 0; };
    bool ok;
    if (timeout == nullptr) {
        DispatcherCondition().wait(lock, signalled);
        ok = true;
    } else {
        LONGLONG us = kernel::RelativeIntervalToMicroseconds(timeout->QuadPart);
        // A year is as good as for ever and keeps the clock arithmetic in range.
        constexpr LONGLONG kMaxUs = 365LL * 24 * 3600 * 1000000;
        if (us > kMaxUs) us = kMaxUs;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
        ok = DispatcherCondition().wait_until(lock, deadline, signalled);
    }
    if (!ok) return STATUS_TIMEOUT;
    if (header->Type == EventSynchronizationObject) header->SignalState = 0;
    return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    kernel::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    if (interval->QuadPart > 0)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "absolute delays are not used by this system");
    {
        std::lock_guard<std::mutex> guard(ObserverLock());
        if (Observer()) Observer()(interval->QuadPart);
    }
    LONGLONG us = kernel::RelativeIntervalToMicroseconds(interval->QuadPart);
    std::this_thread::sleep_for(std::chrono::microseconds(us));
    return STATUS_SUCCESS;
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
    std::atomic_ref<ULONG_PTR>(*lock).store(0, std::memory_order_release);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    auto owner = reinterpret_cast<ULONG_PTR>(&threadMarker);
    std::atomic_ref<ULONG_PTR> ref(*lock);
    if (ref.load(std::memory_order_relaxed) == owner)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "spin lock acquired twice by the same thread");
    KIRQL old = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    ++spinLocksHeld;
    ULONG_PTR expected = 0;
    // A holder here can be preempted, which a holder at DISPATCH_LEVEL
    // cannot: a frame thread raised to real time must not spin it off its
    // core, so after a short spin the waiter sleeps between tries.
    for (int tries = 0; !ref.compare_exchange_weak(expected, owner, std::memory_order_acquire);
         ++tries) {
        expected = 0;
        if (tries < 64)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    auto owner = reinterpret_cast<ULONG_PTR>(&threadMarker);
    std::atomic_ref<ULONG_PTR> ref(*lock);
    if (ref.load(std::memory_order_relaxed) != owner)
        kernel::BugCheck(kernel::SPIN_LOCK_NOT_OWNED,
                         "spin lock released by a thread that does not hold it");
    ref.store(0, std::memory_order_release);
    --spinLocksHeld;
    currentIrql = newIrql;
}

KIRQL KeGetCurrentIrql() {
    return currentIrql;
}

void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql) {
    if (newIrql < currentIrql)
        kernel::BugCheck(IRQL_NOT_GREATER_OR_EQUAL_CODE,
                         std::string("KeRaiseIrql to ") + IrqlName(newIrql) + " from the higher " +
                             IrqlName(currentIrql));
    *oldIrql = currentIrql;
    currentIrql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
    if (newIrql > currentIrql)
        kernel::BugCheck(kernel::IRQL_NOT_LESS_OR_EQUAL,
                         std::string("KeLowerIrql to ") + IrqlName(newIrql) + " from the lower " +
                             IrqlName(currentIrql));
    currentIrql = newIrql;
}

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    mutex->Count = 1;
    mutex->OldIrql = PASSIVE_LEVEL;
    mutex->Owner = nullptr;
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
    kernel::RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    std::unique_lock<std::mutex> lock(DispatcherLock());
    if (mutex->Owner == &threadMarker)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "fast mutex acquired recursively");
    DispatcherCondition().wait(lock, [mutex] { return mutex->Count == 1; });
    mutex->Count = 0;
    mutex->Owner = &threadMarker;
    mutex->OldIrql = currentIrql;
    currentIrql = APC_LEVEL;
    ++fastMutexesHeld;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        if (mutex->Owner != &threadMarker)
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "fast mutex released by a thread that does not own it");
        if (currentIrql != APC_LEVEL)
            kernel::BugCheck(
                kernel::IRQL_NOT_LESS_OR_EQUAL,
                std::string("fast mutex released at ") + IrqlName(currentIrql) + ", not APC_LEVEL");
        mutex->Count = 1;
        mutex->Owner = nullptr;
        currentIrql = static_cast<KIRQL>(mutex->OldIrql);
        --fastMutexesHeld;
    }
    DispatcherCondition().notify_all();
}

void KeEnterCriticalRegion() {
    ++criticalRegionDepth;
}

void KeLeaveCriticalRegion() {
    if (criticalRegionDepth == 0)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "KeLeaveCriticalRegion without KeEnterCriticalRegion");
    --criticalRegionDepth;
}

LONG InterlockedIncrement(LONG volatile* target) {
    return Ref(target).fetch_add(1) + 1;
}
LONG InterlockedDecrement(LONG volatile* target) {
    return Ref(target).fetch_sub(1) - 1;
}
LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return Ref(target).exchange(value);
}
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    Ref(target).compare_exchange_strong(comparand, exchange);
    return comparand;
}
LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) {
    return Ref(target).fetch_add(value);
}
LONG ReadAcquire(const LONG volatile* source) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(source)).load(std::memory_order_acquire);
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return std::atomic_ref<PVOID>(*const_cast<PVOID*>(target)).exchange(value);
}

PVOID ReadPointerAcquire(PVOID const volatile* source) {
    return std::atomic_ref<PVOID>(*const_cast<PVOID*>(source)).load(std::memory_order_acquire);
}
