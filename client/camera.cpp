// The façade over the device host, the bus and the streaming client.
#include "client/camera.h"
#include "client/control_table.h"
#include "client/known_cameras.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

#include "camera/readout_window.h"
#include "control/camera_properties.h"
#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "imaging/image_processor.h"
#include "platform/kernel/registry.h"
#include "platform/ks/ks_client.h"
#include "platform/usb/bus_driver.h"
#include "platform/usb/libusb/libusb_device.h"
#include "sim/simulated_camera.h"

namespace norvik {
namespace {

std::string Hex(int32_t status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(status));
    return buf;
}

}  // namespace

std::string DefaultSettingsPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base = xdg && *xdg ? xdg : std::filesystem::path(home ? home : ".") / ".config";
    return (base / "norvikcam" / "settings.reg").string();
}

namespace {

std::string DefaultLockDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != 0) return std::string(runtime) + "/norvikcam";
    return "/tmp/norvikcam-" + std::to_string(::getuid());
}

// One process at a time per camera: an advisory lock on a file named after
// the camera, holding the owner's pid and name for the next one to read.
class OwnershipLock {
public:
    OwnershipLock(const std::string& directory, const std::string& identity, double waitSeconds) {
        std::error_code ec;
        std::filesystem::create_directories(directory, ec);
        path_ = directory + "/" + identity + ".lock";
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) throw Error("cannot lock the camera at " + path_ + ": " + std::strerror(errno));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                const int e = errno;
                ::close(fd_);
                throw Error("cannot lock the camera at " + path_ + ": " + std::strerror(e));
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                std::string owner = Owner();
                ::close(fd_);
                throw Error("camera in use by " + owner + (waitSeconds > 0 ? " (waited " + Seconds(waitSeconds) + ")" : "") +
                            "; wait for it with --wait SECONDS");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // One fixed-size write, so a reader never sees half a note.
        char text[kNote + 1];
        const char* me = program_invocation_short_name;
        std::snprintf(text, sizeof text, "%-*s", kNote - 1,
                      (std::to_string(::getpid()) + " " + (me ? me : "?")).c_str());
        text[kNote - 1] = '\n';
        if (::pwrite(fd_, text, kNote, 0) != kNote) {
            // The lock holds without the note; the next process says less.
        }
    }
    ~OwnershipLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    OwnershipLock(const OwnershipLock&) = delete;
    OwnershipLock& operator=(const OwnershipLock&) = delete;

private:
    static std::string Seconds(double s) {
        char b[32];
        std::snprintf(b, sizeof b, "%g s", s);
        return b;
    }
    // The owner's note; it may take the owner a moment to write it after
    // taking the lock.
    std::string Owner() const {
        for (int tries = 0; tries < 25; ++tries) {
            char text[kNote + 1] = {};
            ssize_t n = ::pread(fd_, text, kNote, 0);
            long pid = 0;
            char name[64] = {};
            if (n > 0 && std::sscanf(text, "%ld %63s", &pid, name) == 2)
                return std::string(name) + " (pid " + std::to_string(pid) + ")";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "another process";
    }
    static constexpr int kNote = 64;
    std::string path_;
    int fd_ = -1;
};

// usbfs memory a frame keeps in flight: all of its reads at once, plus the
// command and reply blocks.
constexpr int64_t kUsbfsNeeded = static_cast<int64_t>(RAW_FRAME_SIZE) + 64 * 1024;
constexpr const char* kRaiseUsbfs =
    "raise the limit with 'echo 64 > /sys/module/usbcore/parameters/usbfs_memory_mb' as root, or boot with "
    "usbcore.usbfs_memory_mb=64";

struct ClientFrameBuffer {
    std::vector<uint8_t> header;
    std::vector<uint8_t> data;
    int rawWidth = 0, rawHeight = 0;
    std::vector<uint8_t> raw;  // sized once: refilled in place frame after frame
};

}  // namespace

// The client buffers of one streaming run, shared by the frames handed out:
// a frame released while the run goes on is queued to the pin again; one
// released after the run ended only lets its buffer go with the last owner.
struct Stream {
    std::mutex lock;
    ks::Pin* pin = nullptr;  // null once the run has ended
    std::vector<ClientFrameBuffer> buffers;

    KSSTREAM_HEADER* Header(int i) { return reinterpret_cast<KSSTREAM_HEADER*>(buffers[static_cast<size_t>(i)].header.data()); }
    int IndexOf(const KSSTREAM_HEADER* h) {
        for (size_t i = 0; i < buffers.size(); ++i)
            if (reinterpret_cast<const KSSTREAM_HEADER*>(buffers[i].header.data()) == h) return static_cast<int>(i);
        return -1;
    }
    void Give(int i) {
        std::lock_guard<std::mutex> g(lock);
        if (pin == nullptr) return;
        Header(i)->DataUsed = 0;
        pin->Submit(Header(i));
    }
};

Frame& Frame::operator=(Frame&& other) noexcept {
    if (this != &other) {
        Release();
        width = other.width, height = other.height;
        top = other.top, stride = other.stride;
        pictureNumber = other.pictureNumber, presentationTime = other.presentationTime;
        rawWidth = other.rawWidth, rawHeight = other.rawHeight, raw = other.raw;
        stream_ = std::move(other.stream_);
        buffer_ = std::exchange(other.buffer_, -1);
        other.top = other.raw = nullptr;
    }
    return *this;
}

void Frame::Release() {
    if (stream_ && buffer_ >= 0) stream_->Give(buffer_);
    stream_.reset();
    buffer_ = -1;
    top = raw = nullptr;
}

std::vector<CameraInfo> ListCameras() {
    std::vector<CameraInfo> cameras = {{"sim", "simulated Norvik 2560 x 1920 raw-Bayer camera (built in)"}};
    for (const auto& f : usb::FindUsbDevices(KnownCameras())) {
        char where[48];
        std::snprintf(where, sizeof where, " (bus %03u device %03u)", f.bus, f.address);
        // The name carries the socket, so two identical cameras have two names.
        cameras.push_back({f.name, std::string("Norvik 2560 x 1920 raw-Bayer camera on USB") + where});
    }
    return cameras;
}

// Unplugs a simulated camera after a delay, on its own thread; ending it
// first stops the wait at once.
class DelayedRemoval {
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

struct Camera::Impl {
    std::unique_ptr<OwnershipLock> lock;  // released last, after the settings are saved
    std::string identity;
    // Declared before the devices, so that it goes after them: a device's
    // last completions post into the bus.
    std::unique_ptr<usb::BusDriver> bus;
    std::unique_ptr<sim::SimulatedCamera> sim;
    std::unique_ptr<usb::LibusbDevice> real;
    // Unplugs the simulated camera at its moment; goes before the camera.
    std::unique_ptr<DelayedRemoval> removal;
    usb::UsbDevice* usbDevice = nullptr;
    std::unique_ptr<ks::DeviceHost> host;
    std::unique_ptr<ks::HostedDevice> device;
    std::unique_ptr<ks::Filter> filter;
    std::unique_ptr<ks::Pin> pin;
    std::shared_ptr<Stream> stream;
    Statistics stats;
    int64_t lastPicture = 0;

    bool Unplugged() const {
        return real ? real->Gone() : (usbDevice->PortStatus() & USBD_PORT_CONNECTED) == 0;
    }
    // Why the camera is not there any more. A camera that reset (on our
    // request, another program's or its own) comes back at the same socket
    // under a new address, as a new device this handle does not reach.
    std::string GoneMessage() const {
        bool back = real && real->Reenumerated();
        for (int tries = 0; real && !back && tries < 20; ++tries) {
            for (const auto& f : usb::FindUsbDevices(KnownCameras()))
                back |= f.port == real->Port() && f.address != real->Address();
            if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (back)
            return "the camera reset and came back as a new USB device: it must be opened again (run the command "
                   "again; 'norvikcam list' shows it)";
        return "the camera was unplugged";
    }
    uint64_t unplugAfter = 0;
    uint64_t noMemorySeen = 0;
    std::chrono::steady_clock::time_point lastFrameAt{};

    CameraDevice& Device() { return *static_cast<CameraDevice*>(device->Device()->Context); }

    NTSTATUS Property(uint32_t id, uint32_t flags, int32_t* value) {
        CAMPROP_VALUE_S r{};
        r.Property = {PROPSETID_NorvikControl, id, flags};
        r.Value = value != nullptr ? *value : 0;
        CAMPROP_VALUE_S data = r;
        NTSTATUS s = filter->Property(&r, sizeof r, &data, sizeof data);
        if (NT_SUCCESS(s) && value != nullptr) *value = data.Value;
        return s;
    }
    int32_t GetId(uint32_t id) {
        int32_t v = 0;
        NTSTATUS s = Property(id, KSPROPERTY_TYPE_GET, &v);
        if (!NT_SUCCESS(s) && Unplugged()) throw Error(GoneMessage());
        if (!NT_SUCCESS(s)) throw Error("reading control " + std::to_string(id) + " failed (" + Hex(s) + ")");
        return v;
    }
};

Camera::Camera(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Camera> Camera::Open(const OpenOptions& o) {
    usb::UsbId id{};
    bool anyKnown = false, isUsb = false;
    std::string port;
    try {
        isUsb = usb::ParseUsbDeviceName(o.device, &id, &anyKnown, &port);
    } catch (const std::invalid_argument& e) {
        throw Error(e.what());
    }
    if (o.device != "sim" && !isUsb)
        throw Error("no camera '" + o.device + "': use 'sim' (the simulated camera), 'usb' or usb:VID:PID; see 'norvikcam list'");
    const std::vector<usb::UsbId> ids = anyKnown ? KnownCameras() : std::vector<usb::UsbId>{id};
    auto impl = std::make_unique<Impl>();
    const std::string lockDirectory = o.lockDirectory.empty() ? DefaultLockDirectory() : o.lockDirectory;
    if (isUsb) {
        // The socket names the camera before it is opened, so the lock is
        // taken before anything is sent to it.
        if (port.empty())
            for (const auto& f : usb::FindUsbDevices(ids)) {
                port = f.port;
                break;
            }
        impl->lock = std::make_unique<OwnershipLock>(lockDirectory, "usb-" + (port.empty() ? std::string("none") : port),
                                                     o.waitSeconds);
    } else {
        impl->lock = std::make_unique<OwnershipLock>(lockDirectory, "sim", o.waitSeconds);
    }
    if (!o.settingsPath.empty()) {
        try {
            kernel::registry::Load(o.settingsPath);
        } catch (const kernel::registry::ParseError& e) {
            throw Error(std::string("settings file does not parse, left untouched: ") + e.what());
        } catch (const kernel::registry::FileError& e) {
            throw Error(std::string("settings file cannot be used, left untouched: ") + e.what());
        }
    } else {
        kernel::registry::Reset();
    }
    if (isUsb) {
        try {
            impl->real = usb::LibusbDevice::Open(ids, port);
        } catch (const usb::LibusbError& e) {
            throw Error(e.what());
        }
        impl->usbDevice = impl->real.get();
        impl->identity = impl->real->Identity();
    } else {
        impl->sim = std::make_unique<sim::SimulatedCamera>();
        impl->sim->SetFrameRate(o.simulatedFps);
        impl->sim->CycleFrames(o.simulatedCycle);
        impl->sim->SetRecording(false);  // nobody reads it here: it would only grow
        impl->unplugAfter = o.simulatedUnplugAfter;
        if (o.simulatedRemoveAfter.count() > 0)
            impl->removal = std::make_unique<DelayedRemoval>(*impl->sim, o.simulatedRemoveAfter);
        impl->usbDevice = impl->sim.get();
        impl->identity = "sim";
    }
    try {
        impl->bus = std::make_unique<usb::BusDriver>(*impl->usbDevice, o.tracePath);
    } catch (const std::exception& e) {
        throw Error(e.what());
    }
    impl->bus->KeepUrbLog(false);  // as the camera's record: nobody reads it, and it grew per request
    // Each camera keeps its own settings, under a key named after it.
    kernel::registry::SetDriverKeyPath(impl->bus->DeviceObject(), kernel::registry::CameraKeyPathFor(impl->identity));
    impl->host = std::make_unique<ks::DeviceHost>(DriverEntry);
    NTSTATUS s;
    impl->device = impl->host->Add(impl->bus->DeviceObject(), &s);
    if (!impl->device) throw Error("the camera could not be added (" + Hex(s) + ")");
    s = impl->device->Start();
    if (!NT_SUCCESS(s)) {
        if (impl->real && !impl->real->Refusal().empty()) throw Error(impl->real->Refusal());
        if (impl->Unplugged()) throw Error(impl->GoneMessage());
        throw Error("the camera did not start (" + Hex(s) + ")");
    }
    impl->filter = ks::Filter::Open(*impl->device, u"GLOBAL", &s);
    if (!impl->filter) throw Error("the capture filter could not be opened (" + Hex(s) + ")");
    kernel::registry::TakeSaveError();  // a start saves nothing of the user's
    return std::unique_ptr<Camera>(new Camera(std::move(impl)));
}

void Camera::Close() {
    if (!impl_ || !impl_->lock) return;
    StopStreaming();
    impl_->filter.reset();
    if (impl_->device) {
        impl_->device->Stop();
        impl_->device->Remove();
    }
    impl_->device.reset();
    impl_->host.reset();
    // The devices first: what they still complete goes into the bus.
    impl_->removal.reset();
    impl_->sim.reset();
    impl_->real.reset();
    std::string traceError;
    if (impl_->bus) {
        impl_->bus->Drain();
        traceError = impl_->bus->FinishTrace();
    }
    impl_->bus.reset();
    std::string error = kernel::registry::TakeSaveError();
    impl_->lock.reset();
    if (!error.empty()) throw Error("the settings were not saved: " + error);
    if (!traceError.empty()) throw Error(traceError);
}

Camera::~Camera() {
    try {
        Close();
    } catch (const std::exception&) {
        // A caller that wants to know closes explicitly.
    }
}

const std::string& Camera::Identity() const { return impl_->identity; }

sim::SimulatedCamera* Camera::Simulated() { return impl_->sim.get(); }

const std::vector<ControlInfo>& Camera::Controls() {
    return ControlTable();
}

const ControlInfo& Camera::Control(const std::string& name) {
    for (const auto& c : Controls())
        if (c.name == name) return c;
    throw Error(ErrorKind::InvalidArgument,
                "unknown control '" + name + "' (norvikcam info lists them)");
}

void Camera::Check(const std::string& name, int32_t value) {
    CheckControlValue(Control(name), value);
}

int32_t Camera::Get(const std::string& name) { return impl_->GetId(Control(name).id); }

void Camera::Set(const std::string& name, int32_t value) {
    const ControlInfo& c = Control(name);
    CheckControlValue(c, value);
    int32_t v = value;
    NTSTATUS s = impl_->Property(c.id, KSPROPERTY_TYPE_SET, &v);
    if (!NT_SUCCESS(s) && impl_->Unplugged()) throw Error(impl_->GoneMessage());
    if (!NT_SUCCESS(s)) throw Error("setting " + name + " failed: the camera did not take it (" + Hex(s) + ")");
}

Window Camera::GetWindow() {
    CameraDevice& d = impl_->Device();
    return {d.RoiX, d.RoiY, d.RoiW, d.RoiH, d.OutputWidth, d.OutputHeight};
}

void Camera::SetWindow(int32_t x, int32_t y, int32_t width, int32_t height) {
    if (impl_->pin) throw Error("the window cannot change while streaming");
    CAMPROP_WINDOW_S w{};
    w.Property = {PROPSETID_NorvikControl, CAMPROP_WINDOW, KSPROPERTY_TYPE_SET};
    w.X = x, w.Y = y, w.Width = width, w.Height = height;
    CAMPROP_WINDOW_S data = w;
    NTSTATUS s = impl_->filter->Property(&w, sizeof w, &data, sizeof data);
    if (!NT_SUCCESS(s) && impl_->Unplugged()) throw Error(impl_->GoneMessage());
    if (!NT_SUCCESS(s)) throw Error("setting the window failed (" + Hex(s) + ")");
}

void Camera::StartStreaming(bool keepRaw, int count, int threads) {
    if (impl_->pin) return;
    if (count < 1 || count > 64) throw Error("between 1 and 64 client buffers, not " + std::to_string(count));
    if (threads < 0 || threads > 64) throw Error("between 0 and 64 conversion threads, not " + std::to_string(threads));
    if (impl_->real) {
        // usbfs refuses transfers beyond its memory limit; a frame keeps all
        // of its reads in flight at once, plus the command and reply blocks.
        const int64_t limit = usb::UsbfsMemoryLimit();
        if (limit > 0 && limit < kUsbfsNeeded)
            throw Error("the kernel's usbfs memory limit is " + std::to_string(limit / (1024 * 1024)) +
                        " MB, and one frame needs " + std::to_string((kUsbfsNeeded + (1 << 20) - 1) >> 20) +
                        " MB in flight: " + kRaiseUsbfs);
        impl_->noMemorySeen = impl_->real->NoMemoryRefusals();
        impl_->lastFrameAt = std::chrono::steady_clock::now();
    }
    KS_DATARANGE_VIDEO range = OfferedDataRange;
    std::vector<uint8_t> format(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    ULONG written = 0;
    NTSTATUS s = impl_->filter->Intersect(0, &range, sizeof range, format.data(), static_cast<ULONG>(format.size()),
                                          &written);
    if (!NT_SUCCESS(s)) throw Error("no format for the window (" + Hex(s) + ")");
    impl_->pin = impl_->filter->CreatePin(0, format.data(), written, &s);
    if (!impl_->pin) throw Error("the capture pin could not be created (" + Hex(s) + ")");
    impl_->pin->UseClock(true);
    // The pin's creation made the processor that converts its frames.
    if (ImageProcessor* processor = impl_->Device().Processor) SetConversionThreads(processor, threads);
    const ULONG image = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
    auto stream = std::make_shared<Stream>();
    stream->pin = impl_->pin.get();
    stream->buffers.resize(static_cast<size_t>(count));
    for (auto& b : stream->buffers) {
        b.header.assign(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), 0);
        b.data.assign(image, 0);
        auto* h = reinterpret_cast<KSSTREAM_HEADER*>(b.header.data());
        h->Size = static_cast<ULONG>(b.header.size());
        h->FrameExtent = image;
        h->Data = b.data.data();
        impl_->pin->Submit(h);
    }
    impl_->stream = stream;
    if (keepRaw) {
        // The pipeline's working buffer still holds the window's raw rows
        // while the process call that converted them hands the frame back.
        Impl* impl = impl_.get();
        Stream* run = stream.get();
        impl_->pin->OnHandBack([impl, run](KSSTREAM_HEADER* h) {
            const ImageProcessor* p = impl->Device().Processor;
            const int i = run->IndexOf(h);
            if (h->DataUsed == 0 || p == nullptr || p->workOrigin == nullptr || i < 0) return;
            ClientFrameBuffer& b = run->buffers[static_cast<size_t>(i)];
            b.rawWidth = static_cast<int>(p->imageWidth);
            b.rawHeight = static_cast<int>(p->imageHeight);
            b.raw.resize(static_cast<size_t>(b.rawWidth) * static_cast<size_t>(b.rawHeight));
            for (int r = 0; r < b.rawHeight; ++r)
                std::memcpy(&b.raw[static_cast<size_t>(r) * static_cast<size_t>(b.rawWidth)],
                            p->workOrigin + static_cast<ptrdiff_t>(r) * p->workStride, static_cast<size_t>(b.rawWidth));
        });
    }
    impl_->stats = {};
    impl_->lastPicture = 0;
    s = impl_->pin->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(s)) {
        impl_->pin.reset();
        if (impl_->Unplugged()) throw Error(impl_->GoneMessage());
        throw Error("streaming did not start (" + Hex(s) + ")");
    }
}

std::optional<Frame> Camera::NextFrame(std::chrono::milliseconds timeout) {
    if (!impl_->pin) throw Error("not streaming");
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        // Short waits, so an unplugged camera is noticed at once rather
        // than after the whole time-out.
        KSSTREAM_HEADER* h =
            left.count() > 0 ? impl_->pin->WaitCompleted(std::min(left, std::chrono::milliseconds(100))) : nullptr;
        if (h == nullptr) {
            if (impl_->Unplugged()) throw Error(impl_->GoneMessage());
            if (left.count() > 100) continue;
            if (impl_->real && impl_->real->NoMemoryRefusals() != impl_->noMemorySeen &&
                std::chrono::steady_clock::now() - impl_->lastFrameAt > std::chrono::seconds(2)) {
                // No frame for a while, and not for the camera's fault: the
                // kernel would not take the frame's reads.
                const int64_t limit = usb::UsbfsMemoryLimit();
                throw Error("the kernel refused the frame's USB transfers: other programs use up most of usbfs's " +
                            (limit > 0 ? std::to_string(limit / (1024 * 1024)) + " MB " : std::string()) +
                            "memory limit, and one frame needs " +
                            std::to_string((kUsbfsNeeded + (1 << 20) - 1) >> 20) + " MB in flight: " + kRaiseUsbfs +
                            ", or stop the other programs");
            }
            ++impl_->stats.timeouts;
            return std::nullopt;
        }
        Stream& run = *impl_->stream;
        const int index = run.IndexOf(h);
        if (h->DataUsed == 0 || index < 0) {  // handed back with nothing in it: give it again
            if (index >= 0) run.Give(index);
            continue;
        }
        CameraDevice& d = impl_->Device();
        Frame f(impl_->stream, index);
        f.width = d.OutputWidth;
        f.height = d.OutputHeight;
        const auto row = static_cast<ptrdiff_t>(f.width) * 4;
        auto* src = static_cast<const uint8_t*>(h->Data);
        // Delivered bottom-up unless FlipV: the top row is the last one.
        const bool topDown = d.GetFlipV() != 0;
        f.top = topDown ? src : src + row * (f.height - 1);
        f.stride = topDown ? row : -row;
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(h + 1);
        f.pictureNumber = info->PictureNumber;
        f.presentationTime = h->PresentationTime.Time;
        ClientFrameBuffer& b = run.buffers[static_cast<size_t>(index)];
        if (b.rawWidth > 0 && !b.raw.empty()) {
            f.rawWidth = std::exchange(b.rawWidth, 0);
            f.rawHeight = std::exchange(b.rawHeight, 0);
            f.raw = b.raw.data();
        }
        if (impl_->lastPicture != 0 && f.pictureNumber > impl_->lastPicture + 1)
            impl_->stats.dropped += static_cast<uint64_t>(f.pictureNumber - impl_->lastPicture - 1);
        impl_->lastPicture = f.pictureNumber;
        ++impl_->stats.frames;
        if (impl_->sim && impl_->stats.frames == impl_->unplugAfter) impl_->sim->RemoveDuringFrame(4096);
        if (impl_->real) {  // only refusals since the last frame count
            impl_->noMemorySeen = impl_->real->NoMemoryRefusals();
            impl_->lastFrameAt = std::chrono::steady_clock::now();
        }
        return f;
    }
}

void Camera::StopStreaming() {
    if (!impl_->pin) return;
    {
        // No frame released from now on goes back to the pin.
        std::lock_guard<std::mutex> g(impl_->stream->lock);
        impl_->stream->pin = nullptr;
    }
    impl_->pin->SetState(KSSTATE_STOP);
    impl_->pin.reset();
    impl_->stream.reset();
}

const Statistics& Camera::Stats() const { return impl_->stats; }

}  // namespace norvik
