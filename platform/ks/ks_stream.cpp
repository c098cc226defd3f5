// Filters, pins, the frame queue and processing.
#include "platform/ks/ks_stream.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <unordered_map>

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
        LONGLONG t = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count() / 100;
        if (systemTime != nullptr)
            *systemTime = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() / 100;
        return t;
    }

private:
    std::chrono::steady_clock::time_point start_;
    std::atomic<ULONG> refs_{1};
};

IKsReferenceClock* NewClock() { return new Clock; }

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

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor, PCWSTR refString,
                               PVOID, ULONG createItemFlags, PVOID, PVOID, PKSFILTERFACTORY* factory) {
    auto* device = static_cast<DeviceRecord*>(deviceObject->DeviceExtension);
    PVOID item = ExAllocatePoolWithTag(NonPagedPool, 16, kFactoryTag);
    if (item == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto record = std::make_unique<FactoryRecord>();
    record->descriptor = descriptor;
    record->reference = refString != nullptr ? std::u16string(refString) : std::u16string();
    record->flags = createItemFlags;
    record->device = device;
    record->createItem = item;
    std::lock_guard<std::recursive_mutex> g(device->mutex);
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

PKSFILTER KsPinGetParentFilter(PKSPIN pin) { return &reinterpret_cast<PinRecord*>(pin)->filter->filter; }

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

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE) {
    auto* r = reinterpret_cast<PinRecord*>(pin);
    std::lock_guard<std::mutex> g(r->lock);
    if (r->queue.empty()) return nullptr;
    r->pointer.Pin = pin;
    r->pointer.StreamHeader = r->queue.front();
    return &r->pointer;
}

NTSTATUS KsStreamPointerUnlock(PKSSTREAM_POINTER pointer, BOOLEAN eject) {
    auto* r = reinterpret_cast<PinRecord*>(pointer->Pin);
    std::function<void(PKSSTREAM_HEADER)> observer;
    {
        std::lock_guard<std::mutex> g(r->lock);
        if (!eject || r->queue.empty() || r->queue.front() != pointer->StreamHeader) {
            r->signal.notify_all();
            return STATUS_SUCCESS;
        }
        r->queue.pop_front();
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

void KsPinAttemptProcessing(PKSPIN pin, BOOLEAN) {
    auto* r = reinterpret_cast<PinRecord*>(pin);
    {
        std::lock_guard<std::mutex> g(r->lock);
        if ((pin->Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) && pin->DeviceState != KSSTATE_RUN) return;
        r->requested = true;
    }
    r->signal.notify_all();
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* clock) {
    auto* r = reinterpret_cast<PinRecord*>(pin);
    std::lock_guard<std::mutex> g(r->lock);
    if (r->clock == nullptr) return STATUS_UNSUCCESSFUL;
    r->clock->AddRef();
    *clock = r->clock;
    return STATUS_SUCCESS;
}
