// The device host: the stand-in for the PnP manager and AVStream's device
// handling. It loads a driver through its entry point, brings cameras in on
// a lower device object (Add, then Start), asks their capabilities, stops
// them and removes them.
#pragma once

#include <memory>

#include "platform/ks/ks_internal.h"

namespace ks {

class HostedDevice;

class DeviceHost {
  public:
    explicit DeviceHost(PDRIVER_INITIALIZE driverEntry);
    ~DeviceHost();
    DeviceHost(const DeviceHost&) = delete;
    DeviceHost& operator=(const DeviceHost&) = delete;

    NTSTATUS DriverStatus() const { return driverStatus_; }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // Creates the KSDEVICE bound to the lower device object and calls the
    // driver's Add. On failure nothing is left and *status says why.
    std::unique_ptr<HostedDevice> Add(PDEVICE_OBJECT lowerDevice, NTSTATUS* status);

  private:
    PDRIVER_OBJECT driver_;
    NTSTATUS driverStatus_;
};

class HostedDevice {
  public:
    ~HostedDevice();
    HostedDevice(const HostedDevice&) = delete;
    HostedDevice& operator=(const HostedDevice&) = delete;

    PKSDEVICE Device() { return &record_->device; }
    // PnP start: the Start dispatch (if any); Started is set when it succeeds.
    NTSTATUS Start();
    // Fills capabilities as a bus would (removable, surprise removal allowed)
    // and hands them to the QueryCapabilities dispatch.
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* caps);
    // PnP stop: the Stop dispatch (if any); Started is cleared.
    void Stop();
    // Removal: frees the device's bag and the device. Stops a started device first.
    void Remove();
    bool Removed() const { return record_ == nullptr; }

  private:
    friend class DeviceHost;
    HostedDevice() = default;
    internal::DeviceRecord* record_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace ks
