// A camera added through the device host on a lower device that answers
// nothing: enough for the parts of the driver that do not talk USB.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "platform/ks/device_host.h"

class AddedCamera : public testing::Test {
  protected:
    void SetUp() override {
        lowerDriver_ = kernel::CreateDriverObject("bus");
        lower_ = kernel::CreateDeviceObject(lowerDriver_, 1, nullptr);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device_ = host_.Add(lower_, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override {
        device_.reset();
        kernel::DeleteDeviceObject(lower_);
        kernel::DeleteDriverObject(lowerDriver_);
    }
    CameraDevice& Camera() { return *static_cast<CameraDevice*>(device_->Device()->Context); }

    ks::DeviceHost host_{DriverEntry};
    PDRIVER_OBJECT lowerDriver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    std::unique_ptr<ks::HostedDevice> device_;
};
