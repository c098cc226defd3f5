// A real camera on the host's USB stack, through libusb-1.0: the second
// UsbDevice under the bus driver. Bulk transfers are asynchronous (every
// queued request is in flight at once) and complete on one event thread of
// the device's own; a camera that goes away completes everything pending
// with USBD_STATUS_DEVICE_GONE.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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

// "usb:VID:PID" (hexadecimal) or "usb" (any known camera), either with an
// optional "@BUS-PORT.PORT..." naming the socket the camera is plugged into
// (what tells two identical cameras apart); false for anything else. Throws
// std::invalid_argument for a malformed "usb" form.
bool ParseUsbDeviceName(const std::string& name, UsbId* id, bool* any, std::string* port = nullptr);

struct FoundDevice {
    UsbId id;
    uint8_t bus, address;
    std::string port;  // "BUS-PORT.PORT...": where it is plugged in
    std::string name;  // what --device takes: usb:VID:PID@port
};

// The attached devices with one of these ids.
std::vector<FoundDevice> FindUsbDevices(const std::vector<UsbId>& ids);

// The usbfs limit on memory in flight, in bytes (0: no limit), read from
// `path`; -1 when the file cannot be read.
int64_t UsbfsMemoryLimit(
    const std::string& path = "/sys/module/usbcore/parameters/usbfs_memory_mb");

// The processes other than this one with `node` open, as "name (pid N)",
// from /proc (or `proc`); only those the caller may look at.
std::vector<std::string> ProcessesHolding(const std::string& node,
                                          const std::string& proc = "/proc");

// An error opening or using a device, with what to do about it.
struct LibusbError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class LibusbDevice : public UsbDevice {
  public:
    // Opens the first attached device with one of these ids (plugged into
    // `port` when one is named). Throws LibusbError with a message a person
    // can act on.
    static std::unique_ptr<LibusbDevice> Open(const std::vector<UsbId>& ids,
                                              const std::string& port = "");
    ~LibusbDevice() override;
    LibusbDevice(const LibusbDevice&) = delete;
    LibusbDevice& operator=(const LibusbDevice&) = delete;

    std::string Description() const { return description_; }
    // What names this camera across plugging: "serial-S" when it reports a
    // serial number, else "port-BUS-PORTS".
    std::string Identity() const { return identity_; }
    bool Gone() const { return gone_; }
    // Where it is plugged in ("BUS-PORT.PORT..."), and its address there.
    const std::string& Port() const { return port_; }
    uint8_t Address() const { return address_; }
    // The camera went away during a port reset of ours and came back as a
    // new device: this handle no longer reaches it.
    bool Reenumerated() const { return reenumerated_; }
    // Why the camera refused to be configured, in words a person can act
    // on; empty when it did not.
    std::string Refusal() const;
    // Transfers the kernel refused for want of usbfs memory so far.
    uint64_t NoMemoryRefusals() const { return noMemory_; }

    USBD_STATUS ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                uint16_t index, uint8_t* data, uint16_t length,
                                ULONG* transferred) override;
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
    void DetachKernelDrivers();
    void EventLoop();

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    std::string description_;
    std::string identity_;
    std::vector<int> claimed_;
    std::vector<int>
        detached_;      // interfaces whose kernel driver was let go, to bind again at close
    std::string node_;  // /dev/bus/usb/BBB/DDD
    std::string port_;  // BUS-PORT.PORT...
    uint8_t address_ = 0;
    mutable std::mutex refusalLock_;
    std::string refusal_;
    std::atomic<bool> reenumerated_{false};
    std::atomic<uint64_t> noMemory_{0};
    int hotplug_ = -1;  // the hot-plug callback's handle, -1: none
    std::atomic<bool> gone_{false};
    std::atomic<bool> stop_{false};
    std::thread events_;

    std::mutex lock_;
    std::condition_variable idle_;
    std::map<libusb_transfer*, std::shared_ptr<Transfer>> inFlight_;
};

}  // namespace usb
