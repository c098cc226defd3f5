// A camera configured as a start configures it, ready to capture raw frames
// into a buffer of its own: what the frame-transfer tests, the broken-frame
// soak and the camera-reply fuzz target share. It works on a camera someone
// else assembled (simulated camera, bus, device) and reports a broken promise
// of the driver through the function it is given, so it needs no test
// framework.
#pragma once

#include <cstdint>
#include <cstring>

#include "driver/camera_device.h"
#include "platform/kernel/io.h"
#include "platform/kernel/pool.h"
#include "platform/usb/bus_driver.h"
#include "sim/simulated_camera.h"

class FrameTransferRig {
  public:
    using Report = void (*)(const char* what);

    FrameTransferRig(sim::SimulatedCamera& sim, usb::BusDriver& bus, CameraDevice& camera,
                     Report report)
        : sim_(sim), bus_(bus), camera_(camera), report_(report) {}
    FrameTransferRig(const FrameTransferRig&) = delete;
    FrameTransferRig& operator=(const FrameTransferRig&) = delete;
    ~FrameTransferRig() {
        if (buffer != nullptr) ExFreePoolWithTag(buffer, BUFFER_TAG);
    }

    // Probe and configure as a start does, without the sensor set-up (not
    // what is examined here), prepare the capture and read away what an
    // earlier owner left on the frame pipe, so each fault meets the frame it
    // is meant for. The status of the configuration when it fails.
    NTSTATUS Prepare() {
        sim_.RecordPauses(false);
        NTSTATUS s = camera_.ProbeDeviceDescriptor();
        if (NT_SUCCESS(s)) s = camera_.ConfigureDevice();
        if (!NT_SUCCESS(s)) return s;
        camera_.SensorInitCount = 2;
        camera_.Exposure = 64;
        camera_.PrepareCapture();
        buffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, camera_.RawFrameSize, BUFFER_TAG));
        camera_.DrainFramePipe(buffer);
        return STATUS_SUCCESS;
    }

    // One frame into the buffer: whether it came whole.
    bool Capture() {
        BOOLEAN ok = 2;
        camera_.CaptureFrame(buffer, &ok);
        if (ok != FALSE && ok != TRUE) report_("a capture reported neither success nor failure");
        return ok == TRUE;
    }

    // Every request of the frame back from the bus, completed and freed.
    void CheckSettled() {
        bus_.Drain();
        if (bus_.PendingTransfers() != 0) report_("requests left with the bus");
        if (camera_.TransferSlots != nullptr || camera_.FrameMdl != nullptr)
            report_("the frame's records kept");
        if (kernel::LiveIrps() != 0 || kernel::LiveMdls() != 0) report_("IRPs or MDLs left behind");
        if (sim_.PendingOn(sim_.FrameEndpoint()) != 0) report_("reads left queued in the camera");
    }

    // The buffer holds frame `index` of the scene, byte for byte.
    bool Holds(uint32_t index) {
        const auto expected = sim_.ExpectedImage(index);
        return std::memcmp(buffer, expected.data(), expected.size()) == 0;
    }
    // The buffer holds the frame the camera sent last.
    bool HoldsLastFrame() { return Holds(sim_.FramesDelivered() - 1); }

    PUCHAR buffer = nullptr;

  private:
    sim::SimulatedCamera& sim_;
    usb::BusDriver& bus_;
    CameraDevice& camera_;
    Report report_;
};
