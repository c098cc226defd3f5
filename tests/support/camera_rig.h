// A camera on the simulated device: the simulated camera behind the bus
// driver, and the driver's device added on the bus through the device host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "driver/camera_device.h"
#include "host/camera_stack.h"
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
inline void ReportTestFailure(const char* what) {
    ADD_FAILURE() << what;
}

class CameraRig {
  public:
    explicit CameraRig(sim::Layout layout = sim::Layout::Standard)
        : CameraRig(std::make_unique<sim::SimulatedCamera>(layout)) {}
    explicit CameraRig(std::vector<uint8_t> configuration)
        : CameraRig(std::make_unique<sim::SimulatedCamera>(std::move(configuration))) {}
    ~CameraRig() { Unplug(); }

    CameraDevice& Camera() { return stack_->Camera(); }
    sim::SimulatedCamera& Sim() { return *stack_->Simulated(); }
    usb::BusDriver& Bus() { return stack_->Bus(); }
    ks::HostedDevice& Device() { return stack_->Device(); }
    ks::DeviceHost& Host() { return stack_->Host(); }

    // Probe and configure as a start does (for the parts that come before it).
    NTSTATUS Configure() {
        NTSTATUS s = Camera().ProbeDeviceDescriptor();
        return NT_SUCCESS(s) ? Camera().ConfigureDevice() : s;
    }

    void Unplug() {
        if (!stack_) return;
        stack_->RemoveDevice();
        EXPECT_EQ(stack_->Bus().PendingTransfers(), 0u) << "transfers left pending in the bus";
        stack_.reset();
    }

  private:
    explicit CameraRig(std::unique_ptr<sim::SimulatedCamera> camera) {
        host::StackOptions o;
        o.simulated = std::move(camera);
        o.stage = host::Stage::Added;
        o.record = true;
        o.keyPath = kernel::registry::CameraKeyPath(0);
        o.keepKeysOnClose = true;
        stack_ = host::CameraStack::Open(std::move(o));
    }

    std::unique_ptr<host::CameraStack> stack_;
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
