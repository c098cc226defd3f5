// Filters, pins, the frame queue and processing.
#include "platform/ks/ks_stream.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <unordered_map>

#include "platform/kernel/bugcheck.h"
#include "platform/kernel/pool.h"
#include "platform/ks/ks_internal.h"

namespace ks::internal {

constexpr ULONG kFactoryTag = PoolTag("KSfc");

std::mutex& ObjectsLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::unordered_map<const void*, DeviceRecord*>& Objects() {
    static auto* m = new std::unordered_map<const void*, DeviceRecord*>;
    return *m;
}
std::unordered_map<const void*, FilterRecord*>& ControlOwners() {
    static auto* m = new std::unordered_map<const void*, FilterRecord*>;
    return *m;
}
void RegisterControl(const void* object, FilterRecord* filter) {
    std::lock_guard<std::mutex> g(ObjectsLock());
    if (filter != nullptr)
        ControlOwners()[object] = filter;
    else
        ControlOwners().erase(object);
}
bool& InProcessDispatch() {
    thread_local bool inside = false;
    return inside;
}
void RegisterObject(const void* object, DeviceRecord* device) {
    std::lock_guard<std::mutex> g(ObjectsLock());
    Objects()[object] = device;
}
void UnregisterObject(const void* object) {
    std::lock_guard<std::mutex> g(ObjectsLock());
    Objects().erase(object);
}

// A clock running from its creation, in 100 ns units.
class Clock : public IKsReferenceClock {
  public:
    Clock() : start_(std::chrono::steady_clock::now()) {}
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG r = --refs_;
        if (r == 0) delete this;
        return r;
    }
    LONGLONG GetCorrelatedTime(LONGLONG* systemTime) override {
        auto now = std::chrono::steady_clock::now();
        LONGLONG t =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count() / 100;
        if (systemTime != nullptr)
            *systemTime =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch())
                    .count() /
                100;
        return t;
    }

  private:
    std::chrono::steady_clock::time_point start_;
    std::atomic<ULONG> refs_{1};
};

IKsReferenceClock* NewClock() {
    return new Clock;
}

void FreeFactories(DeviceRecord* device, bool onlyFreeOnStop) {
    auto& list = device->factories;
    for (auto it = list.begin(); it != list.end();) {
        if (!onlyFreeOnStop || ((*it)->flags & KSCREATE_ITEM_FREEONSTOP)) {
            ExFreePoolWithTag((*it)->createItem, kFactoryTag);
            it = list.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace ks::internal

using namespace ks::internal;

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                               PCWSTR refString, PVOID, ULONG createItemFlags, PVOID, PVOID,
                               PKSFILTERFACTORY* factory) {
    auto* device = static_cast<DeviceRecord*>(deviceObject->DeviceExtension);
    if (!device->mutex.HeldByCaller())
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "KsCreateFilterFactory without the device mutex (KsAcquireDevice first)");
    PVOID item = ExAllocatePoolWithTag(NonPagedPool, 16, kFactoryTag);
    if (item == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto record = std::make_unique<FactoryRecord>();
    record->descriptor = descriptor;
    record->reference = refString != nullptr ? std::u16string(refString) : std::u16string();
    record->flags = createItemFlags;
    record->device = device;
    record->createItem = item;
    std::lock_guard<std::mutex> g(device->listLock);
    device->factories.push_back(std::move(record));
    if (factory != nullptr) *factory = item;
    return STATUS_SUCCESS;
}

PKSDEVICE KsGetDevice(PVOID object) {
    std::lock_guard<std::mutex> g(ObjectsLock());
    auto it = Objects().find(object);
    return it == Objects().end() ? nullptr : &it->second->device;
}

PKSFILTER KsGetFilterFromIrp(PIRP irp) {
    if (irp == nullptr) return nullptr;
    return static_cast<PKSFILTER>(IoGetCurrentIrpStackLocation(irp)->FileObject);
}

PKSFILTER KsPinGetParentFilter(PKSPIN pin) {
    return &reinterpret_cast<PinRecord*>(pin)->filter->filter;
}

NTSTATUS _KsEdit(KSOBJECT_BAG bag, PVOID* pointer, ULONG newSize, ULONG oldSize, ULONG tag) {
    PVOID fresh = ExAllocatePoolWithTag(NonPagedPool, newSize, tag);
    if (fresh == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(fresh, 0, newSize);
    if (*pointer != nullptr) std::memcpy(fresh, *pointer, std::min(newSize, oldSize));
    NTSTATUS s = KsAddItemToObjectBag(bag, fresh, nullptr);
    if (!NT_SUCCESS(s)) {
        ExFreePoolWithTag(fresh, tag);
        return s;
    }
    // An earlier copy in the same bag is replaced; the original is not ours.
    if (*pointer != nullptr) ks::RemoveFromObjectBag(bag, *pointer, true);
    *pointer = fresh;
    return STATUS_SUCCESS;
}

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
    auto* r = reinterpret_cast<PinRecord*>(pin);
    std::lock_guard<std::mutex> g(r->lock);
    if (r->queue.empty()) return nullptr;
    if (r->pointerValid && r->pointerLocked)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "the leading-edge stream pointer taken again while it is still locked");
    r->pointer.Pin = pin;
    r->pointer.StreamHeader = r->queue.front();
    r->pointerValid = true;
    // Unlocked, the pointer names the frame but its data may not be touched
    // until KsStreamPointerLock succeeds.
    r->pointerLocked = state == KSSTREAM_POINTER_STATE_LOCKED;
    return &r->pointer;
}

NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER pointer) {
    auto* r = reinterpret_cast<PinRecord*>(pointer->Pin);
    std::lock_guard<std::mutex> g(r->lock);
    if (!r->pointerValid || pointer != &r->pointer)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "a stale stream pointer locked");
    if (r->pointerLocked)
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "a stream pointer locked twice");
    // Its frame may have gone back (the pin stopped) while it was unlocked.
    if (r->queue.empty() || r->queue.front() != pointer->StreamHeader) {
        r->pointerValid = false;
        return STATUS_DEVICE_NOT_READY;
    }
    r->pointerLocked = true;
    return STATUS_SUCCESS;
}

NTSTATUS KsStreamPointerUnlock(PKSSTREAM_POINTER pointer, BOOLEAN eject) {
    auto* r = reinterpret_cast<PinRecord*>(pointer->Pin);
    std::function<void(PKSSTREAM_HEADER)> observer;
    {
        std::lock_guard<std::mutex> g(r->lock);
        if (!r->pointerValid || pointer != &r->pointer)
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "a stale stream pointer unlocked: its frame was already handed back");
        if (!r->pointerLocked)
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "a stream pointer unlocked that is not locked (unlocked twice?)");
        r->pointerLocked = false;
        if (!eject) {
            r->signal.notify_all();
            return STATUS_SUCCESS;
        }
        r->queue.pop_front();  // the locked leading edge is the queue's front
        r->pointerValid = false;
        ++r->ejected;
        observer = r->onHandBack;
    }
    // The observer sees the frame on the processing thread, before any
    // waiter can take it and while the minidriver's process call is still
    // the one that filled it.
    if (observer) observer(pointer->StreamHeader);
    {
        std::lock_guard<std::mutex> g(r->lock);
        r->completed.push_back(pointer->StreamHeader);
    }
    r->signal.notify_all();
    return STATUS_SUCCESS;
}

namespace ks::internal {
// A processing request, the pin's lock held. A pin that processes only in
// the run state keeps a request made before it runs (during the transition
// to run, say) and processes when it gets there.
void RequestProcessingLocked(PinRecord* r) {
    if ((r->pin.Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) &&
        r->pin.DeviceState != KSSTATE_RUN)
        r->deferred = true;
    else
        r->requested = true;
    r->signal.notify_all();
}
}  // namespace ks::internal

namespace {
FilterRecord* ControlOf(PVOID object) {
    std::lock_guard<std::mutex> g(ObjectsLock());
    auto it = ControlOwners().find(object);
    if (it == ControlOwners().end())
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "KsAcquireControl of an object that is not a filter or pin");
    return it->second;
}
}  // namespace

void KsAcquireControl(PVOID object) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "KsAcquireControl");
    if (InProcessDispatch())
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "KsAcquireControl inside a process dispatch: a state change holding the "
                         "mutex waits for "
                         "processing to end, a deadlock");
    ControlOf(object)->control.Lock("filter control mutex");
    ++ControlMutexesHeld();
}

void KsReleaseControl(PVOID object) {
    --ControlMutexesHeld();
    ControlOf(object)->control.Unlock("filter control mutex");
}

void KsPinAttemptProcessing(PKSPIN pin, BOOLEAN) {
    auto* r = reinterpret_cast<PinRecord*>(pin);
    std::lock_guard<std::mutex> g(r->lock);
    RequestProcessingLocked(r);
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* clock) {
    auto* r = reinterpret_cast<PinRecord*>(pin);
    std::lock_guard<std::mutex> g(r->lock);
    if (r->clock == nullptr) return STATUS_UNSUCCESSFUL;
    r->clock->AddRef();
    *clock = r->clock;
    return STATUS_SUCCESS;
}
