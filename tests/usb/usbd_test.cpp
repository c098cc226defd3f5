// Descriptor parsing and the select-configuration request over buffers of
// exactly the descriptor's size (the address sanitizer sees any over-read).
#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/pool.h"
#include "platform/usb/bus_driver.h"
#include "platform/usb/usb_types.h"
#include "sim/simulated_camera.h"
#include "tests/support/wait_until.h"
#include "usb/frame_transfer.h"

namespace {

PUSB_CONFIGURATION_DESCRIPTOR Config(std::vector<uint8_t>& d) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
}

TEST(ParseConfigurationDescriptor, FindsInterfacesByNumberAndSetting) {
    auto d = sim::ConfigurationDescriptor(sim::Layout::SeveralInterfaces);
    auto* c = Config(d);
    auto* first = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    auto* second = USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->bNumEndpoints, 3);
    EXPECT_EQ(second->bInterfaceNumber, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 2, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 0, 1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, 0x03, -1, -1),
              nullptr);  // class mismatch
    // From a later start position only later interfaces are seen.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, second, 0, 0, -1, -1, -1), nullptr);
}

TEST(ParseConfigurationDescriptor, StopsAtEveryKindOfMalformedDescriptor) {
    auto good = sim::ConfigurationDescriptor(sim::Layout::Standard);
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
    };
    const Case cases[] = {{"zero length", 9, 0},
                          {"length one", 9, 1},
                          {"length past the end", 9, 250},
                          {"endpoint past the end", 32, 20}};
    for (const auto& t : cases) {
        auto d = good;
        d[t.at] = t.value;
        auto* c = Config(d);
        auto* i = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
        if (t.at == 9) {
            EXPECT_EQ(i, nullptr) << t.what;
        }
        if (i != nullptr) {
            const USB_ENDPOINT_DESCRIPTOR* eps[4];
            EXPECT_LT(usb::CountEndpointsAfter(c, i, eps, 4), 3u) << t.what;
        }
    }
    // A total length past the buffer would be an over-read; the parse only
    // ever trusts wTotalLength, so callers check it first (the driver does).
    auto shortTotal = good;
    shortTotal[2] = 20;  // ends inside the first endpoint
    auto* c = Config(shortTotal);
    auto* i = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(usb::CountEndpointsAfter(c, i, nullptr, 3), 0u);
}

TEST(CreateConfigurationRequest, BuildsOneInformationPerListedInterface) {
    auto d = sim::ConfigurationDescriptor(sim::Layout::SeveralInterfaces);
    auto* c = Config(d);
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 96 + 48);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);
}

TEST(CreateConfigurationRequest, RefusesAnInterfaceShortOfItsEndpoints) {
    auto d = sim::ConfigurationDescriptor(sim::Layout::Standard);
    d[13] = 5;  // claims five endpoints
    auto* c = Config(d);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, empty), nullptr);
}

// Two interfaces of one bulk endpoint each, byte for byte as a device sends
// them: configuration (9 bytes), interface 0 (9), its IN endpoint 0x81 (7),
// interface 1 (9), its OUT endpoint 0x02 (7); 41 bytes in all.
std::vector<uint8_t> TwoInterfacesOfOneEndpoint() {
    return {9, 2, 41,   0, 2,    1,    0, 0x80, 50,  // configuration
            9, 4, 0,    0, 1,    0xFF, 0, 0,    0,   // interface 0
            7, 5, 0x81, 2, 0x00, 0x02, 0,            // endpoint 0x81, bulk, 512 bytes
            9, 4, 1,    0, 1,    0xFF, 0, 0,    0,   // interface 1
            7, 5, 0x02, 2, 0x00, 0x02, 0};           // endpoint 0x02, bulk, 512 bytes
}

TEST(ParseConfigurationDescriptor, AnInterfacesEndpointsEndAtTheNextInterface) {
    auto d = TwoInterfacesOfOneEndpoint();
    ASSERT_EQ(d.size(), 41u);
    auto* c = Config(d);
    auto* first = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    auto* second = USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t*>(first), d.data() + 9);
    ASSERT_EQ(reinterpret_cast<uint8_t*>(second), d.data() + 25);
    const USB_ENDPOINT_DESCRIPTOR* eps[4] = {};
    ASSERT_EQ(usb::CountEndpointsAfter(c, first, eps, 4), 1u);
    EXPECT_EQ(eps[0]->bEndpointAddress, 0x81);
    ASSERT_EQ(usb::CountEndpointsAfter(c, second, eps, 4), 1u);
    EXPECT_EQ(eps[0]->bEndpointAddress, 0x02);
}

TEST(CreateConfigurationRequest, RefusesAnInterfaceWhoseEndpointsAreTheNextInterfaces) {
    auto d = TwoInterfacesOfOneEndpoint();
    d[13] = 2;  // interface 0 claims two endpoints; the second is interface 1's
    auto* c = Config(d);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    EXPECT_EQ(urb, nullptr);
    if (urb != nullptr) ExFreePool(urb);
}

std::atomic<NTSTATUS> readEndedWith{STATUS_PENDING};
NTSTATUS RecordReadEnd(PDEVICE_OBJECT, PIRP irp, PVOID) {
    readEndedWith = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}
NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A bus that goes while a read is still with the device: the read is
// cancelled and completed before the bus is gone, so the device never
// completes into a destroyed bus (the address sanitizer sees it if it does).
TEST(BusDriverTeardown, AReadStillWithTheDeviceEndsBeforeTheBusGoes) {
    sim::SimulatedCamera camera;
    auto d = sim::ConfigurationDescriptor(sim::Layout::Standard);
    auto* c = Config(d);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(select, nullptr);
    std::vector<UCHAR> data(4096);
    PURB read = nullptr;
    PIRP irp = nullptr;
    {
        usb::BusDriver bus(camera);
        PIRP s = IoAllocateIrp(bus.DeviceObject()->StackSize, FALSE);
        IoGetNextIrpStackLocation(s)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoGetNextIrpStackLocation(s)->Parameters.DeviceIoControl.IoControlCode =
            IOCTL_INTERNAL_USB_SUBMIT_URB;
        IoGetNextIrpStackLocation(s)->Parameters.Others.Argument1 = select;
        IoSetCompletionRoutine(s, KeepIrp, nullptr, TRUE, TRUE, TRUE);
        ASSERT_EQ(IofCallDriver(bus.DeviceObject(), s), STATUS_SUCCESS);
        IoFreeIrp(s);
        read = AllocateBulkUrb(list[0].Interface->Pipes[2].PipeHandle, TRUE, data.data(), nullptr,
                               static_cast<ULONG>(data.size()));
        irp = IoAllocateIrp(bus.DeviceObject()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = read;
        IoSetCompletionRoutine(irp, RecordReadEnd, nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(IofCallDriver(bus.DeviceObject(), irp),
                  STATUS_PENDING);  // no frame was asked for
        EXPECT_EQ(camera.PendingOn(camera.FrameEndpoint()), 1u);
    }
    EXPECT_EQ(readEndedWith.load(), STATUS_CANCELLED);
    EXPECT_EQ(camera.PendingOn(camera.FrameEndpoint()), 0u);
    IoFreeIrp(irp);
    ExFreePoolWithTag(read, PoolTag("Nvrk"));
    ExFreePool(select);
}

// A URB sent down to the bus in an IRP of its own; `ended` takes the IRP's
// status once it completes.
NTSTATUS RecordEnd(PDEVICE_OBJECT, PIRP irp, PVOID ended) {
    static_cast<std::atomic<NTSTATUS>*>(ended)->store(irp->IoStatus.Status);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
PIRP SendUrb(usb::BusDriver& bus, PURB urb, std::atomic<NTSTATUS>& ended, NTSTATUS* returned) {
    PIRP irp = IoAllocateIrp(bus.DeviceObject()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, RecordEnd, &ended, TRUE, TRUE, TRUE);
    *returned = IofCallDriver(bus.DeviceObject(), irp);
    return irp;
}

// The standard camera's one interface, selected on the bus.
struct SelectedInterface {
    std::vector<uint8_t> descriptor = sim::ConfigurationDescriptor(sim::Layout::Standard);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    PURB select = nullptr;

    explicit SelectedInterface(usb::BusDriver& bus) {
        auto* c = Config(descriptor);
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
        select = USBD_CreateConfigurationRequestEx(c, list);
        Select(bus);
    }
    ~SelectedInterface() { ExFreePool(select); }
    void Select(usb::BusDriver& bus) {
        std::atomic<NTSTATUS> ended{STATUS_PENDING};
        NTSTATUS returned;
        IoFreeIrp(SendUrb(bus, select, ended, &returned));
        EXPECT_EQ(returned, STATUS_SUCCESS);
    }
    USBD_PIPE_HANDLE FramePipe() const { return list[0].Interface->Pipes[2].PipeHandle; }
};

// Requests on a camera that was unplugged end as not connected, with the
// URB telling the device is gone: a read that was with the camera when it
// went, and one sent after.
TEST(BusDriverRemoval, ReadsOnAGoneCameraEndAsNotConnected) {
    sim::SimulatedCamera camera;
    usb::BusDriver bus(camera);
    SelectedInterface selected(bus);
    std::vector<UCHAR> data(4096);
    PURB before = AllocateBulkUrb(selected.FramePipe(), TRUE, data.data(), nullptr,
                                  static_cast<ULONG>(data.size()));
    PURB after = AllocateBulkUrb(selected.FramePipe(), TRUE, data.data(), nullptr,
                                 static_cast<ULONG>(data.size()));
    std::atomic<NTSTATUS> beforeEnded{STATUS_PENDING};
    std::atomic<NTSTATUS> afterEnded{STATUS_PENDING};
    NTSTATUS returned;
    PIRP beforeIrp = SendUrb(bus, before, beforeEnded, &returned);
    EXPECT_EQ(returned, STATUS_PENDING);  // no frame was asked for
    ASSERT_TRUE(WaitUntil([&] { return camera.PendingOn(camera.FrameEndpoint()) == 1; }));
    camera.SurpriseRemove();
    ASSERT_TRUE(WaitUntil([&] { return beforeEnded.load() != STATUS_PENDING; }));
    EXPECT_EQ(beforeEnded.load(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(before->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    PIRP afterIrp = SendUrb(bus, after, afterEnded, &returned);
    ASSERT_TRUE(WaitUntil([&] { return afterEnded.load() != STATUS_PENDING; }));
    EXPECT_EQ(afterEnded.load(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(after->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    IoFreeIrp(beforeIrp);
    IoFreeIrp(afterIrp);
    ExFreePoolWithTag(before, PoolTag("Nvrk"));
    ExFreePoolWithTag(after, PoolTag("Nvrk"));
}

// Selecting a configuration again gives new pipe handles; one from before
// names no pipe any more, and a read on it fails at once as on an invalid
// handle, while the new handle for the same endpoint is served.
TEST(BusDriverPipes, AHandleFromAnEarlierConfigurationIsInvalid) {
    sim::SimulatedCamera camera;
    std::vector<UCHAR> data(4096);
    std::atomic<NTSTATUS> staleEnded{STATUS_PENDING};
    std::atomic<NTSTATUS> freshEnded{STATUS_PENDING};
    PURB stale = nullptr;
    PURB fresh = nullptr;
    PIRP staleIrp = nullptr;
    PIRP freshIrp = nullptr;
    {
        usb::BusDriver bus(camera);
        SelectedInterface selected(bus);
        const USBD_PIPE_HANDLE earlier = selected.FramePipe();
        selected.Select(bus);
        stale =
            AllocateBulkUrb(earlier, TRUE, data.data(), nullptr, static_cast<ULONG>(data.size()));
        fresh = AllocateBulkUrb(selected.FramePipe(), TRUE, data.data(), nullptr,
                                static_cast<ULONG>(data.size()));
        NTSTATUS returned;
        staleIrp = SendUrb(bus, stale, staleEnded, &returned);
        EXPECT_EQ(returned, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(staleEnded.load(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(stale->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
        EXPECT_EQ(camera.PendingOn(camera.FrameEndpoint()), 0u);
        freshIrp = SendUrb(bus, fresh, freshEnded, &returned);
        EXPECT_EQ(returned, STATUS_PENDING);  // no frame was asked for
    }
    EXPECT_EQ(freshEnded.load(), STATUS_CANCELLED);  // the bus went with it pending
    IoFreeIrp(staleIrp);
    IoFreeIrp(freshIrp);
    ExFreePoolWithTag(stale, PoolTag("Nvrk"));
    ExFreePoolWithTag(fresh, PoolTag("Nvrk"));
}

}  // namespace
