// Object bags, the device lock and the driver descriptor registry.
#include "platform/ks/ks_device.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/bugcheck.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/ks/ks_internal.h"

namespace {

constexpr ULONG kBagTag = PoolTag("KSbg");

struct BagEntry {
    PVOID item;
    PFNKSFREE free;
};

// A bag's entry records come from the pool, so an injected allocation failure
// makes the bag refuse an item just as a starved system would.
struct ObjectBag {
    std::mutex lock;
    std::vector<BagEntry*> entries;
    std::function<bool()> held;  // whether the caller holds the bag's mutex
    const char* mutexName = nullptr;
};

std::mutex refuseLock;
int refuseCount = 0;
NTSTATUS refuseStatus = STATUS_INSUFFICIENT_RESOURCES;

struct DriverRecord {
    const KSDEVICE_DESCRIPTOR* descriptor;
};

}  // namespace

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING,
                            const KSDEVICE_DESCRIPTOR* descriptor) {
    if (driver == nullptr || descriptor == nullptr) return STATUS_INVALID_PARAMETER;
    delete static_cast<DriverRecord*>(driver->DriverExtension);
    driver->DriverExtension = new DriverRecord{descriptor};
    return STATUS_SUCCESS;
}

namespace ks::internal {

void OwnedMutex::Lock(const char* name) {
    if (HeldByCaller())
        kernel::BugCheck(
            kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
            std::string(name) +
                " acquired again by the thread that holds it: it would wait for itself");
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
}

void OwnedMutex::Unlock(const char* name) {
    if (!HeldByCaller())
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         std::string(name) + " released by a thread that does not hold it");
    owner_.store(std::thread::id{});
    mutex_.unlock();
}

int& ControlMutexesHeld() {
    thread_local int held = 0;
    return held;
}

LiveCounts& Live() {
    static auto* counts = new LiveCounts;
    return *counts;
}

}  // namespace ks::internal

void KsAcquireDevice(PKSDEVICE device) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "KsAcquireDevice");
    if (ks::internal::ControlMutexesHeld() > 0)
        kernel::BugCheck(
            kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
            "KsAcquireDevice by a thread holding a filter control mutex: AVStream takes the device "
            "mutex first, so this order can deadlock");
    KeEnterCriticalRegion();
    ks::internal::FromKsDevice(device)->mutex.Lock("device mutex");
}

void KsReleaseDevice(PKSDEVICE device) {
    ks::internal::FromKsDevice(device)->mutex.Unlock("device mutex");
    KeLeaveCriticalRegion();
}

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "KsAddItemToObjectBag");
    if (auto* b = static_cast<ObjectBag*>(bag); b->held && !b->held())
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         std::string("KsAddItemToObjectBag without ") + b->mutexName +
                             ", which guards this bag");
    {
        std::lock_guard<std::mutex> g(refuseLock);
        if (refuseCount > 0) {
            --refuseCount;
            return refuseStatus;
        }
    }
    auto* entry =
        static_cast<BagEntry*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BagEntry), kBagTag));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    entry->item = item;
    entry->free = free;
    auto* b = static_cast<ObjectBag*>(bag);
    std::lock_guard<std::mutex> g(b->lock);
    b->entries.push_back(entry);
    return STATUS_SUCCESS;
}

namespace ks {

const KSDEVICE_DESCRIPTOR* DriverDescriptor(PDRIVER_OBJECT driver) {
    auto* record = static_cast<DriverRecord*>(driver->DriverExtension);
    return record ? record->descriptor : nullptr;
}

void ReleaseDriverRecord(PDRIVER_OBJECT driver) {
    delete static_cast<DriverRecord*>(driver->DriverExtension);
    driver->DriverExtension = nullptr;
}

void RefuseBagItems(int n, NTSTATUS status) {
    std::lock_guard<std::mutex> g(refuseLock);
    refuseCount = n;
    refuseStatus = status;
}

KSOBJECT_BAG CreateObjectBag(std::function<bool()> held, const char* mutexName) {
    auto* b = new ObjectBag;
    b->held = std::move(held);
    b->mutexName = mutexName;
    ++internal::Live().bags;
    return b;
}

std::string DescribeLiveRecords() {
    std::string out;
    auto add = [&out](long n, const char* what) {
        if (n == 0) return;
        if (!out.empty()) out += "; ";
        out += std::to_string(n) + " " + what;
    };
    auto& live = internal::Live();
    add(live.devices.load(), "device(s)");
    add(live.filters.load(), "filter(s)");
    add(live.pins.load(), "pin(s)");
    add(live.bags.load(), "object bag(s)");
    add(live.workers.load(), "processing thread(s)");
    return out;
}

void FreeObjectBag(KSOBJECT_BAG bag) {
    auto* b = static_cast<ObjectBag*>(bag);
    std::vector<BagEntry*> entries;
    {
        std::lock_guard<std::mutex> g(b->lock);
        entries.swap(b->entries);
    }
    // Items go in the order they were added: the owner of a record is added
    // before the records it refers to.
    for (BagEntry* e : entries) {
        if (e->free != nullptr)
            e->free(e->item);
        else if (e->item != nullptr)
            ExFreePool(e->item);
        ExFreePoolWithTag(e, kBagTag);
    }
    delete b;
    --internal::Live().bags;
}

size_t ObjectBagCount(KSOBJECT_BAG bag) {
    auto* b = static_cast<ObjectBag*>(bag);
    std::lock_guard<std::mutex> g(b->lock);
    return b->entries.size();
}

bool RemoveFromObjectBag(KSOBJECT_BAG bag, PVOID item, bool free) {
    auto* b = static_cast<ObjectBag*>(bag);
    BagEntry* found = nullptr;
    {
        std::lock_guard<std::mutex> g(b->lock);
        for (auto it = b->entries.begin(); it != b->entries.end(); ++it)
            if ((*it)->item == item) {
                found = *it;
                b->entries.erase(it);
                break;
            }
    }
    if (found == nullptr) return false;
    if (free) {
        if (found->free != nullptr)
            found->free(found->item);
        else
            ExFreePool(found->item);
    }
    ExFreePoolWithTag(found, kBagTag);
    return true;
}

bool ObjectBagContains(KSOBJECT_BAG bag, PVOID item) {
    auto* b = static_cast<ObjectBag*>(bag);
    std::lock_guard<std::mutex> g(b->lock);
    for (BagEntry* e : b->entries)
        if (e->item == item) return true;
    return false;
}

}  // namespace ks
