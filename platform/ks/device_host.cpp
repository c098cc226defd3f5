// Device arrival, start, stop and removal, as the PnP manager and AVStream
// drive them.
#include "platform/ks/device_host.h"

#include <cstring>

#include "platform/kernel/pool.h"
#include "platform/ks/ks_internal.h"

namespace ks {
namespace internal {
void FreeFactories(DeviceRecord* device, bool onlyFreeOnStop);
}

DeviceHost::DeviceHost(PDRIVER_INITIALIZE driverEntry) {
    driver_ = kernel::CreateDriverObject("norvikcam");
    UNICODE_STRING path{};
    driverStatus_ = driverEntry(driver_, &path);
}

DeviceHost::~DeviceHost() {
    ReleaseDriverRecord(driver_);
    kernel::DeleteDriverObject(driver_);
}

std::unique_ptr<HostedDevice> DeviceHost::Add(PDEVICE_OBJECT lowerDevice, NTSTATUS* status) {
    const KSDEVICE_DESCRIPTOR* descriptor = DriverDescriptor(driver_);
    if (!NT_SUCCESS(driverStatus_) || descriptor == nullptr) {
        *status = STATUS_INVALID_DEVICE_STATE;
        return nullptr;
    }
    std::unique_ptr<HostedDevice> hosted(new HostedDevice);
    hosted->record_ = new internal::DeviceRecord;
    ++internal::Live().devices;
    hosted->fdo_ = kernel::CreateDeviceObject(
        driver_, static_cast<CCHAR>(lowerDevice->StackSize + 1), hosted->record_);
    KSDEVICE& d = hosted->record_->device;
    std::memset(&d, 0, sizeof d);
    d.Descriptor = descriptor;
    internal::DeviceRecord* record = hosted->record_;
    d.Bag = CreateObjectBag([record] { return record->mutex.HeldByCaller(); }, "the device mutex");
    d.FunctionalDeviceObject = hosted->fdo_;
    // A USB function device sits right on its bus device: the physical device
    // object and the next one down are the same.
    d.PhysicalDeviceObject = lowerDevice;
    d.NextDeviceObject = lowerDevice;
    d.SystemPowerState = PowerSystemWorking;
    d.DevicePowerState = PowerDeviceD0;
    NTSTATUS s = STATUS_SUCCESS;
    if (descriptor->Dispatch != nullptr && descriptor->Dispatch->Add != nullptr)
        s = descriptor->Dispatch->Add(&d);
    *status = s;
    if (!NT_SUCCESS(s)) {
        hosted->Remove();
        return nullptr;
    }
    return hosted;
}

HostedDevice::~HostedDevice() {
    if (record_ != nullptr) Remove();
}

NTSTATUS HostedDevice::Start() {
    KSDEVICE& d = record_->device;
    NTSTATUS s = STATUS_SUCCESS;
    if (d.Descriptor->Dispatch != nullptr && d.Descriptor->Dispatch->Start != nullptr) {
        PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
        if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        s = d.Descriptor->Dispatch->Start(&d, irp, nullptr, nullptr);
        IoFreeIrp(irp);
    }
    if (NT_SUCCESS(s)) d.Started = TRUE;
    return s;
}

NTSTATUS HostedDevice::QueryCapabilities(DEVICE_CAPABILITIES* caps) {
    KSDEVICE& d = record_->device;
    std::memset(caps, 0, sizeof *caps);
    caps->Size = sizeof *caps;
    caps->Version = 1;
    caps->Bits.Removable = 1;
    caps->Bits.SurpriseRemovalOK = 1;
    caps->Bits.UniqueID = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    caps->DeviceWake = PowerDeviceUnspecified;
    if (d.Descriptor->Dispatch == nullptr || d.Descriptor->Dispatch->QueryCapabilities == nullptr)
        return STATUS_SUCCESS;
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS s = d.Descriptor->Dispatch->QueryCapabilities(&d, irp, caps);
    IoFreeIrp(irp);
    return s;
}

void HostedDevice::Stop() {
    KSDEVICE& d = record_->device;
    if (d.Descriptor->Dispatch != nullptr && d.Descriptor->Dispatch->Stop != nullptr) {
        PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
        d.Descriptor->Dispatch->Stop(&d, irp);
        if (irp != nullptr) IoFreeIrp(irp);
    }
    d.Started = FALSE;
    // Factories created to go away at stop do so now.
    internal::FreeFactories(record_, true);
}

void HostedDevice::Remove() {
    if (record_ == nullptr) return;
    if (record_->device.Started) Stop();
    internal::FreeFactories(record_, false);
    FreeObjectBag(record_->device.Bag);
    delete record_;
    --internal::Live().devices;
    record_ = nullptr;
    kernel::DeleteDeviceObject(fdo_);
    fdo_ = nullptr;
}

}  // namespace ks
