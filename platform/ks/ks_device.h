// AVStream device side: descriptors and dispatch table, KSDEVICE, object
// bags, the device lock and driver initialisation.
#pragma once

#include <functional>
#include <string>

#include "platform/kernel/io.h"
#include "platform/ks/ks_types.h"

struct KSDEVICE;
using PKSDEVICE = KSDEVICE*;
struct KSFILTER_DESCRIPTOR;
struct CM_RESOURCE_LIST;
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;

enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3
};
enum SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking = 1 };
enum POWER_ACTION { PowerActionNone = 0 };

struct DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    union {
        ULONG Capabilities;  // the capability bit-field word as one value
        struct {
            ULONG DeviceD1 : 1;
            ULONG DeviceD2 : 1;
            ULONG LockSupported : 1;
            ULONG EjectSupported : 1;
            ULONG Removable : 1;
            ULONG DockDevice : 1;
            ULONG UniqueID : 1;
            ULONG SilentInstall : 1;
            ULONG RawDeviceOK : 1;
            ULONG SurpriseRemovalOK : 1;
            ULONG WakeFromD0 : 1;
            ULONG WakeFromD1 : 1;
            ULONG WakeFromD2 : 1;
            ULONG WakeFromD3 : 1;
            ULONG HardwareDisabled : 1;
            ULONG NonDynamic : 1;
            ULONG WarmEjectSupported : 1;
            ULONG NoDisplayInUI : 1;
            ULONG Reserved1 : 1;
            ULONG WakeFromInterrupt : 1;
            ULONG SecureDevice : 1;
            ULONG ChildOfVgaEnabledBridge : 1;
            ULONG DecodeIoOnBoot : 1;
            ULONG Reserved : 9;
        } Bits;
    };
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[7];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
};
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8);

struct KSDEVICE_DISPATCH {
    NTSTATUS (*Add)(PKSDEVICE device);
    // clang-format 14 wraps a long function-pointer member differently on each run.
    // clang-format off
    NTSTATUS (*Start)(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                      PCM_RESOURCE_LIST untranslated);
    // clang-format on
    NTSTATUS (*PostStart)(PKSDEVICE device);
    NTSTATUS (*QueryStop)(PKSDEVICE device, PIRP irp);
    void (*CancelStop)(PKSDEVICE device, PIRP irp);
    void (*Stop)(PKSDEVICE device, PIRP irp);
    NTSTATUS (*QueryRemove)(PKSDEVICE device, PIRP irp);
    void (*CancelRemove)(PKSDEVICE device, PIRP irp);
    void (*Remove)(PKSDEVICE device, PIRP irp);
    NTSTATUS (*QueryCapabilities)(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES caps);
    void (*SurpriseRemoval)(PKSDEVICE device, PIRP irp);
    // clang-format off
    NTSTATUS (*QueryPower)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE deviceTo,
                           DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                           SYSTEM_POWER_STATE systemFrom, POWER_ACTION action);
    // clang-format on
    void (*SetPower)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
    NTSTATUS (*QueryInterface)(PKSDEVICE device, PIRP irp);
};

struct KSDEVICE_DESCRIPTOR {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
};

using KSOBJECT_BAG = PVOID;
using PFNKSFREE = void (*)(PVOID data);

struct KSDEVICE {
    const KSDEVICE_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    BOOLEAN Started;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
};

using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                            const KSDEVICE_DESCRIPTOR* descriptor);
// The device mutex: not recursive, taken at PASSIVE_LEVEL inside a critical
// region, and never by a thread that holds a filter control mutex.
void KsAcquireDevice(PKSDEVICE device);
void KsReleaseDevice(PKSDEVICE device);
// Adds an item to a bag; the free callback (or a plain pool free when it is
// null) runs when the bag's object goes away. The caller holds the bag's
// mutex: the device mutex for a device's bag, the filter control mutex for
// a filter's or its pins'.
NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free);

namespace ks {

// The device descriptor a driver handed to KsInitializeDriver, or null.
const KSDEVICE_DESCRIPTOR* DriverDescriptor(PDRIVER_OBJECT driver);
// Makes the next n bag insertions fail with the given status.
void RefuseBagItems(int n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// Bag management for the host: create and free every item of a bag. A bag
// made with `held` checks, on every insertion, that the caller holds the
// mutex it names.
KSOBJECT_BAG CreateObjectBag(std::function<bool()> held = nullptr, const char* mutexName = nullptr);
void FreeObjectBag(KSOBJECT_BAG bag);
size_t ObjectBagCount(KSOBJECT_BAG bag);
bool ObjectBagContains(KSOBJECT_BAG bag, PVOID item);
// Takes an item out of a bag, freeing it (with its callback) when asked.
bool RemoveFromObjectBag(KSOBJECT_BAG bag, PVOID item, bool free);
// Devices, filters, pins, bags and processing threads still alive:
// "2 pins; 1 bag" for a leak message, empty when there are none.
std::string DescribeLiveRecords();

}  // namespace ks
