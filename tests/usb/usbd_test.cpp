// Descriptor parsing and the select-configuration request over buffers of
// exactly the descriptor's size (the address sanitizer sees any over-read).
#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/pool.h"
#include "platform/usb/bus_driver.h"
#include "platform/usb/usb_types.h"
#include "sim/simulated_camera.h"
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

}  // namespace
