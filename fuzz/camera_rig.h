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
#include "host/camera_stack.h"
#include "platform/kernel/io.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/registry.h"
#include "platform/ks/device_host.h"
#include "platform/ks/ks_client.h"
#include "platform/usb/bus_driver.h"
#include "sim/simulated_camera.h"
#include "usb/frame_transfer.h"

namespace fuzzrig {

// A broken promise of the driver: the fuzzer reports it as a crash.
[[noreturn]] inline void Fault(const char* what) {
    std::fprintf(stderr, "fault found: %s\n", what);
    std::abort();
}

class StartedCamera {
public:
    StartedCamera() {
        host::StackOptions o;
        o.simulatedFps = 0;
        o.keyPath = kernel::registry::CameraKeyPath(0);
        try {
            stack = host::CameraStack::Open(std::move(o));
        } catch (const host::StackError& e) {
            std::fprintf(stderr, "%s\n", e.what());
            Fault("the simulated camera does not start");
        }
    }
    CameraDevice& Camera() { return stack->Camera(); }
    sim::SimulatedCamera& Sim() { return *stack->Simulated(); }
    ks::Filter& Filter() { return *stack->Filter(); }

    std::unique_ptr<host::CameraStack> stack;
};

// The simulated camera with the driver's device added and configured as a
// start configures it, ready to capture frames into its own buffer.
class ConfiguredCamera {
public:
    ConfiguredCamera() {
        sim.RecordPauses(false);
        bus = std::make_unique<usb::BusDriver>(sim);
        bus->KeepUrbLog(false);
        NTSTATUS s = STATUS_UNSUCCESSFUL;
        device = host.Add(bus->DeviceObject(), &s);
        if (!NT_SUCCESS(s)) Fault("the device is not added");
        s = Camera().ProbeDeviceDescriptor();
        if (!NT_SUCCESS(s) || !NT_SUCCESS(Camera().ConfigureDevice())) Fault("the simulated camera is not configured");
        Camera().SensorInitCount = 2;  // the sensor set-up is not what is searched here
        Camera().Exposure = 64;
        Camera().PrepareCapture();
        buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Camera().RawFrameSize, BUFFER_TAG));
        Camera().DrainFramePipe(buffer);
    }
    ~ConfiguredCamera() {
        ExFreePoolWithTag(buffer, BUFFER_TAG);
        Camera().DeconfigureDevice();
        device->Remove();
        bus->Drain();
        bus.reset();
    }
    CameraDevice& Camera() { return *static_cast<CameraDevice*>(device->Device()->Context); }
    // One frame into the buffer: whether it came whole.
    bool Capture() {
        BOOLEAN ok = 2;
        Camera().CaptureFrame(buffer, &ok);
        if (ok != 0 && ok != 1) Fault("a capture reported neither success nor failure");
        return ok == 1;
    }
    // Every request of the frame back from the bus, completed and freed.
    void CheckSettled() {
        bus->Drain();
        if (bus->PendingTransfers() != 0) Fault("requests left with the bus");
        if (Camera().TransferSlots != nullptr || Camera().FrameMdl != nullptr) Fault("the frame's records kept");
        if (kernel::LiveIrps() != 0 || kernel::LiveMdls() != 0) Fault("IRPs or MDLs left behind");
        if (sim.PendingOn(sim.FrameEndpoint()) != 0) Fault("reads left queued in the camera");
    }

    sim::SimulatedCamera sim;
    std::unique_ptr<usb::BusDriver> bus;
    ks::DeviceHost host{DriverEntry};
    std::unique_ptr<ks::HostedDevice> device;
    PUCHAR buffer = nullptr;
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
