// Descriptor parsing and the select-configuration request over buffers of
// exactly the descriptor's size (the address sanitizer sees any over-read).
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "platform/usb/usb_types.h"
#include "sim/simulated_camera.h"

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
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, 0x03, -1, -1), nullptr);  // class mismatch
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
    const Case cases[] = {{"zero length", 9, 0}, {"length one", 9, 1}, {"length past the end", 9, 250},
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
    USBD_INTERFACE_LIST_ENTRY list[3] = {{USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
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
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, empty), nullptr);
}

}  // namespace
