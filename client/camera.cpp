// The façade over the camera stack and the streaming client.
#include "client/camera.h"
#include "client/camera_internal.h"
#include "client/control_table.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "camera/readout_window.h"
#include "control/camera_properties.h"
#include "driver/frame_tap.h"
#include "host/camera_stack.h"
#include "host/known_cameras.h"
#include "platform/kernel/frame_path.h"
#include "platform/kernel/large_pages.h"
#include "platform/ks/ks_client.h"
#include "platform/usb/libusb/libusb_device.h"
#include "sim/simulated_camera.h"

namespace norvik {
namespace {

using host::Hex;

}  // namespace

std::string DefaultSettingsPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base =
        xdg && *xdg ? xdg : std::filesystem::path(home ? home : ".") / ".config";
    return (base / "norvikcam" / "settings.reg").string();
}

namespace {

std::string DefaultLockDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != 0) return std::string(runtime) + "/norvikcam";
    return "/tmp/norvikcam-" + std::to_string(::getuid());
}

constexpr int kOwnerNote = 64;

// The owner's note in a camera's lock file: "NAME (pid N)", or nothing when
// the file holds none.
std::optional<std::string> OwnerNote(int fd) {
    char text[kOwnerNote + 1] = {};
    const ssize_t n = ::pread(fd, text, kOwnerNote, 0);
    long pid = 0;
    char name[64] = {};
    if (n > 0 && std::sscanf(text, "%ld %63s", &pid, name) == 2)
        return std::string(name) + " (pid " + std::to_string(pid) + ")";
    return std::nullopt;
}

// Who holds the lock on the file at `path`, read from the kernel's list of
// locks (the lock itself is not touched, so an open at the same moment is
// never turned away); empty when nobody does.
std::string LockHolder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "";
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, advisory, mode, where;
        long pid = 0;
        // Waiters are listed with "->" after the number; only holders count.
        if (!(words >> number >> kind) || kind != "FLOCK") continue;
        if (!(words >> advisory >> mode >> pid >> where) || where != file) continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::optional<std::string> note;
        if (fd >= 0) {
            note = OwnerNote(fd);
            ::close(fd);
        }
        return note ? *note : "pid " + std::to_string(pid);
    }
    return "";
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
        if (fd_ < 0)
            throw Error(ErrorKind::Io,
                        "cannot lock the camera at " + path_ + ": " + std::strerror(errno));
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                const int e = errno;
                ::close(fd_);
                throw Error(ErrorKind::Io,
                            "cannot lock the camera at " + path_ + ": " + std::strerror(e));
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                std::string owner = Owner();
                ::close(fd_);
                throw Error(ErrorKind::Busy,
                            "camera in use by " + owner +
                                (waitSeconds > 0 ? " (waited " + Seconds(waitSeconds) + ")" : "") +
                                "; wait for it with --wait SECONDS");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // One fixed-size write, so a reader never sees half a note.
        char text[kOwnerNote + 1];
        const char* me = program_invocation_short_name;
        std::snprintf(text, sizeof text, "%-*s", kOwnerNote - 1,
                      (std::to_string(::getpid()) + " " + (me ? me : "?")).c_str());
        text[kOwnerNote - 1] = '\n';
        if (::pwrite(fd_, text, kOwnerNote, 0) != kOwnerNote) {
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
            if (auto note = OwnerNote(fd_)) return *note;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "another process";
    }
    std::string path_;
    int fd_ = -1;
};

// usbfs memory a frame keeps in flight: all of its reads at once, plus the
// command and reply blocks.
constexpr int64_t kUsbfsNeeded = static_cast<int64_t>(RAW_FRAME_SIZE) + 64 * 1024;
constexpr const char* kRaiseUsbfs =
    "raise the limit with 'echo 64 > /sys/module/usbcore/parameters/usbfs_memory_mb' as root, or "
    "boot with "
    "usbcore.usbfs_memory_mb=64";

struct ClientFrameBuffer {
    std::vector<uint8_t> header;
    // Nothing is written into it before the driver fills it, so a run's
    // start does not touch every page of every buffer once more.
    FrameMemory data;
    // The flips the pin's tap saw it filled with.
    bool flipH = false, flipV = false;
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

    KSSTREAM_HEADER* Header(int i) {
        return reinterpret_cast<KSSTREAM_HEADER*>(buffers[static_cast<size_t>(i)].header.data());
    }
    int IndexOf(const KSSTREAM_HEADER* h) {
        for (size_t i = 0; i < buffers.size(); ++i)
            if (reinterpret_cast<const KSSTREAM_HEADER*>(buffers[i].header.data()) == h)
                return static_cast<int>(i);
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
        flipH = other.flipH, flipV = other.flipV;
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
    std::vector<CameraInfo> cameras = {
        {"sim", "simulated Norvik 2560 x 1920 raw-Bayer camera (built in)"}};
    for (const auto& f : usb::FindUsbDevices(host::KnownCameras())) {
        char where[48];
        std::snprintf(where, sizeof where, " (bus %03u device %03u)", f.bus, f.address);
        // The name carries the socket, so two identical cameras have two names.
        cameras.push_back(
            {f.name, std::string("Norvik 2560 x 1920 raw-Bayer camera on USB") + where});
    }
    for (auto& c : cameras)
        c.inUseBy = LockHolder(DefaultLockDirectory() + "/" +
                               host::ParseDevice(c.device).LockName() + ".lock");
    return cameras;
}

struct Camera::Impl final : FrameTap {
    std::unique_ptr<OwnershipLock> lock;  // released last, after the settings are saved
    std::unique_ptr<host::CameraStack> stack;
    // What may change while other threads read: the pin, the run and the
    // format it streams in, the counts.
    mutable std::mutex state;
    std::unique_ptr<ks::Pin> pin;
    std::shared_ptr<Stream> stream;
    bool keepRaw = false;
    int32_t outputWidth = 0, outputHeight = 0;  // of this run's frames
    Statistics stats;
    int64_t lastPicture = 0;
    uint64_t unplugAfter = 0;
    uint64_t noMemorySeen = 0;
    std::chrono::steady_clock::time_point lastFrameAt{};
    std::string priorityNotAsked;  // empty: this camera raised the frame path
    // The frame path stays raised while a camera that raised it is open,
    // and held down while one that runs flat out is.
    struct RaisedPath {
        bool on = false, held = false;
        void Raise() {
            kernel::RaiseFramePath();
            on = true;
        }
        void Hold() {
            kernel::HoldFramePathDown();
            held = true;
        }
        void Lower() {
            if (std::exchange(on, false)) kernel::LowerFramePath();
            if (std::exchange(held, false)) kernel::ReleaseFramePathHold();
        }
        ~RaisedPath() { Lower(); }
    } raised;

    host::CameraStack& Stack() const {
        if (!stack) throw Error(ErrorKind::Closed, "the camera is closed");
        return *stack;
    }
    ks::Filter& Filter() const { return *Stack().Filter(); }

    // A request that failed: because the camera went away, or otherwise.
    [[noreturn]] void Fail(NTSTATUS s, const std::string& what) const {
        if (Stack().Unplugged()) throw Error(ErrorKind::Unplugged, Stack().GoneMessage());
        throw Error(ErrorKind::Io, what + " (" + Hex(s) + ")");
    }

    // A control read or set on a camera that is gone would only reach what
    // the driver last stored.
    NTSTATUS Property(uint32_t id, uint32_t flags, int32_t* value) {
        if (Stack().Unplugged()) throw Error(ErrorKind::Unplugged, Stack().GoneMessage());
        CAMPROP_VALUE_S r{};
        r.Property = {PROPSETID_NorvikControl, id, flags};
        r.Value = value != nullptr ? *value : 0;
        CAMPROP_VALUE_S data = r;
        NTSTATUS s = Filter().Property(&r, sizeof r, &data, sizeof data);
        if (NT_SUCCESS(s) && value != nullptr) *value = data.Value;
        return s;
    }
    int32_t GetId(uint32_t id) {
        int32_t v = 0;
        NTSTATUS s = Property(id, KSPROPERTY_TYPE_GET, &v);
        if (!NT_SUCCESS(s)) Fail(s, "reading control " + std::to_string(id) + " failed");
        return v;
    }

    // On the processing thread, as the pin fills a client buffer: its row
    // order, and the raw window it was converted from when a run keeps raw
    // frames. The buffer reaches NextFrame only after this returns.
    void Filled(const KSSTREAM_HEADER* h, const FilledFrame& f) override {
        Stream* run = stream.get();
        const int i = run != nullptr ? run->IndexOf(h) : -1;
        if (i < 0) return;
        ClientFrameBuffer& b = run->buffers[static_cast<size_t>(i)];
        b.flipH = f.FlipH != 0;
        b.flipV = f.FlipV != 0;
        if (!keepRaw || f.Raw == nullptr) return;
        b.rawWidth = static_cast<int>(f.RawWidth);
        b.rawHeight = static_cast<int>(f.RawHeight);
        b.raw.resize(static_cast<size_t>(b.rawWidth) * static_cast<size_t>(b.rawHeight));
        for (int r = 0; r < b.rawHeight; ++r)
            std::memcpy(&b.raw[static_cast<size_t>(r) * static_cast<size_t>(b.rawWidth)],
                        f.Raw + static_cast<ptrdiff_t>(r) * f.RawStride,
                        static_cast<size_t>(b.rawWidth));
    }
};

Camera::Camera(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

namespace {

ErrorKind KindOf(host::StackError::Kind k) {
    switch (k) {
        case host::StackError::Kind::InvalidArgument:
            return ErrorKind::InvalidArgument;
        case host::StackError::Kind::Unplugged:
            return ErrorKind::Unplugged;
        case host::StackError::Kind::Io:
            break;
    }
    return ErrorKind::Io;
}

}  // namespace

constexpr double kCameraFps = 30;

// Why the frame path stays at normal priority; empty when it is raised.
std::string PriorityNotAsked(const OpenOptions& o, const host::DeviceName& name) {
    if (!o.raisePriority) return "not asked";
    const char* env = std::getenv("NORVIKCAM_PRIORITY");
    if (env != nullptr && std::string(env) == "normal") return "NORVIKCAM_PRIORITY=normal";
    // Flat out, real-time threads would starve the rest of the machine.
    if (!name.usb && o.simulatedFps <= 0)
        return "the simulated camera runs unpaced, as fast as it can";
    if (!name.usb && o.simulatedFps > kCameraFps)
        return "the simulated camera runs faster than the camera's 30 frames/s";
    return {};
}

std::unique_ptr<Camera> Camera::Open(const OpenOptions& o) {
    return CameraAccess::Open(o, {});
}

std::unique_ptr<Camera> CameraAccess::Open(const OpenOptions& o, const SimulatedKnobs& knobs) {
    auto impl = std::make_unique<Camera::Impl>();
    try {
        const host::DeviceName name = host::ParseDevice(o.device);
        impl->lock = std::make_unique<OwnershipLock>(
            o.lockDirectory.empty() ? DefaultLockDirectory() : o.lockDirectory, name.LockName(),
            o.waitSeconds);
        host::StackOptions so;
        so.device = o.device;
        so.settingsPath = o.settingsPath;
        so.tracePath = o.tracePath;
        so.simulatedFps = o.simulatedFps;
        so.simulatedCycle = knobs.cycle;
        so.simulatedRemoveAfter = knobs.removeAfter;
        impl->unplugAfter = knobs.unplugAfter;
        impl->stack = host::CameraStack::Open(std::move(so));
        impl->priorityNotAsked = PriorityNotAsked(o, name);
        if (impl->priorityNotAsked.empty())
            impl->raised.Raise();
        else if (!name.usb && (o.simulatedFps <= 0 || o.simulatedFps > kCameraFps))
            impl->raised.Hold();
    } catch (const host::StackError& e) {
        throw Error(KindOf(e.kind), e.what());
    }
    // The window the settings gave: one that makes no picture would only
    // end in waits for frames that never come.
    const host::ReadoutWindow w = impl->stack->Window();
    if (w.outputWidth < 8 || w.outputHeight < 1)
        throw Error(ErrorKind::InvalidArgument,
                    "the window in " +
                        (o.settingsPath.empty() ? std::string("the settings") : o.settingsPath) +
                        " (\"RoiW\"=" + std::to_string(w.width) +
                        ", \"RoiH\"=" + std::to_string(w.height) +
                        ") gives no picture: frames are at least 8 pixels wide; set another with "
                        "'norvikcam window'");
    return std::unique_ptr<Camera>(new Camera(std::move(impl)));
}

sim::SimulatedCamera* CameraAccess::Simulated(Camera& camera) {
    return camera.impl_->Stack().Simulated();
}

void Camera::Close() {
    if (!impl_ || !impl_->stack) return;
    StopStreaming();
    std::string error = impl_->stack->Close();
    impl_->stack.reset();
    impl_->lock.reset();
    if (impl_->raised.on || impl_->raised.held) impl_->priorityNotAsked = "the camera is closed";
    impl_->raised.Lower();
    if (!error.empty()) throw Error(ErrorKind::Io, error);
}

Camera::~Camera() {
    try {
        Close();
    } catch (const std::exception&) {
        // A caller that wants to know closes explicitly.
    }
}

const std::string& Camera::Identity() const {
    return impl_->Stack().Identity();
}

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

int32_t Camera::Get(const std::string& name) {
    return impl_->GetId(Control(name).id);
}

void Camera::Set(const std::string& name, int32_t value) {
    const ControlInfo& c = Control(name);
    CheckControlValue(c, value);
    int32_t v = value;
    NTSTATUS s = impl_->Property(c.id, KSPROPERTY_TYPE_SET, &v);
    if (!NT_SUCCESS(s)) impl_->Fail(s, "setting " + name + " failed: the camera did not take it");
}

Window Camera::GetWindow() {
    const host::ReadoutWindow w = impl_->Stack().Window();
    std::lock_guard<std::mutex> g(impl_->state);
    if (impl_->pin) return {w.x, w.y, w.width, w.height, impl_->outputWidth, impl_->outputHeight};
    return {w.x, w.y, w.width, w.height, w.outputWidth, w.outputHeight};
}

void Camera::SetWindow(int32_t x, int32_t y, int32_t width, int32_t height) {
    if (impl_->pin)
        throw Error(ErrorKind::InvalidArgument, "the window cannot change while streaming");
    CAMPROP_WINDOW_S w{};
    w.Property = {PROPSETID_NorvikControl, CAMPROP_WINDOW, KSPROPERTY_TYPE_SET};
    w.X = x, w.Y = y, w.Width = width, w.Height = height;
    CAMPROP_WINDOW_S data = w;
    const host::ReadoutWindow before = impl_->Stack().Window();
    NTSTATUS s = impl_->Filter().Property(&w, sizeof w, &data, sizeof data);
    if (!NT_SUCCESS(s)) impl_->Fail(s, "setting the window failed");
    // The camera fits any window inside the sensor, but one narrower than 8
    // pixels gives frames with nothing in them: put the old one back.
    const host::ReadoutWindow after = impl_->Stack().Window();
    if (after.outputWidth < 8 || after.outputHeight < 1) {
        w.X = before.x, w.Y = before.y, w.Width = before.width, w.Height = before.height;
        data = w;
        impl_->Filter().Property(&w, sizeof w, &data, sizeof data);
        throw Error(ErrorKind::InvalidArgument,
                    "window " + std::to_string(x) + " " + std::to_string(y) + " " +
                        std::to_string(width) + " " + std::to_string(height) +
                        " gives no frames: it is " + std::to_string(after.width) +
                        " pixels wide after fitting the sensor, and frames are the window's width "
                        "rounded down to a "
                        "multiple of 8; give a width of 8 or more");
    }
}

void Camera::StartStreaming(bool keepRaw, int count, int threads) {
    Impl& m = *impl_;
    host::CameraStack& stack = m.Stack();
    if (m.pin) throw Error(ErrorKind::InvalidArgument, "already streaming: stop streaming first");
    if (count < 1 || count > 64)
        throw Error(ErrorKind::InvalidArgument,
                    "between 1 and 64 client buffers, not " + std::to_string(count));
    if (threads < 0 || threads > 64)
        throw Error(ErrorKind::InvalidArgument,
                    "between 0 and 64 conversion threads, not " + std::to_string(threads));
    if (usb::LibusbDevice* real = stack.Real()) {
        // usbfs refuses transfers beyond its memory limit; a frame keeps all
        // of its reads in flight at once, plus the command and reply blocks.
        const int64_t limit = usb::UsbfsMemoryLimit();
        if (limit > 0 && limit < kUsbfsNeeded)
            throw Error(ErrorKind::Io, "the kernel's usbfs memory limit is " +
                                           std::to_string(limit / (1024 * 1024)) +
                                           " MB, and one frame needs " +
                                           std::to_string((kUsbfsNeeded + (1 << 20) - 1) >> 20) +
                                           " MB in flight: " + kRaiseUsbfs);
        m.noMemorySeen = real->NoMemoryRefusals();
        m.lastFrameAt = std::chrono::steady_clock::now();
    }
    KS_DATARANGE_VIDEO range = OfferedDataRange;
    std::vector<uint8_t> format(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    ULONG written = 0;
    NTSTATUS s = m.Filter().Intersect(0, &range, sizeof range, format.data(),
                                      static_cast<ULONG>(format.size()), &written);
    if (!NT_SUCCESS(s)) m.Fail(s, "no format for the window");
    const KS_BITMAPINFOHEADER& bmi =
        reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
    const ULONG image = bmi.biSizeImage;
    // The processing the pin acquires converts on this many threads.
    stack.SetConversionThreads(threads);
    auto stream = std::make_shared<Stream>();
    stream->buffers.resize(static_cast<size_t>(count));
    for (auto& b : stream->buffers) {
        b.header.assign(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), 0);
        b.data = FrameMemory(image);
        auto* h = reinterpret_cast<KSSTREAM_HEADER*>(b.header.data());
        h->Size = static_cast<ULONG>(b.header.size());
        h->FrameExtent = image;
        h->Data = b.data.data();
    }
    // The tap is in place before the pin exists, so it sees every frame.
    m.keepRaw = keepRaw;
    m.stream = stream;
    stack.SetFrameTap(&m);
    std::unique_ptr<ks::Pin> pin = m.Filter().CreatePin(0, format.data(), written, &s);
    if (!pin) {
        stack.SetFrameTap(nullptr);
        m.stream.reset();
        m.Fail(s, "the capture pin could not be created");
    }
    pin->UseClock(true);
    stream->pin = pin.get();
    for (size_t i = 0; i < stream->buffers.size(); ++i)
        pin->Submit(stream->Header(static_cast<int>(i)));
    {
        std::lock_guard<std::mutex> g(m.state);
        m.pin = std::move(pin);
        m.outputWidth = bmi.biWidth;
        m.outputHeight = bmi.biHeight < 0 ? -bmi.biHeight : bmi.biHeight;
        m.stats = {};
    }
    m.lastPicture = 0;
    s = m.pin->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(s)) {
        StopStreaming();
        m.Fail(s, "streaming did not start");
    }
}

std::optional<Frame> Camera::NextFrame(std::chrono::milliseconds timeout) {
    Impl& m = *impl_;
    host::CameraStack& stack = m.Stack();
    if (!m.pin) throw Error(ErrorKind::InvalidArgument, "not streaming");
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // Short waits, so an unplugged camera is noticed at once rather
        // than after the whole time-out; with no time left, a frame that is
        // there is still taken (a time-out of 0 polls).
        KSSTREAM_HEADER* h = m.pin->WaitCompleted(
            std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(100)));
        if (h == nullptr) {
            if (stack.Unplugged()) throw Error(ErrorKind::Unplugged, stack.GoneMessage());
            if (left.count() > 100) continue;
            usb::LibusbDevice* real = stack.Real();
            if (real && real->NoMemoryRefusals() != m.noMemorySeen &&
                std::chrono::steady_clock::now() - m.lastFrameAt > std::chrono::seconds(2)) {
                // No frame for a while, and not for the camera's fault: the
                // kernel would not take the frame's reads.
                const int64_t limit = usb::UsbfsMemoryLimit();
                throw Error(ErrorKind::Io,
                            "the kernel refused the frame's USB transfers: other programs use up "
                            "most of usbfs's " +
                                (limit > 0 ? std::to_string(limit / (1024 * 1024)) + " MB "
                                           : std::string()) +
                                "memory limit, and one frame needs " +
                                std::to_string((kUsbfsNeeded + (1 << 20) - 1) >> 20) +
                                " MB in flight: " + kRaiseUsbfs + ", or stop the other programs");
            }
            std::lock_guard<std::mutex> g(m.state);
            ++m.stats.timeouts;
            return std::nullopt;
        }
        Stream& run = *m.stream;
        const int index = run.IndexOf(h);
        if (h->DataUsed == 0 || index < 0) {  // handed back with nothing in it: give it again
            if (index >= 0) run.Give(index);
            continue;
        }
        ClientFrameBuffer& b = run.buffers[static_cast<size_t>(index)];
        Frame f(m.stream, index);
        f.width = m.outputWidth;
        f.height = m.outputHeight;
        const auto row = static_cast<ptrdiff_t>(f.width) * 4;
        auto* src = static_cast<const uint8_t*>(h->Data);
        // Every buffer is a bottom-up bitmap, its top row last: without
        // FlipV the driver fills it so that the picture shows upright, with
        // it upside down. That is the vertical flip a user sees.
        f.top = src + row * (f.height - 1);
        f.stride = -row;
        f.flipH = b.flipH;
        f.flipV = b.flipV;
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(h + 1);
        f.pictureNumber = info->PictureNumber;
        f.presentationTime = h->PresentationTime.Time;
        if (b.rawWidth > 0 && !b.raw.empty()) {
            f.rawWidth = std::exchange(b.rawWidth, 0);
            f.rawHeight = std::exchange(b.rawHeight, 0);
            f.raw = b.raw.data();
        }
        uint64_t frames = 0;
        {
            std::lock_guard<std::mutex> g(m.state);
            if (m.lastPicture != 0 && f.pictureNumber > m.lastPicture + 1)
                m.stats.dropped += static_cast<uint64_t>(f.pictureNumber - m.lastPicture - 1);
            frames = ++m.stats.frames;
        }
        m.lastPicture = f.pictureNumber;
        if (stack.Simulated() && frames == m.unplugAfter)
            stack.Simulated()->RemoveDuringFrame(4096);
        if (usb::LibusbDevice* real = stack.Real()) {  // only refusals since the last frame count
            m.noMemorySeen = real->NoMemoryRefusals();
            m.lastFrameAt = std::chrono::steady_clock::now();
        }
        return f;
    }
}

void Camera::StopStreaming() {
    Impl& m = *impl_;
    if (!m.pin) return;
    {
        // No frame released from now on goes back to the pin.
        std::lock_guard<std::mutex> g(m.stream->lock);
        m.stream->pin = nullptr;
    }
    m.pin->SetState(KSSTATE_STOP);
    std::unique_ptr<ks::Pin> pin;
    {
        std::lock_guard<std::mutex> g(m.state);
        pin = std::move(m.pin);
    }
    pin.reset();
    m.Stack().SetFrameTap(nullptr);
    m.stream.reset();
}

Statistics Camera::Stats() const {
    std::lock_guard<std::mutex> g(impl_->state);
    return impl_->stats;
}

// Under the address sanitizer frame buffers come from its heap, which
// catches a write past a frame's end; mapped pages would hide it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kFramesOnTheHeap = true;
#else
constexpr bool kFramesOnTheHeap = false;
#endif

FrameMemory::FrameMemory(size_t size) {
    if (size == 0) return;
    data_ = kFramesOnTheHeap ? new uint8_t[size]()
                             : static_cast<uint8_t*>(kernel::MapLargeBuffer(size));
    if (data_ == nullptr) throw std::bad_alloc();
    size_ = size;
}

FrameMemory& FrameMemory::operator=(FrameMemory&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
}

FrameMemory::~FrameMemory() {
    if (kFramesOnTheHeap)
        delete[] data_;
    else
        kernel::UnmapLargeBuffer(data_, size_);
}

struct FrameReaderPriority::Member {
    kernel::FramePathThread thread{nullptr};
};

FrameReaderPriority::FrameReaderPriority() : member_(std::make_unique<Member>()) {}
FrameReaderPriority::~FrameReaderPriority() = default;

FramePriority Camera::Priority() const {
    const kernel::FramePriority k = kernel::CurrentFramePriority(impl_->priorityNotAsked);
    FramePriority p;
    p.kind = k.kind == kernel::FramePriority::Kind::RealTime ? FramePriority::Kind::RealTime
             : k.kind == kernel::FramePriority::Kind::Nice   ? FramePriority::Kind::Nice
                                                             : FramePriority::Kind::Normal;
    p.value = k.value;
    p.asked = k.asked;
    p.description = k.description;
    return p;
}

}  // namespace norvik
