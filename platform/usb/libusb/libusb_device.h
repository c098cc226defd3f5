// A real camera on the host's USB stack, through libusb-1.0: the second
// UsbDevice under the bus driver. Bulk transfers are asynchronous (every
// queued request is in flight at once) and complete on one event thread of
// the device's own; a camera that goes away completes everything pending
// with USBD_STATUS_DEVICE_GONE.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb/usb_device.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace usb {

struct UsbId {
    uint16_t vendor, product;
};

// "usb:VID:PID" (hexadecimal) or "usb" (any known camera); false for
// anything else. Throws std::invalid_argument for a malformed "usb:" form.
bool ParseUsbDeviceName(const std::string& name, UsbId* id, bool* any);

struct FoundDevice {
    UsbId id;
    uint8_t bus, address;
    std::string name;  // what --device takes
};

// The attached devices with one of these ids.
std::vector<FoundDevice> FindUsbDevices(const std::vector<UsbId>& ids);

// The usbfs limit on memory in flight, in bytes (0: no limit), read from
// `path`; -1 when the file cannot be read.
int64_t UsbfsMemoryLimit(const std::string& path = "/sys/module/usbcore/parameters/usbfs_memory_mb");

// An error opening or using a device, with what to do about it.
struct LibusbError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class LibusbDevice : public UsbDevice {
public:
    // Opens the first attached device with one of these ids. Throws
    // LibusbError with a message a person can act on.
    static std::unique_ptr<LibusbDevice> Open(const std::vector<UsbId>& ids);
    ~LibusbDevice() override;
    LibusbDevice(const LibusbDevice&) = delete;
    LibusbDevice& operator=(const LibusbDevice&) = delete;

    std::string Description() const { return description_; }
    bool Gone() const { return gone_; }

    USBD_STATUS ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                uint16_t length, ULONG* transferred) override;
    USBD_STATUS SetConfiguration(uint8_t value) override;
    void Submit(std::shared_ptr<Transfer> transfer) override;
    void Cancel(const std::shared_ptr<Transfer>& transfer) override;
    void AbortEndpoint(uint8_t endpoint) override;
    USBD_STATUS ClearHalt(uint8_t endpoint) override;
    ULONG PortStatus() override;
    NTSTATUS ResetPort() override;

private:
    LibusbDevice() = default;
    static void Callback(libusb_transfer* native);
    USBD_STATUS Status(int libusbError);
    void ReleaseInterfaces();
    void EventLoop();

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    std::string description_;
    std::vector<int> claimed_;
    int hotplug_ = -1;  // the hot-plug callback's handle, -1: none
    std::atomic<bool> gone_{false};
    std::atomic<bool> stop_{false};
    std::thread events_;

    std::mutex lock_;
    std::condition_variable idle_;
    std::map<libusb_transfer*, std::shared_ptr<Transfer>> inFlight_;
};

}  // namespace usb
