// Driver entry, Add, QueryCapabilities and the camera object's defaults.
#include <gtest/gtest.h>

#include "camera/readout_window.h"
#include "platform/kernel/pool.h"
#include "tests/driver/device_fixture.h"

namespace {

TEST(DriverEntryTest, HandsTheDeviceDescriptorToAvStream) {
    ks::DeviceHost host(DriverEntry);
    EXPECT_EQ(host.DriverStatus(), STATUS_SUCCESS);
    const KSDEVICE_DESCRIPTOR* d = ks::DriverDescriptor(host.Driver());
    ASSERT_EQ(d, &CameraDeviceDescriptor);
    EXPECT_EQ(d->FilterDescriptorsCount, 0u);
    EXPECT_EQ(d->FilterDescriptors, nullptr);
    EXPECT_EQ(d->Dispatch->Add, &AddDevice);
    EXPECT_EQ(d->Dispatch->QueryCapabilities, &QueryCapabilities);
    EXPECT_EQ(d->Dispatch->PostStart, nullptr);
    EXPECT_EQ(d->Dispatch->SurpriseRemoval, nullptr);
}

using DeviceAdd = AddedCamera;

TEST_F(DeviceAdd, FreshDeviceHoldsEveryDefault) {
    CameraDevice& c = Camera();
    PKSDEVICE d = device_->Device();
    EXPECT_EQ(c.Device, d);
    EXPECT_EQ(c.PhysicalDeviceObject, d->PhysicalDeviceObject);
    EXPECT_EQ(c.NextDeviceObject, lower_);
    EXPECT_EQ(c.FunctionalDeviceObject, d->FunctionalDeviceObject);
    EXPECT_EQ(c.RoiX, 0);
    EXPECT_EQ(c.RoiY, 0);
    EXPECT_EQ(c.RoiW, 2560);
    EXPECT_EQ(c.RoiH, 1920);
    EXPECT_EQ(c.OutputWidth, 2560);
    EXPECT_EQ(c.OutputHeight, 1920);
    EXPECT_EQ(c.SensorWidth, 2560);
    EXPECT_EQ(c.SensorHeight, 1920);
    EXPECT_EQ(c.Timeout, 3000u);
    EXPECT_EQ(c.Exposure, 0u);
    EXPECT_EQ(c.GlobalGain, 0u);
    EXPECT_EQ(c.RedGain, 128);
    EXPECT_EQ(c.GreenGain, 128);
    EXPECT_EQ(c.BlueGain, 128);
    EXPECT_EQ(c.Brightness, 255);
    EXPECT_EQ(c.Contrast, 10);
    EXPECT_EQ(c.Saturation, 10);
    EXPECT_EQ(c.Hue, 0);
    EXPECT_EQ(c.ColorEnable, 1);
    EXPECT_EQ(c.ColorCorrection, 1);
    EXPECT_EQ(c.WhiteBalance, 0);
    EXPECT_EQ(c.BayerPhase, 2);
    EXPECT_EQ(c.DefaultBayerPhase, 2);
    EXPECT_EQ(c.PinOpen, 0);
    EXPECT_EQ(c.ProcessingBusy, 0);
    EXPECT_EQ(c.Capture, nullptr);
    EXPECT_EQ(c.Processor, nullptr);
    EXPECT_EQ(c.ConfigurationDescriptor, nullptr);
    EXPECT_EQ(c.InterfaceInfo, nullptr);
    EXPECT_EQ(c.TransferSlots, nullptr);
    EXPECT_EQ(KeReadStateEvent(&c.TransferEvent), 0);
    EXPECT_EQ(c.TransferEvent.Header.Type, EventNotificationObject);
    EXPECT_NE(c.ReorderBuffer, nullptr);
    for (LONG v : c.RegisterShadow) ASSERT_EQ(v, 0);
    for (UCHAR b : c.PipeCommand.Bytes) ASSERT_EQ(b, 0);
    ULONG size = 1, offset = 1, pitch = 1;
    c.GetRawFrameSize(&size);
    c.GetRawDataOffset(&offset);
    c.GetRawPitch(&pitch);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(pitch, 0u);
}

TEST_F(DeviceAdd, ObjectAndReorderBufferAreTheBagsToFree) {
    EXPECT_EQ(kernel::pool::TagUsage(CAMERA_TAG).blocks, 1u);
    EXPECT_EQ(kernel::pool::TagUsage(CAMERA_TAG).bytes, sizeof(CameraDevice));
    EXPECT_EQ(kernel::pool::TagUsage(BUFFER_TAG).bytes, 5324800u);
    EXPECT_TRUE(ks::ObjectBagContains(device_->Device()->Bag, &Camera()));
    device_->Remove();
    EXPECT_EQ(kernel::pool::TagUsage(CAMERA_TAG).blocks, 0u);
    EXPECT_EQ(kernel::pool::TagUsage(BUFFER_TAG).blocks, 0u);
}

TEST_F(DeviceAdd, RawGeometryAppearsWithPrepareCapture) {
    CameraDevice& c = Camera();
    c.PrepareCapture();
    ULONG size = 0, offset = 1, pitch = 0;
    c.GetRawFrameSize(&size);
    c.GetRawDataOffset(&offset);
    c.GetRawPitch(&pitch);
    EXPECT_EQ(size, 5324800u);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(pitch, 2560u);
}

TEST_F(DeviceAdd, FrameCapturedCountsFrames) {
    for (int i = 0; i < 5; ++i) Camera().FrameCaptured();
    EXPECT_EQ(Camera().FrameNumber, 5u);
}

TEST_F(DeviceAdd, QueryCapabilitiesClearsOnlyRemovable) {
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(device_->QueryCapabilities(&caps), STATUS_SUCCESS);
    // The host offered Removable, SurpriseRemovalOK and UniqueID (bits 4, 9, 6).
    EXPECT_EQ(caps.Bits.Removable, 0u);
    EXPECT_EQ(caps.Capabilities, (1u << 9) | (1u << 6));
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
}

struct HostWithLower {
    PDRIVER_OBJECT driver = kernel::CreateDriverObject("bus");
    PDEVICE_OBJECT lower = kernel::CreateDeviceObject(driver, 1, nullptr);
    ~HostWithLower() {
        kernel::DeleteDeviceObject(lower);
        kernel::DeleteDriverObject(driver);
    }
};

TEST(DeviceAddFailure, RefusedBagItemReturnsTheBagsStatusAndLeavesNothing) {
    HostWithLower bus;
    ks::DeviceHost host(DriverEntry);
    ks::RefuseBagItems(1, STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(host.Add(bus.lower, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel::pool::TotalUsage().blocks, 0u) << kernel::pool::DescribeLive();

    ks::RefuseBagItems(1, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(host.Add(bus.lower, &status), nullptr);
    EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
}

TEST(DeviceAddFailure, EveryAllocationOfAddCanFail) {
    HostWithLower bus;
    ks::DeviceHost host(DriverEntry);
    // Add allocates the object, the reorder buffer and the bag entry; fail
    // each in turn.
    for (int n = 1; n <= 3; ++n) {
        kernel::pool::FailNth(n);
        NTSTATUS status = STATUS_PENDING;
        auto device = host.Add(bus.lower, &status);
        kernel::pool::ClearFaults();
        if (n == 2) {
            // A missing reorder buffer is not an error.
            ASSERT_NE(device, nullptr);
            EXPECT_EQ(static_cast<CameraDevice*>(device->Device()->Context)->ReorderBuffer,
                      nullptr);
        } else {
            EXPECT_EQ(device, nullptr);
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        }
        device.reset();
        EXPECT_EQ(kernel::pool::TotalUsage().blocks, 0u)
            << "n=" << n << " " << kernel::pool::DescribeLive();
    }
}

TEST(CameraRelease, NullFreesNothing) {
    const auto before = kernel::pool::TotalUsage();
    ReleaseCameraDevice(nullptr);  // the bag's callback may see a slot never filled
    EXPECT_EQ(kernel::pool::TotalUsage().blocks, before.blocks);
    EXPECT_EQ(kernel::pool::TotalUsage().bytes, before.bytes);
}

}  // namespace
