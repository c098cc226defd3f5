// A camera on the simulated device: the simulated camera behind the bus
// driver, and the driver's device added on the bus through the device host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "platform/kernel/registry.h"
#include "platform/ks/device_host.h"
#include "platform/usb/bus_driver.h"
#include "sim/simulated_camera.h"
#include "tests/support/driver_tunables.h"

// The driver-wide tunables go back to their defaults after every test, so a
// test that stops early on a failure does not slow or break the next.
class RestoreDriverGlobals : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { tunables_.emplace(); }
    void OnTestEnd(const testing::TestInfo&) override { tunables_.reset(); }
    std::optional<DriverTunables> tunables_;
};
inline const bool kDriverGlobalsRestored = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new RestoreDriverGlobals);
    return true;
}();

// What a rig without a test framework (FrameTransferRig) finds wrong fails
// the running test, which goes on.
inline void ReportTestFailure(const char* what) { ADD_FAILURE() << what; }

class CameraRig {
public:
    explicit CameraRig(sim::Layout layout = sim::Layout::Standard)
        : sim_(std::make_unique<sim::SimulatedCamera>(layout)) {
        Plug();
    }
    explicit CameraRig(std::vector<uint8_t> configuration)
        : sim_(std::make_unique<sim::SimulatedCamera>(std::move(configuration))) {
        Plug();
    }
    ~CameraRig() { Unplug(); }

    CameraDevice& Camera() { return *static_cast<CameraDevice*>(device_->Device()->Context); }
    sim::SimulatedCamera& Sim() { return *sim_; }
    usb::BusDriver& Bus() { return *bus_; }
    ks::HostedDevice& Device() { return *device_; }
    ks::DeviceHost& Host() { return host_; }

    // Probe and configure as a start does (for the parts that come before it).
    NTSTATUS Configure() {
        NTSTATUS s = Camera().ProbeDeviceDescriptor();
        return NT_SUCCESS(s) ? Camera().ConfigureDevice() : s;
    }

    void Unplug() {
        if (!bus_) return;
        if (device_ && !device_->Removed()) {
            // A started device is stopped as PnP would; one configured by hand
            // is unconfigured as a stop does.
            if (device_->Device()->Started)
                device_->Stop();
            else if (Camera().InterfaceInfo != nullptr || Camera().ConfigurationDescriptor != nullptr)
                Camera().DeconfigureDevice();
            device_->Remove();
        }
        bus_->Drain();
        EXPECT_EQ(bus_->PendingTransfers(), 0u) << "transfers left pending in the bus";
        bus_.reset();
    }

private:
    void Plug() {
        bus_ = std::make_unique<usb::BusDriver>(*sim_);
        kernel::registry::SetDriverKeyPath(bus_->DeviceObject(), kernel::registry::CameraKeyPath(0));
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device_ = host_.Add(bus_->DeviceObject(), &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }

    std::unique_ptr<sim::SimulatedCamera> sim_;
    std::unique_ptr<usb::BusDriver> bus_;
    ks::DeviceHost host_{DriverEntry};
    std::unique_ptr<ks::HostedDevice> device_;
};

// A camera configured as a start configures it, with an empty record.
class ConfiguredCamera : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
        rig.Sim().ClearRecord();
    }
    CameraDevice& C() { return rig.Camera(); }
    CameraRig rig;
};
