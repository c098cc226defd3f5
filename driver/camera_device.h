// CameraDevice: the one object that stands for a connected camera, with its
// table of ten camera operations. Its fields keep the order and the names of
// the camera's record; the operations of each subsystem are defined in that
// subsystem's folder.
#pragma once

#include "driver/frame_sink.h"
#include "platform/kernel/io.h"
#include "platform/ks/ks_device.h"

struct USB_CONFIGURATION_DESCRIPTOR;
struct USBD_INTERFACE_INFORMATION;
union URB;
using PURB = URB*;
struct TransferSlot;
struct CaptureThreadState;
struct ImageProcessor;
class FrameTap;

constexpr ULONG CAMERA_TAG = PoolTag("KCNw");     // object records
constexpr ULONG USB_TAG = PoolTag("Nvrk");        // USB requests, descriptors, pipe table, slots
constexpr ULONG BUFFER_TAG = PoolTag("Nvfb");     // frame, image and working buffers
constexpr ULONG PROCESSOR_TAG = PoolTag("IsyR");  // the ImageProcessor

constexpr LONG SENSOR_WIDTH = 2560;
constexpr LONG SENSOR_HEIGHT = 1920;
constexpr ULONG RAW_PITCH = 2560;
constexpr ULONG RAW_LINES = 2080;
constexpr ULONG RAW_FRAME_SIZE = RAW_PITCH * RAW_LINES;  // 5324800

// The 64-byte block of every exchange on the command and reply pipes.
struct CommandBlock {
    UCHAR Bytes[64];
};
static_assert(sizeof(CommandBlock) == 64);

enum class Axis { Horizontal, Vertical };
enum class ColorChannel { Red, Green, Blue };

class CameraDevice {
  public:
    // --- CameraOperations, in slot order ---
    virtual void FrameCaptured();
    virtual BOOLEAN PrepareCapture();
    virtual void CaptureFrame(PUCHAR buffer, BOOLEAN* ok);
    virtual void GetRawFrameSize(ULONG* size);
    virtual void GetRawDataOffset(ULONG* offset);
    virtual void GetRawPitch(ULONG* pitch);
    virtual void AbortPipes();
    virtual void CancelTransfer();
    virtual LONG GetRoiX();
    virtual LONG GetRoiY();

    // Construction in a zero-filled pool block (Add stage); null when the
    // block cannot be had.
    static CameraDevice* Create(PKSDEVICE device);
    // Second-stage initialisation, once the object is in the bag and Context.
    NTSTATUS Initialize(PKSDEVICE device);
    // The device bag's free callback.
    static void Release(PVOID object);

    // USB configuration and request submission.
    NTSTATUS SubmitUrb(PURB urb);
    NTSTATUS ProbeDeviceDescriptor();
    NTSTATUS ConfigureDevice();
    NTSTATUS SelectConfiguration(USB_CONFIGURATION_DESCRIPTOR* descriptor);
    void DeconfigureDevice();
    // Frees the descriptor, the pipe table and the abort flags that are
    // present, and every configuration retired before them; sends nothing.
    void ReleaseConfiguration();
    // A start on a started device replaces a configuration that the capture
    // thread's reads and property requests may still be using: its blocks
    // are kept, not freed, until the stop or the removal.
    void RetireConfiguration();
    void FreeRetiredConfigurations();
    NTSTATUS ResetPortIfDisabled();
    void CancelFrameRequests();
    void CancelSubmittedFrameRequests();
    // One request to the lower device, waited for no longer than the frame
    // time-out and cancelled when it runs over. With capturePath set it is
    // the capture thread's own request: StopTransfers cuts it short, and
    // once the transfers are stopped it is not sent at all.
    // timeoutMs 0 is the frame time-out.
    NTSTATUS SubmitBounded(ULONG ioControlCode, PVOID argument, BOOLEAN capturePath,
                           ULONG timeoutMs = 0);
    // The capture thread's stop, and nothing else: from here on the capture
    // path sends nothing, what it has with the bus is cancelled and its
    // frame wait woken. It does not wait; the stop joins the thread, which
    // takes its requests back itself.
    void StopTransfers();
    // Lets the capture path send again after StopTransfers; the capture
    // thread's start calls it.
    void ResumeTransfers();

    // Command channel.
    NTSTATUS TransferBlock(ULONG pipe, PUCHAR buffer, ULONG* transferred,
                           BOOLEAN capturePath = FALSE);
    BOOLEAN SendCommand(CommandBlock* block);
    BOOLEAN ReadReply(PUCHAR buffer);
    // Reads away reply blocks left waiting, until the reply pipe stays quiet
    // for a short spell; then the replies are in step again.
    void DrainReplies();
    BOOLEAN WriteSensorRegister(ULONG index, LONG value);
    BOOLEAN WriteControllerRegister(UCHAR reg, UCHAR value);
    void SendDeviceStart();

    // Camera controls.
    BOOLEAN SetExposure(ULONG value);
    BOOLEAN SetGlobalGain(ULONG value);
    void SetTimeout(ULONG ms);
    void ApplyWhiteBalance(LONG value);
    void ApplyColorEnable(LONG value);
    void ApplyColorGain(ColorChannel channel, LONG value);
    void ApplyColorCorrection(LONG value);
    void ApplyBrightness(LONG value);
    void ApplyContrast(LONG value);
    void ApplySaturation(LONG value);
    void ApplyHue(LONG value);
    void ApplyFlip(Axis axis, LONG value);
    LONG GetFlipH();
    LONG GetFlipV();
    void ResetBayerPhase();
    // True when the command and both replies went through.
    BOOLEAN ReadCameraByte(PUCHAR destination);

    // Frame transfer.
    NTSTATUS ReadFrame(ULONG length, PUCHAR buffer);
    void SendTransferMarker(BOOLEAN after);
    static PURB BuildFrameUrb(PIRP irp, const struct USBD_PIPE_INFORMATION* pipe,
                              BOOLEAN directionIn);
    static NTSTATUS OnFrameRequestComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    void FreeFrameRequests();
    void ReorderFrameLines(PUCHAR buffer);
    // Waits until no request of the frame is left with the bus.
    void DrainFrameRequests();
    // The frame pipe's reset, and the port's when that fails.
    void ResetFramePipe();
    // Clears a halted pipe (and the device's halt with it); false when the
    // reset did not go through.
    BOOLEAN ResetPipe(ULONG pipe, BOOLEAN capturePath);
    // After a frame was given up: resets the frame pipe and reads away
    // whatever the camera still sends of that frame, until it has been quiet
    // for a while or the frame time-out has passed. `scratch` takes the
    // bytes (at least FrameChunkSize).
    void DrainFramePipe(PUCHAR scratch);

    // Sensor start-up.
    BOOLEAN InitializeSensor();

    // Readout window and offered format.
    void SetReadoutWindow(LONG x, LONG y, LONG width, LONG height, LONG mode);
    void SetPinOpen(LONG open);
    USBD_INTERFACE_INFORMATION* Interface() const {
        return static_cast<USBD_INTERFACE_INFORMATION*>(
            ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&InterfaceInfo)));
    }
    static void UpdateDataRange(ULONG width, ULONG height);

    // --- fields, in the record's order ---
    PKSDEVICE Device = nullptr;
    PDEVICE_OBJECT PhysicalDeviceObject = nullptr;
    PDEVICE_OBJECT NextDeviceObject = nullptr;
    PDEVICE_OBJECT FunctionalDeviceObject = nullptr;
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor = nullptr;
    // Swapped by a start while the capture thread may read it: read once
    // per use, through Interface().
    USBD_INTERFACE_INFORMATION* InterfaceInfo = nullptr;
    PUCHAR PipeAbortFlags = nullptr;
    struct RetiredConfiguration* RetiredConfigurations = nullptr;
    KEVENT TransferEvent{};
    TransferSlot* TransferSlots = nullptr;
    LONG TransferDoneCount = 0;
    LONG TransferSlotCount = 0;
    KSPIN_LOCK TransferLock = 0;
    PMDL FrameMdl = nullptr;
    LONG ExTrigger = 0;
    ULONG Timeout = 0;
    ULONG Exposure = 0;
    ULONG GlobalGain = 0;
    LONG FlipH = 0;
    LONG FlipV = 0;
    LONG ColorEnable = 0;
    LONG WhiteBalance = 0;
    LONG RedGain = 0;
    LONG GreenGain = 0;
    LONG BlueGain = 0;
    LONG ColorCorrection = 0;
    LONG Brightness = 0;
    LONG Contrast = 0;
    LONG Saturation = 0;
    LONG Hue = 0;
    LONG SubSample = 0;
    LONG SensorLeft = 0;
    LONG SensorTop = 0;
    LONG SensorWidth = 0;
    LONG SensorHeight = 0;
    LONG BayerPhase = 0;
    LONG Clock = 0;
    LONG AGC = 0;
    LONG AEC = 0;
    CommandBlock RegisterCommand{};
    CommandBlock CaptureCommand{};
    CommandBlock PipeCommand{};
    LONG ProcessingBusy = 0;
    CaptureThreadState* Capture = nullptr;
    ImageProcessor* Processor = nullptr;
    // Qualified: the field keeps the record's name, which is also its type's.
    ::FrameSink* FrameSink = nullptr;
    FrameTap* Tap = nullptr;  // set while the device has no pin
    // Threads each frame's conversion uses (0: one a core), given to every
    // image processor the pin acquires.
    LONG ConversionThreads = 0;
    KS_VIDEOINFOHEADER* VideoInfo = nullptr;
    LONG RoiH = 0;
    LONG RoiW = 0;
    LONG RoiX = 0;
    LONG RoiY = 0;
    ULONG RawDataOffset = 0;
    ULONG RawPitch = 0;
    ULONG RawFrameSize = 0;
    LONG OutputWidth = 0;
    LONG OutputHeight = 0;
    LONG DefaultBayerPhase = 0;
    LONG PinOpen = 0;
    ULONG FrameNumber = 0;
    LONG RegisterReadIndex = 0;
    LONG RegisterShadow[1024] = {};
    PUCHAR ReorderBuffer = nullptr;
    LONG SensorInitCount = 0;
    // One command exchange per device at a time: held across the fill and
    // send of RegisterCommand, and across a byte read's command and replies.
    FAST_MUTEX CommandLock{};
    // Frame requests of the transfer in progress that completed with an
    // error or short.
    LONG TransferErrors = 0;
    // The frame's requests still with the bus, plus one held by the
    // capture thread until it stops submitting; whoever brings it to zero
    // signals TransferIdle, and nothing of the frame is touched after that.
    LONG TransferOutstanding = 0;
    KEVENT TransferIdle{};
    // Set by StopTransfers, cleared by ResumeTransfers: the capture path
    // sends nothing more while it is set.
    LONG TransferAborted = 0;
    // Set by CancelTransfer for the frame in progress only: that frame
    // queues no more reads and ends; the next frame clears it.
    LONG FrameCancelled = 0;
    // Frames begun (their slots allocated), under TransferLock: a cancel
    // waiting for its frame's requests knows that frame is over once a
    // later one has begun.
    LONG TransferFrames = 0;
    // The capture thread waits for TransferEvent (under TransferLock).
    LONG TransferWaiting = 0;
    // A frame read ended with the pipe halted: it is reset before the next.
    LONG TransferHalted = 0;
    // The capture path's bounded request in flight, under TransferLock.
    PIRP CaptureRequest = nullptr;
    // Counts every frame read that completed: a stop watches it to tell a
    // frame that is arriving from a camera that has gone quiet.
    LONG TransferProgress = 0;
    // A frame was given up after its begin marker: the camera may still be
    // sending the rest of it, which would otherwise open the next frame.
    LONG FramePipeUnsettled = 0;
    // Set when a block on the command pipe times out: a camera that takes
    // no commands would otherwise cost the whole time-out for each block of
    // a sequence of hundreds. While set, command blocks fail at once; a
    // successful pipe or port reset, or a new configuration, clears it.
    LONG CommandPipeWedged = 0;
    // Set when a byte read got fewer replies than the camera sends.
    LONG ReplyPipeUnsettled = 0;
    // What the latest drain read away, in bytes.
    LONG LastDrainBytes = 0;
    // One window change at a time, and none while a pin is open: held across
    // the PinOpen test and the stores, and by SetPinOpen.
    FAST_MUTEX WindowLock{};
    // Held while the ImageProcessor is created or freed and while a control
    // mirrors into it, so a property request never reaches a processor the
    // pin's stop is freeing.
    FAST_MUTEX ProcessorLock{};
    // One exposure or gain change at a time: its two register writes and
    // the stored value go together, so two clients setting it at once never
    // leave the sensor with one's low byte and the other's high byte.
    FAST_MUTEX SensorControlLock{};

  protected:
    explicit CameraDevice(PKSDEVICE device);
    virtual ~CameraDevice();
};

// Device bag free callback (the release of the object).
void ReleaseCameraDevice(PVOID object);
