// Descriptor parsing and the select-configuration request. Descriptors come
// from a device: every length is checked against the descriptor's own total
// length, and a malformed descriptor ends the walk instead of being read past.
#include <cstring>

#include "platform/kernel/pool.h"
#include "platform/usb/usb_types.h"

namespace {

constexpr ULONG kUsbdTag = PoolTag("USBD");

// Calls visit(descriptor) for each well-formed descriptor from `start` to the
// end of the configuration; stops at the first malformed one.
template <class Visit>
void Walk(PUSB_CONFIGURATION_DESCRIPTOR config, const UCHAR* start, Visit&& visit) {
    const auto* base = reinterpret_cast<const UCHAR*>(config);
    const UCHAR* end = base + config->wTotalLength;
    if (start < base || start >= end) return;
    for (const UCHAR* p = start; end - p >= 2;) {
        const UCHAR length = p[0];
        if (length < 2 || length > end - p) return;
        if (!visit(reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p))) return;
        p += length;
    }
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                              PVOID start, LONG number,
                                                              LONG alternate, LONG cls,
                                                              LONG subClass, LONG protocol) {
    if (config == nullptr || config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return nullptr;
    PUSB_INTERFACE_DESCRIPTOR found = nullptr;
    Walk(config, static_cast<const UCHAR*>(start), [&](const USB_COMMON_DESCRIPTOR* d) {
        if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
            d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
            return true;
        auto* i =
            reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<USB_COMMON_DESCRIPTOR*>(d));
        if ((number == -1 || i->bInterfaceNumber == number) &&
            (alternate == -1 || i->bAlternateSetting == alternate) &&
            (cls == -1 || i->bInterfaceClass == cls) &&
            (subClass == -1 || i->bInterfaceSubClass == subClass) &&
            (protocol == -1 || i->bInterfaceProtocol == protocol)) {
            found = i;
            return false;
        }
        return true;
    });
    return found;
}

namespace usb {
// The endpoint descriptors that follow an interface descriptor, up to the
// next interface; fewer than bNumEndpoints means a malformed descriptor.
ULONG CountEndpointsAfter(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR interface,
                          const USB_ENDPOINT_DESCRIPTOR** out, ULONG max) {
    ULONG n = 0;
    bool first = true;
    Walk(config, reinterpret_cast<const UCHAR*>(interface), [&](const USB_COMMON_DESCRIPTOR* d) {
        if (first) {
            first = false;
            return true;
        }
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) return false;
        if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
            d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (n < max && out != nullptr)
                out[n] = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d);
            ++n;
        }
        return n < max;
    });
    return n;
}
}  // namespace usb

using usb::CountEndpointsAfter;

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                       PUSBD_INTERFACE_LIST_ENTRY list) {
    if (config == nullptr || list == nullptr) return nullptr;
    ULONG size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    ULONG count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = list; e->InterfaceDescriptor != nullptr; ++e, ++count) {
        // An interface that claims more endpoints than it has is refused.
        ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        if (CountEndpointsAfter(config, e->InterfaceDescriptor, nullptr, pipes) < pipes)
            return nullptr;
        size += InterfaceInformationSize(pipes);
    }
    if (count == 0) return nullptr;
    if (size < sizeof(_URB_SELECT_CONFIGURATION)) size = sizeof(_URB_SELECT_CONFIGURATION);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = list; e->InterfaceDescriptor != nullptr; ++e) {
        ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(InterfaceInformationSize(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i)
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) +
                                                             info->Length);
    }
    return urb;
}
