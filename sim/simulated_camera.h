// The simulated camera: a UsbDevice that behaves as the camera's firmware
// does. It serves the device and configuration descriptors, interprets the
// 64-byte command blocks with sensor and controller register files, answers
// a byte read with two reply blocks, and records every exchange for tests.
// Faults can be injected on request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/kernel/fifo.h"
#include "platform/usb/usb_device.h"
#include "sim/test_scene.h"

namespace sim {

constexpr uint16_t kVendorId = 0x4E56;
constexpr uint16_t kProductId = 0x2560;

// What the camera's configuration descriptor looks like.
enum class Layout {
    Standard,            // one interface: command OUT, reply IN, frame IN, all bulk
    SeveralInterfaces,   // the standard interface and a second one with one endpoint
    NoEndpoints,         // one interface without endpoints
    WrongEndpointTypes,  // the three endpoints are isochronous
    SmallPackets,        // bulk endpoints with 8-byte packets
};

struct Exchange {
    enum class Kind { Control, SetConfiguration, Out, In, Abort, ClearHalt, ResetPort, Pause };
    Kind kind;
    uint8_t endpoint = 0;
    std::vector<uint8_t>
        data;  // OUT data, IN data delivered, or the setup packet of a control transfer
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    ULONG requested = 0;
    ULONG actual = 0;
    int64_t interval = 0;  // Pause: the relative interval in 100 ns units
};

class SimulatedCamera : public usb::UsbDevice {
  public:
    explicit SimulatedCamera(Layout layout = Layout::Standard);
    // Serves these bytes as the configuration descriptor, whatever they hold.
    explicit SimulatedCamera(std::vector<uint8_t> configuration);
    ~SimulatedCamera() override;

    // --- what the camera holds ---
    std::optional<uint32_t> SensorRegister(uint32_t index) const;
    std::map<uint32_t, uint32_t> SensorRegisters() const;
    std::optional<uint8_t> ControllerRegister(uint8_t index) const;
    void SetMemory(uint16_t address, uint8_t value);
    uint8_t Configuration() const;
    // The device or configuration descriptor the camera serves.
    std::vector<uint8_t> Descriptor(uint8_t type) const;
    // Serves these bytes as the device descriptor, whatever they hold.
    void SetDeviceDescriptor(std::vector<uint8_t> bytes);
    int PortResets() const;

    // --- the record ---
    std::vector<Exchange> Record() const;
    // The command blocks received on the command pipe, in order.
    std::vector<std::vector<uint8_t>> CommandBlocks() const;
    void ClearRecord();
    // Pauses between blocks are recorded while this is on (default on).
    void RecordPauses(bool on);
    // Whether exchanges are recorded at all (default on). Off for a camera
    // nobody inspects, whose record would otherwise grow with every frame.
    void SetRecording(bool on);

    // --- faults ---
    // The next n OUT blocks on the command pipe never complete (until cancelled).
    void HangCommands(int n);
    // The next n transfers on an endpoint complete with this status
    // (endpoint 0: control transfers).
    void FailTransfers(uint8_t endpoint, int n, USBD_STATUS status);
    // The next n transfers on an endpoint move only `bytes` bytes.
    void ShortTransfers(uint8_t endpoint, int n, ULONG bytes);
    // Frame reads only: the fault above starts after `skip` more reads of
    // the frame pipe went through, so it meets the read wanted.
    void SkipFrameReads(int skip);
    void SetPort(bool connected, bool enabled);
    // The camera is gone: everything pending ends with an error, and every
    // later request fails.
    void SurpriseRemove();
    // When the camera was removed, if it was.
    std::optional<std::chrono::steady_clock::time_point> RemovedAt() const;
    // The next frame stops after `bytes` bytes; its remaining reads stay
    // queued until they are cancelled (a read the stop falls in gets
    // nothing), and the rest of the frame never comes.
    void StallFrameAfter(ULONG bytes);
    // Whether a stall asked for is still to come (no frame has reached it).
    bool StallPending() const;
    // Whether a transfer-begin block drops what is left of the frame being
    // sent (the default), or the camera goes on sending it first, as one
    // whose FIFO is not flushed would.
    void KeepFrameTail(bool keep);
    // The next frame goes out at this many bytes a second.
    void SlowFrame(double bytesPerSecond);
    // The camera is unplugged once `bytes` bytes of the next frame are out.
    void RemoveDuringFrame(ULONG bytes);
    // The endpoint halts as a real one does: every transfer on it, pending
    // or new, ends with a stall until the host clears the halt.
    void HaltEndpoint(uint8_t endpoint);
    bool Halted(uint8_t endpoint) const;
    // The next byte read is answered with these blocks instead of its two.
    void ReplyWith(std::vector<std::vector<uint8_t>> blocks);
    // While on, frame reads that complete together complete last first, as
    // completions handed back from several processors can.
    void CompleteFrameReadsReversed(bool on);
    // The camera's control endpoint stops answering: each clear-halt, port
    // status and port reset waits this long, as the host's control time-out
    // would, and then fails as a time-out does; 0 lifts it and ends the
    // waits at once. Not dropped by ClearFaults.
    void HangControl(std::chrono::milliseconds each);
    // How many calls wait on the hang now.
    int ControlCallsHung() const;
    // Every fault above not yet spent is dropped (a halted endpoint stays
    // halted until the host clears it; a removed camera stays removed).
    void ClearFaults();

    // --- frames ---
    // Frames per second (0: as fast as possible, the default) and link
    // speed in bytes per second (0: unlimited, the default).
    void SetFrameRate(double fps);
    void SetLinkSpeed(double bytesPerSecond);
    // Frame k shows scene frame k % count, the same few frames over and
    // over (0, the default: frame k shows scene frame k).
    void CycleFrames(uint32_t count);
    uint32_t FramesDelivered() const;
    // At a set rate the camera keeps its own clock: frame time k is k / fps
    // after the first frame of a stream (the clock starts again when the
    // frame pipe is aborted or the rate is set), whatever the host does.
    // A frame that leaves more than a quarter of a frame time after its
    // slot (the first, whose picture takes a while to make, or one the
    // camera was late with) moves the clock on with it, so frames never
    // come much closer together than a frame time. Frames it sent more
    // than half a frame time after they were due, because it could not run
    // in time itself (on a starved host): the camera's own lateness, kept
    // apart from the host's drops.
    uint64_t LateFrames() const;
    // Frame times that passed while the host asked for no frame (it came
    // back late, or had stopped): frames the host did not take, never sent,
    // and no frame number is spent on them.
    uint64_t FramesNotTaken() const;
    // A frame asked for (transfer end) that has not begun to go out: still
    // owed to the host.
    bool FrameOwed() const;
    // The light level the exposure and gain registers give: 1.0 at exposure
    // 64 and gain 0; it rises with both as a sensor's would.
    double Signal() const;
    // The image rows (2560 x 1920, top first) of frame `number` as the
    // current registers render it: what a captured frame must equal.
    std::vector<uint8_t> ExpectedImage(uint32_t number) const;
    // The filler of raw line `line` outside the image lines.
    static uint8_t FillerByte(ULONG line, ULONG column);

    uint8_t CommandEndpoint() const { return commandEp_; }
    uint8_t ReplyEndpoint() const { return replyEp_; }
    uint8_t FrameEndpoint() const { return frameEp_; }
    size_t PendingOn(uint8_t endpoint) const;

    // --- UsbDevice ---
    USBD_STATUS ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                uint16_t index, uint8_t* data, uint16_t length,
                                ULONG* transferred) override;
    USBD_STATUS SetConfiguration(uint8_t value) override;
    void Submit(std::shared_ptr<usb::Transfer> transfer) override;
    void Cancel(const std::shared_ptr<usb::Transfer>& transfer) override;
    void AbortEndpoint(uint8_t endpoint) override;
    USBD_STATUS ClearHalt(uint8_t endpoint) override;
    ULONG PortStatus() override;
    NTSTATUS ResetPort() override;

  private:
    using TransferPtr = std::shared_ptr<usb::Transfer>;
    struct Done {
        TransferPtr transfer;
        USBD_STATUS status;
        ULONG actual;
    };
    // Completions gathered under the lock and run after it, in a vector the
    // calling thread keeps between calls, so submitting never allocates one.
    struct DoneList {
        DoneList();
        ~DoneList();
        std::vector<Done> items;
        static std::vector<Done>& Spare();
    };
    struct Fault {
        int count = 0;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        int shortCount = 0;
        ULONG shortBytes = 0;
    };

    void Init();
    void Interpret(const uint8_t* block, std::vector<Done>& done);
    void ServeReplies(std::vector<Done>& done);
    void Finish(std::vector<Done>& done);
    void RemoveLocked(std::vector<Done>& done);
    void Log(Exchange e);
    void Deliverer();
    void DeliverLocked(std::vector<Done>& done, std::unique_lock<std::mutex>& lock);
    void DeliverInOrderLocked(std::vector<Done>& done, std::unique_lock<std::mutex>& lock);
    // The still scene on the wire, lit by `signal`: the filler lines and the
    // image rows at their lines, what every frame shows outside its spans.
    void RenderStillWire(double signal);
    // Starts sending frame `number`: its spans at their wire offsets.
    void PlanFrameLocked(uint32_t number, double signal);
    // Paints the spans of the frame going out that fall in wire bytes
    // from .. from + n - 1, which were copied to `at`.
    void PaintSpansLocked(ULONG from, ULONG n, uint8_t* at);
    double SignalLocked() const;
    std::chrono::steady_clock::time_point NextDueLocked(std::chrono::steady_clock::time_point now);
    // Waits out a control hang, if one is on; true when the call hung.
    bool ControlHangLocked(std::unique_lock<std::mutex>& lock);

    mutable std::mutex lock_;
    std::vector<uint8_t> device_;
    std::vector<uint8_t> configuration_;
    uint8_t commandEp_ = 0, replyEp_ = 0, frameEp_ = 0;
    uint8_t configured_ = 0;
    bool connected_ = true, enabled_ = true, removed_ = false;
    int portResets_ = 0;
    int hangCommands_ = 0;
    bool recordPauses_ = true;
    bool recording_ = true;
    std::map<uint8_t, Fault> faults_;
    std::map<uint8_t, bool> halted_;
    std::map<uint8_t, kernel::Fifo<TransferPtr>> pending_;
    std::vector<Done> delivered_;  // the deliverer thread's own, kept so it never reallocates
    std::deque<std::vector<uint8_t>> replies_;
    std::map<uint32_t, uint32_t> sensor_;
    std::map<uint8_t, uint8_t> controller_;
    std::map<uint16_t, uint8_t> memory_;
    std::vector<Exchange> record_;

    // Frame delivery, on a thread of the camera's own.
    std::condition_variable wake_;
    bool stop_ = false;
    bool frameRequested_ = false;
    uint64_t transferBegins_ = 0;  // transfer-begin commands taken, for a frame being readied
    bool readying_ = false;        // a frame asked for waits for its slot or its picture
    bool frameActive_ = false;
    ULONG frameOffset_ = 0;
    uint32_t framesDelivered_ = 0;
    double fps_ = 0, linkSpeed_ = 0;
    // The camera's clock (see NextDueLocked).
    bool clockRunning_ = false;
    std::chrono::steady_clock::time_point requestedAt_{};  // of the frame asked for
    double clockFps_ = 0;
    std::chrono::steady_clock::time_point clockStart_{};
    uint64_t nextSlot_ = 0;
    uint64_t lateFrames_ = 0, notTaken_ = 0;
    ULONG stallAt_ = 0;  // 0: no stall
    bool keepTail_ = false;
    double slowNext_ = 0;    // the next frame's link speed, 0: as usual
    double frameSpeed_ = 0;  // the link speed of the frame being sent
    ULONG removeAt_ = 0;     // 0: no removal
    std::vector<std::vector<uint8_t>> replyOverride_;
    int frameReadSkip_ = 0;
    std::optional<std::chrono::steady_clock::time_point> removedAt_;
    bool reverseFrameReads_ = false;
    std::chrono::milliseconds controlHang_{0};
    int controlHung_ = 0;
    std::condition_variable controlWake_;
    uint32_t cycle_ = 0;
    // A frame goes out as the still wire copied and its spans painted over
    // the copy, so sending one costs its copy and the painting of what
    // moves; the still is lit again only when the light changes.
    std::vector<uint8_t> still_;
    double stillSignal_ = -1;
    struct WireSpan {
        size_t offset;  // of the span's first pixel
        SceneSpan span;
    };
    std::vector<SceneSpan> spans_;        // the deliverer's own, kept between frames
    std::vector<WireSpan> sendingSpans_;  // the frame going out's, by offset
    size_t nextSpan_ = 0;                 // the first not yet wholly sent
    uint8_t sendingLut_[256] = {};
    std::thread deliverer_;
};

// The configuration descriptor of a layout, for tests that start from it.
std::vector<uint8_t> ConfigurationDescriptor(Layout layout);

}  // namespace sim
