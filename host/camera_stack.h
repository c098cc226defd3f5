// The one place that assembles a camera: a simulated or a real USB device,
// the bus driver over it, the device host with the driver loaded, the hosted
// device and, once it is started, its capture filter. The client API, the
// test rigs, the fuzz rigs and the benchmarks all stand on it; nothing above
// it builds these pieces by hand.
//
// Life of a stack:
//
//   Open ──> Added ──Start──> Started ──OpenFilter──> FilterOpen
//              │                 │                        │
//              └─────────────────┴──── Close (or ~) ──────┘
//
// Close takes it apart in the one order that is safe: filter, device stop
// and removal, the device itself, then the bus (what a device still
// completes goes into the bus), then the settings' save error is collected.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/kernel/nt_types.h"
#include "platform/usb/libusb/libusb_device.h"

class CameraDevice;
class FrameTap;
namespace sim {
class SimulatedCamera;
}
namespace usb {
class BusDriver;
}  // namespace usb
namespace ks {
class DeviceHost;
class HostedDevice;
class Filter;
}  // namespace ks

namespace host {

// Why a stack could not be opened or used; the client turns it into its
// own error of the same kind.
struct StackError : std::runtime_error {
    enum class Kind { InvalidArgument, Unplugged, Io };
    StackError(Kind k, const std::string& what) : std::runtime_error(what), kind(k) {}
    Kind kind;
};

// A camera named as --device names it: "sim" (or "sim:N", the Nth simulated
// camera, "sim:0" being "sim"), "usb" (the first camera attached),
// "usb:VID:PID", either with "@BUS-PORT.PORT..." naming the socket.
struct DeviceName {
    bool usb = false;
    int simIndex = 0;
    std::vector<usb::UsbId> ids;  // the ids a real camera may have
    std::string port;  // where it is plugged in: named, or the first found; empty when none is
    // What the camera's ownership lock is named after, known before it is
    // opened: "sim", "sim-N", "usb-PORT".
    std::string LockName() const;
};
DeviceName ParseDevice(const std::string& device);  // throws StackError (InvalidArgument)

// The settings key of a simulated camera: "sim", "sim-N".
std::string SimulatedIdentity(int index);

enum class Stage { Added, Started, FilterOpen };

// The readout window and the size of the image it gives.
struct ReadoutWindow {
    int32_t x, y, width, height;
    int32_t outputWidth, outputHeight;
};

struct StackOptions {
    std::string device = "sim";
    // The .reg file the camera's driver key is bound to; empty: in memory.
    std::string settingsPath;
    std::string tracePath;  // a usbmon pcap of the USB traffic; empty: none
    Stage stage = Stage::FilterOpen;
    // The simulated camera to use instead of a standard one (tests give
    // one with another layout or descriptors, set up as they want it); null:
    // a standard one, set up by the three below.
    std::unique_ptr<sim::SimulatedCamera> simulated;
    double simulatedFps = 30;     // 0: as fast as it can
    uint32_t simulatedCycle = 0;  // frames rendered once and repeated (0: every frame rendered)
    bool record = false;  // the simulated camera and the bus keep their records of every exchange
    // The simulated camera is unplugged this long after it is plugged in
    // (0: never).
    std::chrono::microseconds simulatedRemoveAfter{0};
    // The driver key the camera's settings live under; empty: the one named
    // after the camera's identity.
    std::string keyPath;
    // What the driver stored under the key stays in the registry after
    // Close (tests look at it); by default a camera's settings that no file
    // backs go with it.
    bool keepKeysOnClose = false;
};

class CameraStack {
  public:
    // Throws StackError; nothing is left behind when it does.
    static std::unique_ptr<CameraStack> Open(StackOptions options);
    ~CameraStack();
    CameraStack(const CameraStack&) = delete;
    CameraStack& operator=(const CameraStack&) = delete;

    // PnP start; then the capture filter. Each returns the driver's status.
    NTSTATUS Start();
    NTSTATUS OpenFilter();
    // Closes the filter, stops a started device (a device configured by hand
    // without a start is deconfigured, as a stop would), removes it and
    // drains the bus; the USB device and the bus stay for a look at what is
    // left in them.
    void RemoveDevice();
    // Takes the stack apart (RemoveDevice first, if not done); returns what
    // went wrong saving the settings or finishing the trace (empty when
    // nothing did).
    std::string Close();

    // What this camera's settings are kept under: "sim", "sim-N" for a
    // simulated camera, "serial-S" or "port-BUS-PORTS" for a real one.
    const std::string& Identity() const { return identity_; }
    const std::string& KeyPath() const { return keyPath_; }

    usb::UsbDevice& Usb() { return *usbDevice_; }
    sim::SimulatedCamera* Simulated() { return sim_.get(); }
    usb::LibusbDevice* Real() { return real_.get(); }
    usb::BusDriver& Bus() { return *bus_; }
    ks::DeviceHost& Host() { return *host_; }
    ks::HostedDevice& Device() { return *device_; }
    ks::Filter* Filter() { return filter_.get(); }
    // The driver's device context, for the rigs that drive it directly.
    CameraDevice& Camera();

    // What the device's readout window is now. The driver offers no read of
    // it (its window property only sets), so this is the one place above
    // the driver that reads its window fields.
    ReadoutWindow Window();
    // The threads each frame's conversion uses from the next pin on (0: one
    // a core).
    void SetConversionThreads(int threads);
    // The listener the pin tells about each frame it fills; set and cleared
    // only while the device has no pin.
    void SetFrameTap(FrameTap* tap);

    // The camera is gone (unplugged, or reset into a new device).
    bool Unplugged();
    // Why, in words a person can act on.
    std::string GoneMessage();
    // Why a start failed, when the camera said (a real camera's refusal).
    std::string StartFailure(NTSTATUS status);

  private:
    CameraStack() = default;
    class DelayedRemoval;
    std::string identity_;
    std::string keyPath_;
    bool bound_ = false;
    bool keepKeys_ = false;
    // Declared before the devices, so that it goes after them: a device's
    // last completions post into the bus.
    std::unique_ptr<usb::BusDriver> bus_;
    std::unique_ptr<sim::SimulatedCamera> sim_;
    std::unique_ptr<usb::LibusbDevice> real_;
    std::unique_ptr<DelayedRemoval> removal_;  // goes before the camera it unplugs
    usb::UsbDevice* usbDevice_ = nullptr;
    std::unique_ptr<ks::DeviceHost> host_;
    std::unique_ptr<ks::HostedDevice> device_;
    std::unique_ptr<ks::Filter> filter_;
    bool closed_ = false;
};

// "0x%08X" of a status, for messages.
std::string Hex(NTSTATUS status);

}  // namespace host
