// USB driver interface records: descriptors, URBs with the sizes the driver
// fills in, interface and pipe information, function codes, flags, status
// values and the internal I/O control codes of the bus driver.
#pragma once

#include "platform/kernel/io.h"

#pragma pack(push, 1)
struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
};
struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 1;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 2;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 4;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 5;
constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;

using USBD_STATUS = LONG;
constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
constexpr USBD_STATUS USBD_STATUS_STALL_PID = MakeStatus(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = MakeStatus(0xC0000005);
constexpr USBD_STATUS USBD_STATUS_XACT_ERROR = MakeStatus(0xC0000011);
constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = MakeStatus(0xC0000030);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = MakeStatus(0x80000600);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = MakeStatus(0x80000300);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = MakeStatus(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_NO_MEMORY = MakeStatus(0x80000100);
constexpr USBD_STATUS USBD_STATUS_CANCELED = MakeStatus(0xC0010000);
constexpr bool USBD_SUCCESS(USBD_STATUS s) {
    return s >= 0;
}

enum USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3
};
using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);

struct USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;
constexpr ULONG InterfaceInformationSize(ULONG pipes) {
    return static_cast<ULONG>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                              pipes * sizeof(USBD_PIPE_INFORMATION));
}

struct USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
};
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16);
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY*;

union URB;
using PURB = URB*;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};
static_assert(sizeof(_URB_HEADER) == 24);

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);

struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88);

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    PURB UrbLink;
    _URB_HCD_AREA hca;
};
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);

struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);

union URB {
    _URB_HEADER UrbHeader;
    _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    _URB_PIPE_REQUEST UrbPipeRequest;
    _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
};

constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;

constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;

constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x220013;

constexpr ULONG USBD_PORT_ENABLED = 0x1;
constexpr ULONG USBD_PORT_CONNECTED = 0x2;

constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = PAGE_SIZE;
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = MakeStatus(0xC000009C);

// Descriptor parsing and the select-configuration request (USBD).
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configuration, PVOID startPosition, LONG interfaceNumber,
    LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol);
// The URB comes from pool and is the caller's to free with ExFreePool.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList);

namespace usb {
// Endpoint descriptors following an interface descriptor, up to the next
// interface and at most `max`; fills `out` when it is not null.
ULONG CountEndpointsAfter(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR interface,
                          const USB_ENDPOINT_DESCRIPTOR** out, ULONG max);
}  // namespace usb
