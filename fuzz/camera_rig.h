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
#include "host/camera_stack.h"
#include "platform/kernel/io.h"
#include "platform/kernel/registry.h"
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
        if (!NT_SUCCESS(frames.Prepare())) Fault("the simulated camera is not configured");
    }
    CameraDevice& Camera() { return stack->Camera(); }

    std::unique_ptr<host::CameraStack> stack = Plug();
    sim::SimulatedCamera& sim = *stack->Simulated();
    FrameTransferRig frames{sim, stack->Bus(), Camera(), Fault};

  private:
    // The camera on the bus and the driver's device added to it; taking the
    // stack apart deconfigures and removes it.
    static std::unique_ptr<host::CameraStack> Plug() {
        host::StackOptions o;
        o.simulated = std::make_unique<sim::SimulatedCamera>();
        o.stage = host::Stage::Added;
        try {
            return host::CameraStack::Open(std::move(o));
        } catch (const host::StackError&) {
            Fault("the device is not added");
        }
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
