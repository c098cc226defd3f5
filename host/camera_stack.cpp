// Assembling a camera, and taking it apart again.
#include "host/camera_stack.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "host/known_cameras.h"
#include "platform/kernel/registry.h"
#include "platform/ks/device_host.h"
#include "platform/ks/ks_client.h"
#include "platform/usb/bus_driver.h"
#include "platform/usb/libusb/libusb_device.h"
#include "sim/simulated_camera.h"

namespace host {

std::string Hex(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(status));
    return buf;
}

std::string SimulatedIdentity(int index) {
    return index == 0 ? "sim" : "sim-" + std::to_string(index);
}

std::string DeviceName::LockName() const {
    if (!usb) return SimulatedIdentity(simIndex);
    return "usb-" + (port.empty() ? std::string("none") : port);
}

DeviceName ParseDevice(const std::string& device) {
    DeviceName n;
    if (device == "sim") return n;
    if (device.rfind("sim:", 0) == 0) {
        const std::string number = device.substr(4);
        const bool digits = !number.empty() && number.size() <= 2 &&
                            number.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoi(number) > 15)
            throw StackError(StackError::Kind::InvalidArgument,
                             "no camera '" + device + "': simulated cameras are sim:0 to sim:15");
        n.simIndex = std::stoi(number);
        return n;
    }
    usb::UsbId id{};
    bool anyKnown = false;
    try {
        n.usb = usb::ParseUsbDeviceName(device, &id, &anyKnown, &n.port);
    } catch (const std::invalid_argument& e) {
        throw StackError(StackError::Kind::InvalidArgument, e.what());
    }
    if (!n.usb)
        throw StackError(
            StackError::Kind::InvalidArgument,
            "no camera '" + device +
                "': use 'sim' (the simulated camera), 'usb' or usb:VID:PID; see 'norvikcam list'");
    n.ids = anyKnown ? KnownCameras() : std::vector<usb::UsbId>{id};
    // The socket names the camera before it is opened, so an owner can lock
    // it before anything is sent to it.
    if (n.port.empty())
        for (const auto& f : usb::FindUsbDevices(n.ids)) {
            n.port = f.port;
            break;
        }
    return n;
}

// Unplugs a simulated camera after a delay, on its own thread; ending it
// first stops the wait at once.
class CameraStack::DelayedRemoval {
  public:
    DelayedRemoval(sim::SimulatedCamera& camera, std::chrono::microseconds delay)
        : thread_([this, &camera, delay] {
              std::unique_lock<std::mutex> lk(lock_);
              if (!wake_.wait_for(lk, delay, [this] { return ending_; })) camera.SurpriseRemove();
          }) {}
    ~DelayedRemoval() {
        {
            std::lock_guard<std::mutex> g(lock_);
            ending_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

std::unique_ptr<CameraStack> CameraStack::Open(StackOptions o) {
    const DeviceName name = ParseDevice(o.device);
    std::unique_ptr<CameraStack> st(new CameraStack);
    if (name.usb) {
        try {
            st->real_ = usb::LibusbDevice::Open(name.ids, name.port);
        } catch (const usb::LibusbError& e) {
            throw StackError(StackError::Kind::Io, e.what());
        }
        st->usbDevice_ = st->real_.get();
        st->identity_ = st->real_->Identity();
    } else {
        if (o.simulated) {
            st->sim_ = std::move(o.simulated);  // set up as its maker wants it
        } else {
            st->sim_ = std::make_unique<sim::SimulatedCamera>();
            st->sim_->SetFrameRate(o.simulatedFps);
            st->sim_->CycleFrames(o.simulatedCycle);
            // Nobody reads the record outside tests that ask for it: it would only grow.
            st->sim_->SetRecording(o.record);
        }
        if (o.simulatedRemoveAfter.count() > 0)
            st->removal_ = std::make_unique<DelayedRemoval>(*st->sim_, o.simulatedRemoveAfter);
        st->usbDevice_ = st->sim_.get();
        st->identity_ = SimulatedIdentity(name.simIndex);
    }
    // Each camera keeps its own settings, under a key named after it and
    // bound to its own file.
    st->keyPath_ =
        o.keyPath.empty() ? kernel::registry::CameraKeyPathFor(st->identity_) : o.keyPath;
    st->keepKeys_ = o.keepKeysOnClose;
    if (!o.settingsPath.empty()) {
        st->bound_ = true;
        try {
            kernel::registry::Bind(st->keyPath_, o.settingsPath);
        } catch (const kernel::registry::ParseError& e) {
            throw StackError(
                StackError::Kind::Io,
                std::string("settings file does not parse, left untouched: ") + e.what());
        } catch (const kernel::registry::FileError& e) {
            throw StackError(
                StackError::Kind::Io,
                std::string("settings file cannot be used, left untouched: ") + e.what());
        }
    }
    try {
        st->bus_ = std::make_unique<usb::BusDriver>(*st->usbDevice_, o.tracePath);
    } catch (const std::exception& e) {
        throw StackError(StackError::Kind::Io, e.what());
    }
    st->bus_->KeepUrbLog(o.record);
    kernel::registry::SetDriverKeyPath(st->bus_->DeviceObject(), st->keyPath_);
    st->host_ = std::make_unique<ks::DeviceHost>(DriverEntry);
    NTSTATUS s = STATUS_UNSUCCESSFUL;
    st->device_ = st->host_->Add(st->bus_->DeviceObject(), &s);
    if (!st->device_)
        throw StackError(StackError::Kind::Io, "the camera could not be added (" + Hex(s) + ")");
    if (o.stage != Stage::Added) {
        s = st->Start();
        if (!NT_SUCCESS(s))
            throw StackError(st->Unplugged() ? StackError::Kind::Unplugged : StackError::Kind::Io,
                             st->StartFailure(s));
    }
    if (o.stage == Stage::FilterOpen) {
        s = st->OpenFilter();
        if (!NT_SUCCESS(s))
            throw StackError(StackError::Kind::Io,
                             "the capture filter could not be opened (" + Hex(s) + ")");
    }
    kernel::registry::TakeSaveError(st->keyPath_);  // a start saves nothing of the user's
    return st;
}

NTSTATUS CameraStack::Start() {
    return device_->Start();
}

NTSTATUS CameraStack::OpenFilter() {
    NTSTATUS s = STATUS_UNSUCCESSFUL;
    filter_ = ks::Filter::Open(*device_, u"GLOBAL", &s);
    return filter_ ? STATUS_SUCCESS : s;
}

std::string CameraStack::StartFailure(NTSTATUS status) {
    if (real_ && !real_->Refusal().empty()) return real_->Refusal();
    if (Unplugged()) return GoneMessage();
    return "the camera did not start (" + Hex(status) + ")";
}

CameraDevice& CameraStack::Camera() {
    return *static_cast<CameraDevice*>(device_->Device()->Context);
}

ReadoutWindow CameraStack::Window() {
    CameraDevice& d = Camera();
    return {ReadAcquire(&d.RoiX), ReadAcquire(&d.RoiY),        ReadAcquire(&d.RoiW),
            ReadAcquire(&d.RoiH), ReadAcquire(&d.OutputWidth), ReadAcquire(&d.OutputHeight)};
}

void CameraStack::SetConversionThreads(int threads) {
    InterlockedExchange(&Camera().ConversionThreads, static_cast<LONG>(threads));
}

void CameraStack::SetFrameTap(FrameTap* tap) {
    Camera().Tap = tap;
}

bool CameraStack::Unplugged() {
    return real_ ? real_->Gone() : (usbDevice_->PortStatus() & USBD_PORT_CONNECTED) == 0;
}

// A camera that reset (on our request, another program's or its own) comes
// back at the same socket under a new address, as a new device this handle
// does not reach.
std::string CameraStack::GoneMessage() {
    bool back = real_ && real_->Reenumerated();
    for (int tries = 0; real_ && !back && tries < 20; ++tries) {
        for (const auto& f : usb::FindUsbDevices(KnownCameras()))
            back |= f.port == real_->Port() && f.address != real_->Address();
        if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (back)
        return "the camera reset and came back as a new USB device: it must be opened again (run "
               "the command "
               "again; 'norvikcam list' shows it)";
    return "the camera was unplugged";
}

void CameraStack::RemoveDevice() {
    filter_.reset();
    if (device_ && !device_->Removed()) {
        if (device_->Device()->Started)
            device_->Stop();
        else if (Camera().InterfaceInfo != nullptr || Camera().ConfigurationDescriptor != nullptr)
            Camera().DeconfigureDevice();
        device_->Remove();
    }
    if (bus_) bus_->Drain();
}

std::string CameraStack::Close() {
    if (closed_) return {};
    closed_ = true;
    RemoveDevice();
    device_.reset();
    host_.reset();
    // The bus lets go of the device before it goes, so nothing the bus still
    // holds is cancelled on a freed device; then the devices, whose last
    // completions still go into the bus.
    if (bus_) bus_->DeviceGoing();
    removal_.reset();
    sim_.reset();
    real_.reset();
    std::string error;
    if (bus_) {
        bus_->Drain();
        error = bus_->FinishTrace();
        kernel::registry::ForgetDevice(bus_->DeviceObject());
    }
    bus_.reset();
    if (bound_) {
        std::string save = kernel::registry::TakeSaveError(keyPath_);
        if (!save.empty())
            error = "the settings were not saved: " + save + (error.empty() ? "" : "; " + error);
    }
    if (bound_ || !keepKeys_) kernel::registry::Unbind(keyPath_);
    return error;
}

CameraStack::~CameraStack() {
    Close();
}

}  // namespace host
