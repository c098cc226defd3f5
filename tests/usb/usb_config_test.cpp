// USB configuration as the simulated camera and the bus see it, byte for byte.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/kernel/pool.h"
#include "platform/usb/usb_types.h"
#include "tests/support/camera_rig.h"
#include "usb/command_codes.h"
#include "usb/frame_transfer.h"

namespace {

using Kind = sim::Exchange::Kind;

std::vector<uint8_t> GetDescriptorSetup(uint8_t type, uint16_t length) {
    return {0x80,
            0x06,
            0x00,
            type,
            0x00,
            0x00,
            static_cast<uint8_t>(length & 0xFF),
            static_cast<uint8_t>(length >> 8)};
}

template <class T>
const T& As(const std::vector<uint8_t>& bytes) {
    return *reinterpret_cast<const T*>(bytes.data());
}

TEST(UsbConfiguration, ReadsDescriptorsAndSelectsTheFirstInterface) {
    CameraRig rig;
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    auto record = rig.Sim().Record();
    ASSERT_EQ(record.size(), 4u);
    EXPECT_EQ(record[0].kind, Kind::Control);
    EXPECT_EQ(record[0].data, GetDescriptorSetup(1, 18));
    EXPECT_EQ(record[1].data, GetDescriptorSetup(2, 9));
    EXPECT_EQ(record[2].data, GetDescriptorSetup(2, 39));
    EXPECT_EQ(record[3].kind, Kind::SetConfiguration);
    EXPECT_EQ(record[3].data, std::vector<uint8_t>{1});

    auto urbs = rig.Bus().UrbLog();
    ASSERT_EQ(urbs.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        const auto& r = As<_URB_CONTROL_DESCRIPTOR_REQUEST>(urbs[i]);
        EXPECT_EQ(r.Hdr.Length, 136);
        EXPECT_EQ(r.Hdr.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(r.TransferBufferMDL, nullptr);
        EXPECT_EQ(r.UrbLink, nullptr);
        EXPECT_EQ(r.Index, 0);
        EXPECT_EQ(r.LanguageId, 0);
    }
    EXPECT_EQ(As<_URB_CONTROL_DESCRIPTOR_REQUEST>(urbs[0]).DescriptorType, 1);
    EXPECT_EQ(As<_URB_CONTROL_DESCRIPTOR_REQUEST>(urbs[2]).TransferBufferLength, 39u);

    CameraDevice& c = rig.Camera();
    ASSERT_NE(c.InterfaceInfo, nullptr);
    EXPECT_EQ(c.InterfaceInfo->NumberOfPipes, 3u);
    EXPECT_EQ(c.InterfaceInfo->Length, InterfaceInformationSize(3));
    const uint8_t addresses[] = {0x01, 0x82, 0x86};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c.InterfaceInfo->Pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(c.InterfaceInfo->Pipes[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(c.InterfaceInfo->Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
        EXPECT_NE(c.InterfaceInfo->Pipes[i].PipeHandle, nullptr);
        EXPECT_EQ(c.PipeAbortFlags[i], 0);
    }
    ASSERT_NE(c.ConfigurationDescriptor, nullptr);
    EXPECT_EQ(c.ConfigurationDescriptor->wTotalLength, 39);
    EXPECT_EQ(kernel::pool::TagUsage(USB_TAG).blocks, 3u);  // descriptor, pipe table, abort flags
}

TEST(UsbConfiguration, SeveralInterfacesAreAllSelectedButOnlyTheFirstIsKept) {
    CameraRig rig(sim::Layout::SeveralInterfaces);
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    auto urbs = rig.Bus().UrbLog();
    const auto& select = As<_URB_SELECT_CONFIGURATION>(urbs.back());
    EXPECT_EQ(select.Hdr.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(select.Hdr.Length, 40 + InterfaceInformationSize(3) + InterfaceInformationSize(1));
    const auto* first = &select.Interface;
    const auto* second = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(
        reinterpret_cast<const uint8_t*>(first) + first->Length);
    EXPECT_EQ(first->NumberOfPipes, 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(first->Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
    EXPECT_EQ(second->InterfaceNumber, 1);
    EXPECT_EQ(second->NumberOfPipes, 1u);
    EXPECT_EQ(second->Pipes[0].MaximumTransferSize,
              USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);  // left as built
    EXPECT_EQ(rig.Camera().InterfaceInfo->NumberOfPipes, 3u);
    EXPECT_EQ(rig.Camera().InterfaceInfo->InterfaceNumber, 0);
}

TEST(UsbConfiguration, InterfaceWithoutEndpointsHasNoAbortFlagsAndNoTransfers) {
    CameraRig rig(sim::Layout::NoEndpoints);
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    CameraDevice& c = rig.Camera();
    ASSERT_NE(c.InterfaceInfo, nullptr);
    EXPECT_EQ(c.InterfaceInfo->NumberOfPipes, 0u);
    EXPECT_EQ(c.PipeAbortFlags, nullptr);
    rig.Sim().ClearRecord();
    c.AbortPipes();
    UCHAR buffer[64] = {};
    ULONG moved = 1;
    EXPECT_EQ(c.TransferBlock(0, buffer, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    CommandBlock block{};
    EXPECT_FALSE(c.SendCommand(&block));
    EXPECT_FALSE(c.ReadReply(buffer));
    EXPECT_FALSE(c.WriteSensorRegister(7, 0x42));
    EXPECT_EQ(c.RegisterShadow[7], 0x42);  // the shadow is written before the send
    EXPECT_TRUE(rig.Sim().Record().empty());
}

TEST(UsbConfiguration, FailedProbeSendsNoConfigurationRequest) {
    CameraRig rig;
    rig.Sim().FailTransfers(0, 1, USBD_STATUS_STALL_PID);
    EXPECT_EQ(rig.Camera().ProbeDeviceDescriptor(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.Sim().Record().size(), 1u);
    EXPECT_EQ(rig.Camera().InterfaceInfo, nullptr);
}

TEST(UsbConfiguration, ProbeAndConfigureSurviveEveryAllocationFailure) {
    for (int n = 1; n <= 8; ++n) {
        CameraRig rig;
        kernel::pool::FailNth(n);
        NTSTATUS s = rig.Configure();
        kernel::pool::ClearFaults();
        CameraDevice& c = rig.Camera();
        if (!NT_SUCCESS(s)) {
            EXPECT_EQ(s, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        }
        // Whatever failed, a select that succeeded stays consistent.
        if (c.InterfaceInfo != nullptr) {
            EXPECT_NE(c.ConfigurationDescriptor, nullptr);
        }
    }
}

TEST(UsbConfiguration, DeconfigureFreesEverythingAndUnconfigures) {
    CameraRig rig;
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    rig.Bus().ClearUrbLog();
    rig.Camera().DeconfigureDevice();
    EXPECT_EQ(rig.Camera().InterfaceInfo, nullptr);
    EXPECT_EQ(rig.Camera().ConfigurationDescriptor, nullptr);
    EXPECT_EQ(rig.Camera().PipeAbortFlags, nullptr);
    EXPECT_EQ(kernel::pool::TagUsage(USB_TAG).blocks, 0u);
    EXPECT_EQ(rig.Sim().Configuration(), 0);
    auto urbs = rig.Bus().UrbLog();
    ASSERT_EQ(urbs.size(), 1u);
    const auto& select = As<_URB_SELECT_CONFIGURATION>(urbs[0]);
    EXPECT_EQ(select.Hdr.Length, 88);
    EXPECT_EQ(select.Hdr.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(select.ConfigurationDescriptor, nullptr);
}

TEST(PortReset, OnlyAConnectedButDisabledPortIsReset) {
    CameraRig rig;
    EXPECT_EQ(rig.Camera().ResetPortIfDisabled(), STATUS_SUCCESS);
    rig.Sim().SetPort(false, false);
    EXPECT_EQ(rig.Camera().ResetPortIfDisabled(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Sim().PortResets(), 0);
    rig.Sim().SetPort(true, false);
    EXPECT_EQ(rig.Camera().ResetPortIfDisabled(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Sim().PortResets(), 1);
    EXPECT_EQ(rig.Sim().PortStatus(), USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
}

TEST(AbortPipesTest, AbortsOnlyFlaggedPipesAndClearsTheirFlags) {
    CameraRig rig;
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    rig.Camera().AbortPipes();  // nothing flagged: nothing sent
    rig.Camera().PipeAbortFlags[2] = 1;
    rig.Bus().ClearUrbLog();
    rig.Sim().ClearRecord();
    rig.Camera().AbortPipes();
    auto urbs = rig.Bus().UrbLog();
    ASSERT_EQ(urbs.size(), 1u);
    const auto& abort = As<_URB_PIPE_REQUEST>(urbs[0]);
    EXPECT_EQ(abort.Hdr.Length, 40);
    EXPECT_EQ(abort.Hdr.Function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(abort.PipeHandle, rig.Camera().InterfaceInfo->Pipes[2].PipeHandle);
    EXPECT_EQ(rig.Sim().Record()[0].kind, Kind::Abort);
    EXPECT_EQ(rig.Sim().Record()[0].endpoint, 0x86);
    EXPECT_EQ(rig.Camera().PipeAbortFlags[2], 0);
}

TEST(CancelFrameRequestsTest, WithoutSlotsReturnsAtOnceAndSendsNothing) {
    CameraRig rig;
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    rig.Sim().ClearRecord();
    rig.Bus().ClearUrbLog();
    const auto irps = kernel::LiveIrps();
    rig.Camera().CancelFrameRequests();
    rig.Camera().CancelTransfer();
    EXPECT_TRUE(rig.Bus().UrbLog().empty());
    EXPECT_TRUE(rig.Sim().Record().empty());
    EXPECT_EQ(kernel::LiveIrps(), irps);
    // Slot 7 between frames cancels nothing and leaves the capture path open.
    EXPECT_EQ(rig.Camera().TransferAborted, 0);
    rig.Camera().StopTransfers();
    EXPECT_TRUE(rig.Sim().Record().empty());
    // The stop holds until the transfers resume: the capture path sends nothing.
    EXPECT_EQ(rig.Camera().TransferAborted, 1);
    ULONG moved = 0;
    UCHAR block[64] = {0x02};
    EXPECT_EQ(rig.Camera().TransferBlock(0, block, &moved, TRUE), STATUS_CANCELLED);
    EXPECT_TRUE(rig.Sim().Record().empty());
    rig.Camera().ResumeTransfers();
    EXPECT_EQ(rig.Camera().TransferBlock(0, block, &moved, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);
}

// Configuration descriptors a device might send, each malformed its own way.
std::vector<std::vector<uint8_t>> MalformedDescriptors() {
    auto good = sim::ConfigurationDescriptor(sim::Layout::Standard);
    std::vector<std::vector<uint8_t>> bad;
    auto total = [](std::vector<uint8_t> d, uint16_t t) {
        d[2] = static_cast<uint8_t>(t & 0xFF);
        d[3] = static_cast<uint8_t>(t >> 8);
        return d;
    };
    bad.push_back(total(good, 0));  // shorter than its own header
    bad.push_back(total(good, 8));
    bad.push_back(total(good, 400));  // claims more than it sends
    bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 5));  // header cut short
    auto zeroLength = good;
    zeroLength[9] = 0;  // interface of length 0
    bad.push_back(zeroLength);
    auto longInterface = good;
    longInterface[9] = 200;  // runs past the end
    bad.push_back(longInterface);
    auto missingEndpoint = good;
    missingEndpoint[13] = 4;  // four endpoints claimed, three present
    bad.push_back(missingEndpoint);
    auto cutEndpoint = total(std::vector<uint8_t>(good.begin(), good.end() - 3), 36);
    bad.push_back(cutEndpoint);  // last endpoint truncated
    auto noInterfaces = good;
    noInterfaces[4] = 0;
    bad.push_back(noInterfaces);
    auto manyInterfaces = good;
    manyInterfaces[4] = 255;  // more than it lists
    bad.push_back(manyInterfaces);
    auto shortEndpoint = good;
    shortEndpoint[18] = 3;  // endpoint descriptor of length 3
    bad.push_back(shortEndpoint);
    return bad;
}

TEST(MalformedDescriptor, IsRefusedWithoutReadingOutOfBounds) {
    int index = 0;
    for (const auto& d : MalformedDescriptors()) {
        SCOPED_TRACE(testing::Message() << "descriptor " << index++);
        CameraRig rig(d);
        NTSTATUS s = rig.Configure();
        CameraDevice& c = rig.Camera();
        if (NT_SUCCESS(s)) {
            // Accepted only if what was selected is what the device really has.
            ASSERT_NE(c.InterfaceInfo, nullptr);
            EXPECT_LE(c.InterfaceInfo->NumberOfPipes, 3u);
        } else {
            EXPECT_EQ(c.InterfaceInfo, nullptr);
        }
    }
}

TEST(MalformedDescriptor, TotalLengthBelowTheHeaderIsRefusedBeforeAnythingElse) {
    auto d = sim::ConfigurationDescriptor(sim::Layout::Standard);
    d[2] = 4;
    d[3] = 0;
    CameraRig rig(d);
    EXPECT_EQ(rig.Configure(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(rig.Sim().Record().size(), 2u);  // device and header reads, nothing after
    EXPECT_EQ(rig.Camera().ConfigurationDescriptor, nullptr);
}

TEST(MalformedDescriptor, ClaimingMoreThanItSendsIsRefused) {
    auto d = sim::ConfigurationDescriptor(sim::Layout::Standard);
    d[2] = 100;
    CameraRig rig(d);
    EXPECT_EQ(rig.Configure(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(rig.Sim().Configuration(), 0);
}

}  // namespace

namespace {

// A camera that never ends one frame read, not even when it is cancelled or
// goes, as a real camera's transfer can outlive the wait for it. Its storage
// is kept and wiped when it goes, so a call that still reaches it faults
// (or, through its own table, exits with 3).
class CameraThatKeepsARead : public sim::SimulatedCamera {
  public:
    ~CameraThatKeepsARead() override { gone = true; }
    void Submit(std::shared_ptr<usb::Transfer> t) override {
        if (t->endpoint == FrameEndpoint()) {
            kept_ = std::move(t);
            return;
        }
        SimulatedCamera::Submit(std::move(t));
    }
    void Cancel(const std::shared_ptr<usb::Transfer>& t) override {
        if (gone) std::_Exit(3);
        if (t != kept_) SimulatedCamera::Cancel(t);
    }
    static void* operator new(size_t size) {
        if (size > sizeof storage_) std::abort();
        return storage_;
    }
    // Wiped, not freed: a virtual call on what is left faults at once.
    static void operator delete(void* p, size_t size) { std::memset(p, 0, size); }
    static inline bool gone = false;

  private:
    std::shared_ptr<usb::Transfer> kept_;
    alignas(std::max_align_t) static inline unsigned char storage_[1 << 16];
};

}  // namespace

// Closing a camera while the bus still holds a request the camera never
// ended: the bus lets go of the camera before the camera is destroyed, so
// the request is never cancelled on a camera that has gone.
TEST(CameraStackClose, ARequestTheCameraNeverEndedIsNotCancelledOnTheGoneCamera) {
    EXPECT_EXIT(
        {
            host::StackOptions o;
            o.simulated = std::unique_ptr<sim::SimulatedCamera>(new CameraThatKeepsARead);
            o.stage = host::Stage::Added;
            o.keyPath = kernel::registry::CameraKeyPath(0);
            o.keepKeysOnClose = true;
            auto stack = host::CameraStack::Open(std::move(o));
            CameraDevice& c = stack->Camera();
            if (!NT_SUCCESS(c.ProbeDeviceDescriptor()) || !NT_SUCCESS(c.ConfigureDevice()))
                std::_Exit(1);
            static UCHAR buffer[64];
            PURB urb = AllocateBulkUrb(c.InterfaceInfo->Pipes[FramePipe].PipeHandle, TRUE, buffer,
                                       nullptr, sizeof buffer);
            PIRP irp = IoAllocateIrp(c.NextDeviceObject->StackSize, FALSE);
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = urb;
            if (IofCallDriver(c.NextDeviceObject, irp) != STATUS_PENDING) std::_Exit(2);
            stack.reset();
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}
