// What applications use: find cameras, open one, read and change its
// controls by name, set the readout window, stream frames and count them.
// A thin façade over the client side of the streaming stand-in; every error
// is a norvik::Error with a kind to act on and a message a person can act on.
//
// Threads. A Camera has one streaming thread at a time: StartStreaming,
// NextFrame, StopStreaming, SetWindow and Close are called by one thread at
// a time (any thread, but not two at once). Get, Set, GetWindow, Stats,
// Identity and the control table may be called from any thread at any time
// while the camera is open, also while another thread streams, restarts
// streaming or changes the window. Frames may be released on any thread,
// also after StopStreaming and Close. ListCameras, DefaultSettingsPath and
// Camera::Open may run on any thread; two cameras in one process are
// independent of each other, each with its own settings.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace norvik {

// What kind of failure an Error is, for applications that act on it; its
// message says the same for a person.
enum class ErrorKind {
    Unplugged,        // the camera went away (or reset): open it again once it is back
    Busy,             // another process has the camera (the message names it)
    TimedOut,         // the camera sent nothing for longer than it was given
    InvalidArgument,  // a name or value the camera does not take; nothing was changed
    Io,               // a file, the USB link or the camera itself failed
    Closed,           // a call on a camera that was closed
};

// Every failure of the API is one of these.
class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    explicit Error(const std::string& what) : Error(ErrorKind::Io, what) {}
    ErrorKind Kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

struct CameraInfo {
    std::string device;  // what --device takes
    std::string description;
    std::string inUseBy;  // "NAME (pid N)" of the program that has it open; empty when free
};

// The cameras this build can open.
std::vector<CameraInfo> ListCameras();

// Where settings are kept unless an application says otherwise:
// $XDG_CONFIG_HOME/norvikcam/settings.reg (~/.config without it), so the
// tool and every application share them.
std::string DefaultSettingsPath();

struct OpenOptions {
    // "sim" (the simulated camera; "sim:N" for the Nth of several), "usb"
    // (the first camera attached), "usb:VID:PID", as ListCameras names them.
    std::string device = "sim";
    // The .reg file this camera's settings are kept in (other cameras' keys
    // in it are left alone); empty: in memory only, for this open. The
    // library's default touches no file, so a program that does not ask for
    // it never changes what the user saved; the tool, the viewer and the
    // element pass DefaultSettingsPath(), so they share one file.
    std::string settingsPath;
    std::string tracePath;     // a usbmon pcap of the USB traffic; empty: none
    double simulatedFps = 30;  // the simulated camera's pace (0: as fast as it can)
    // A camera belongs to one process at a time: how long to wait for
    // another process to close it (0: refuse at once, naming that process).
    double waitSeconds = 0;
    // Where the ownership locks live; empty: $XDG_RUNTIME_DIR/norvikcam, or
    // /tmp/norvikcam-UID without it.
    std::string lockDirectory;
    // The threads that carry frames (the USB completions, the capture
    // thread, the conversion and the copy into the application's frame) run
    // above the rest of the machine, so frames keep their rate when other
    // work competes for the cores: real-time scheduling where the system
    // allows it (RLIMIT_RTPRIO or CAP_SYS_NICE), else a lower nice value,
    // else normal. For the whole process, once a camera raised it. false, or
    // NORVIKCAM_PRIORITY=normal in the environment, leaves it normal. The
    // simulated camera raises only when paced at the camera's 30 frames/s
    // or slower: unpaced or faster it runs flat out, and while such a
    // camera is open nothing in the process is raised, since real-time
    // threads that never sleep would starve the machine.
    bool raisePriority = true;
};

// What the frame path's threads obtained.
struct FramePriority {
    enum class Kind { Normal, Nice, RealTime };
    Kind kind = Kind::Normal;
    int value = 0;            // the real-time priority, or the nice value
    bool asked = false;       // whether it was raised at all
    std::string description;  // for people: what it has, and why no more
};

// What a control holds: any whole number in its range, or a switch, 0 (off)
// or 1 (on).
enum class ControlType { Integer, Switch };

// One control, as the camera's table of controls describes it; every front
// end reads these rather than keeping lists of its own.
struct ControlInfo {
    std::string name;  // the property's name without its prefix, lower case
    uint32_t id = 0;
    bool writable = false;
    bool hasRange = false;  // without one, any value is passed on (see isSigned)
    int32_t minimum = 0, maximum = 0, defaultValue = 0;
    int32_t step = 1;
    bool isSigned = true;  // false: negative values are refused, range or not
    bool inert = false;    // kept and reported, but changes nothing on this camera
    bool shown = false;    // a setting user interfaces offer (not inert, not a diagnostic)
    ControlType type = ControlType::Integer;
    std::string unit;  // "ms", "degrees", ...; empty for a plain number
    std::string description;
};

struct Window {
    int32_t x, y, width, height;        // the readout window
    int32_t outputWidth, outputHeight;  // what frames carry
};

struct Stream;

// A frame as the driver delivered it, in the client buffer it filled: no
// copy is made. The buffer goes back to the driver when the frame is
// released or destroyed (on any thread); while an application holds it,
// the driver fills the others. Move-only.
class Frame {
  public:
    Frame() = default;
    Frame(std::shared_ptr<Stream> stream, int buffer)
        : stream_(std::move(stream)), buffer_(buffer) {}
    Frame(Frame&& other) noexcept { *this = std::move(other); }
    Frame& operator=(Frame&& other) noexcept;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() { Release(); }
    // Gives the buffer back to the driver; the pixels are gone after it.
    void Release();

    int width = 0, height = 0;
    // 4 bytes a pixel, blue-green-red-255; `top` is the picture's top row
    // and each row lies `stride` bytes after the one above it. The driver
    // fills a bottom-up bitmap, so `stride` is negative and `top` is the
    // buffer's last row; the flips are already in the picture (flip_v=1
    // shows it upside down, flip_h=1 mirrored).
    const uint8_t* top = nullptr;
    ptrdiff_t stride = 0;
    const uint8_t* Row(int y) const { return top + static_cast<ptrdiff_t>(y) * stride; }
    int64_t pictureNumber = 0;
    int64_t presentationTime = 0;       // 100 ns units
    bool flipH = false, flipV = false;  // the flips the driver filled this frame with
    // With StartStreaming(keepRaw): the raw window the frame was converted
    // from, the window's rows in image order, one byte a pixel, unflipped,
    // rows rawWidth bytes apart.
    int rawWidth = 0, rawHeight = 0;
    const uint8_t* raw = nullptr;

  private:
    std::shared_ptr<Stream> stream_;
    int buffer_ = -1;
};

struct Statistics {
    uint64_t frames = 0;
    uint64_t dropped = 0;   // gaps in the picture numbers
    uint64_t timeouts = 0;  // waits that ended with no frame
};

// Memory for a copy of a frame, fresh zero pages from the kernel in huge
// pages where the system offers them: a new full-resolution buffer costs a
// few page faults instead of thousands. What a program that keeps frames
// (a burst, a queue for an encoder) copies them into. Move-only.
class FrameMemory {
  public:
    FrameMemory() = default;
    explicit FrameMemory(size_t size);  // throws std::bad_alloc
    FrameMemory(FrameMemory&& other) noexcept { *this = std::move(other); }
    FrameMemory& operator=(FrameMemory&& other) noexcept;
    FrameMemory(const FrameMemory&) = delete;
    FrameMemory& operator=(const FrameMemory&) = delete;
    ~FrameMemory();
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// While one lives, the calling thread takes frames at the frame path's
// priority (see OpenOptions::raisePriority), as the driver's own threads
// do: for the loop that takes frames and hands them on at once, so that
// other work on a busy machine cannot keep the driver's buffers from
// coming back. Encoding and writing belong on other threads, at normal
// priority.
class FrameReaderPriority {
  public:
    FrameReaderPriority();
    ~FrameReaderPriority();
    FrameReaderPriority(const FrameReaderPriority&) = delete;
    FrameReaderPriority& operator=(const FrameReaderPriority&) = delete;

  private:
    struct Member;
    std::unique_ptr<Member> member_;
};

class Camera {
  public:
    // Throws Error: Busy (another process has it), InvalidArgument (no such
    // device), Unplugged, Io (the settings file, the USB link, the camera).
    static std::unique_ptr<Camera> Open(const OpenOptions& options);
    // Stops streaming, closes the filter and stops the device, which saves
    // the settings; throws when they could not be saved. Then the camera is
    // free for other processes.
    void Close();
    ~Camera();  // Close, for a camera not closed yet, with errors swallowed

    // What this camera's settings are kept under: "sim" for the simulated
    // camera, "serial-S" or "port-BUS-PORTS" for a real one.
    const std::string& Identity() const;

    static const std::vector<ControlInfo>& Controls();
    // Throws Error(InvalidArgument) for an unknown name.
    static const ControlInfo& Control(const std::string& name);
    int32_t Get(const std::string& name);
    // Sets a control; a value the control does not take (unknown or
    // read-only control, outside the range, negative for an unsigned one, a
    // switch other than 0 or 1) throws Error(InvalidArgument) and nothing is
    // sent to the camera.
    void Set(const std::string& name, int32_t value);
    // Throws what Set would throw for this name and value, without a
    // camera: a batch of changes can be checked before any is made.
    static void Check(const std::string& name, int32_t value);

    // The readout window and the size of the frames it gives (while
    // streaming: of the frames this run delivers).
    Window GetWindow();
    // Not while streaming. The camera fits the window to its rules (even
    // corners, widths a multiple of 8 in the output).
    void SetWindow(int32_t x, int32_t y, int32_t width, int32_t height);

    // Throws InvalidArgument when already streaming.
    // `buffers` client buffers (1 to 64) take turns: one is filled while the
    // others are held by the application or wait in the driver's queue.
    // A frame's conversion runs on `threads` threads (0 to 64; 0: one a
    // core, or NORVIKCAM_THREADS).
    void StartStreaming(bool keepRaw = false, int buffers = 3, int threads = 0);
    // The next frame, or nothing when none came within the time-out (0: a
    // frame that is there already, without waiting). Frames may outlive
    // StopStreaming and the camera; they keep their buffer.
    std::optional<Frame> NextFrame(std::chrono::milliseconds timeout);
    void StopStreaming();
    // This run's counts so far, as of the call.
    Statistics Stats() const;
    // The priority the frame path's threads have (see OpenOptions).
    FramePriority Priority() const;

    struct Impl;

  private:
    friend struct CameraAccess;  // this project's own tests and tools
    explicit Camera(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace norvik
