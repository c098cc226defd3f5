// Object bags, the device lock and the driver descriptor registry.
#include "platform/ks/ks_device.h"

#include <mutex>
#include <vector>

#include "platform/kernel/bugcheck.h"
#include "platform/kernel/pool.h"
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
};

std::mutex refuseLock;
int refuseCount = 0;
NTSTATUS refuseStatus = STATUS_INSUFFICIENT_RESOURCES;

struct DriverRecord {
    const KSDEVICE_DESCRIPTOR* descriptor;
};

}  // namespace

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING, const KSDEVICE_DESCRIPTOR* descriptor) {
    if (driver == nullptr || descriptor == nullptr) return STATUS_INVALID_PARAMETER;
    delete static_cast<DriverRecord*>(driver->DriverExtension);
    driver->DriverExtension = new DriverRecord{descriptor};
    return STATUS_SUCCESS;
}

void KsAcquireDevice(PKSDEVICE device) { ks::internal::FromKsDevice(device)->mutex.lock(); }

void KsReleaseDevice(PKSDEVICE device) { ks::internal::FromKsDevice(device)->mutex.unlock(); }

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free) {
    {
        std::lock_guard<std::mutex> g(refuseLock);
        if (refuseCount > 0) {
            --refuseCount;
            return refuseStatus;
        }
    }
    auto* entry = static_cast<BagEntry*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BagEntry), kBagTag));
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

KSOBJECT_BAG CreateObjectBag() { return new ObjectBag; }

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
