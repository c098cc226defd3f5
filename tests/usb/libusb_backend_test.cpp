// The libusb device under the driver, on libusb as the library reports what
// the kernel saw (tests/usb/libusb_standin.h), with the simulated camera in
// the socket: the real USB path on a host without USB, its answers held
// against the camera's own record.
#include <gtest/gtest.h>

#include <memory>

#include "driver/camera_device.h"
#include "host/camera_stack.h"
#include "sim/simulated_camera.h"
#include "tests/usb/libusb_standin.h"

namespace {

using Kind = sim::Exchange::Kind;

// A camera in the socket, opened as `--device usb` opens it and configured
// as a start configures it, with an empty record.
class LibusbBackEnd : public testing::Test {
  protected:
    void SetUp() override {
        camera.RecordPauses(false);
        host::StackOptions o;
        o.device = "usb";
        o.stage = host::Stage::Added;
        stack = host::CameraStack::Open(std::move(o));
        ASSERT_NE(stack->Real(), nullptr);
        ASSERT_EQ(stack->Camera().ProbeDeviceDescriptor(), STATUS_SUCCESS);
        ASSERT_EQ(stack->Camera().ConfigureDevice(), STATUS_SUCCESS);
        camera.ClearRecord();
    }
    void TearDown() override {
        if (stack) {
            EXPECT_EQ(stack->Close(), "");
        }
        stack.reset();
        EXPECT_EQ(libusb_standin::TransfersInFlight(), 0u);
    }
    CameraDevice& C() { return stack->Camera(); }

    sim::SimulatedCamera camera;
    libusb_standin::Socket socket{camera};
    std::unique_ptr<host::CameraStack> stack;
};

// A halted endpoint stalls the transfer, and the libusb device says so: the
// driver takes it for the halt it is, clears the halt and sends the block
// again, on the command pipe and on the reply pipe alike. (A stall taken
// for a transaction error would fail the block and leave the pipe halted.)
TEST_F(LibusbBackEnd, AStalledEndpointIsAStallAndTheDriverClearsTheHalt) {
    EXPECT_EQ(stack->Identity(), "port-1-4");
    camera.HaltEndpoint(camera.CommandEndpoint());
    EXPECT_TRUE(C().WriteSensorRegister(32, 5));
    EXPECT_EQ(camera.SensorRegister(32), 5u);
    EXPECT_FALSE(camera.Halted(camera.CommandEndpoint()));
    auto record = camera.Record();
    ASSERT_EQ(record.size(), 3u);
    EXPECT_EQ(record[0].kind, Kind::Out);
    EXPECT_EQ(record[0].status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(record[1].kind, Kind::ClearHalt);
    EXPECT_EQ(record[1].endpoint, camera.CommandEndpoint());
    EXPECT_EQ(record[2].kind, Kind::Out);
    EXPECT_EQ(record[2].status, USBD_STATUS_SUCCESS);

    C().RegisterReadIndex = 0x1234;
    camera.SetMemory(0x1234, 0x99);
    camera.ClearRecord();
    camera.HaltEndpoint(camera.ReplyEndpoint());
    UCHAR byte = 0;
    EXPECT_TRUE(C().ReadCameraByte(&byte));
    EXPECT_EQ(byte, 0x99);
    EXPECT_FALSE(camera.Halted(camera.ReplyEndpoint()));
    bool cleared = false;
    for (const auto& e : camera.Record())
        cleared |= e.kind == Kind::ClearHalt && e.endpoint == camera.ReplyEndpoint();
    EXPECT_TRUE(cleared);
}

}  // namespace
