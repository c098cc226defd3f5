// The simulated camera on the bus with the driver's device added and
// started, and its capture filter open: what the fuzz targets that talk to
// a running camera share. A target keeps one for the whole run (a start
// sends the sensor set-up, too slow to repeat for every input); the checks
// that every input leaves the device usable are the targets' own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "control/camera_properties.h"
#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "platform/kernel/io.h"
#include "platform/kernel/registry.h"
#include "platform/ks/device_host.h"
#include "platform/ks/ks_client.h"
#include "platform/usb/bus_driver.h"
#include "sim/simulated_camera.h"
#include "tests/support/frame_transfer_rig.h"

namespace fuzzrig {

// A broken promise of the driver: the fuzzer reports it as a crash.
[[noreturn]] inline void Fault(const char* what) {
    std::fprintf(stderr, "fault found: %s\n", what);
    std::abort();
}

class StartedCamera {
public:
    StartedCamera() {
        sim.SetRecording(false);
        bus = std::make_unique<usb::BusDriver>(sim);
        bus->KeepUrbLog(false);
        kernel::registry::SetDriverKeyPath(bus->DeviceObject(), kernel::registry::CameraKeyPath(0));
        NTSTATUS s = STATUS_UNSUCCESSFUL;
        device = host.Add(bus->DeviceObject(), &s);
        if (!NT_SUCCESS(s) || !NT_SUCCESS(device->Start())) Fault("the simulated camera does not start");
        filter = ks::Filter::Open(*device, u"GLOBAL", &s);
        if (!NT_SUCCESS(s)) Fault("the capture filter does not open");
    }
    ~StartedCamera() {
        filter.reset();
        device->Remove();
        bus->Drain();
        bus.reset();
    }
    CameraDevice& Camera() { return *static_cast<CameraDevice*>(device->Device()->Context); }

    sim::SimulatedCamera sim;
    std::unique_ptr<usb::BusDriver> bus;
    ks::DeviceHost host{DriverEntry};
    std::unique_ptr<ks::HostedDevice> device;
    std::unique_ptr<ks::Filter> filter;
};

// The simulated camera with the driver's device added and configured as a
// start configures it, ready to capture frames into its own buffer.
class ConfiguredCamera {
public:
    ConfiguredCamera() {
        if (!NT_SUCCESS(frames.Prepare())) Fault("the simulated camera is not configured");
    }
    ~ConfiguredCamera() {
        Camera().DeconfigureDevice();
        device->Remove();
        bus->Drain();
        bus.reset();
    }
    CameraDevice& Camera() { return *static_cast<CameraDevice*>(device->Device()->Context); }

    sim::SimulatedCamera sim;
    std::unique_ptr<usb::BusDriver> bus;
    ks::DeviceHost host{DriverEntry};
    std::unique_ptr<ks::HostedDevice> device = Plug();
    FrameTransferRig frames{sim, *bus, Camera(), Fault};

private:
    // The camera on the bus and the driver's device added to it.
    std::unique_ptr<ks::HostedDevice> Plug() {
        bus = std::make_unique<usb::BusDriver>(sim);
        bus->KeepUrbLog(false);
        NTSTATUS s = STATUS_UNSUCCESSFUL;
        auto added = host.Add(bus->DeviceObject(), &s);
        if (!NT_SUCCESS(s)) Fault("the device is not added");
        return added;
    }
};

// Reads the input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    size_t Left() const { return size_ - at_; }
    const uint8_t* Here() const { return data_ + at_; }
    void Skip(size_t n) { at_ += std::min(n, Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzzrig
