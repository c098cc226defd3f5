// Camera controls: exposure and gain reach the sensor; the processing
// controls are stored, clamped and mirrored into the ImageProcessor when one
// exists; flips and the frame time-out are single atomic stores.
#include <algorithm>
#include <cstring>

#include "driver/camera_device.h"
#include "imaging/image_processor.h"
#include "usb/command_codes.h"
#include "usb/frame_transfer.h"

namespace {
LONG Clamp(LONG v, LONG lo, LONG hi) {
    return std::min(std::max(v, lo), hi);
}

class ProcessorGuard {
  public:
    explicit ProcessorGuard(CameraDevice* c) : c_(c) { ExAcquireFastMutex(&c_->ProcessorLock); }
    ~ProcessorGuard() { ExReleaseFastMutex(&c_->ProcessorLock); }

  private:
    CameraDevice* c_;
};
}  // namespace

BOOLEAN CameraDevice::SetGlobalGain(ULONG value) {
    ULONG g = value <= 1023 ? value : 1023;
    ExAcquireFastMutex(&SensorControlLock);
    BOOLEAN low = WriteSensorRegister(2, static_cast<LONG>(g & 0xFF));
    BOOLEAN high = WriteSensorRegister(3, static_cast<LONG>((g >> 8) & 0x03));
    if (low && high)
        InterlockedExchange(reinterpret_cast<LONG*>(&GlobalGain), static_cast<LONG>(g));
    ExReleaseFastMutex(&SensorControlLock);
    return low && high;
}

// The sensor counts exposure down: it holds 1014 - E.
BOOLEAN CameraDevice::SetExposure(ULONG value) {
    ULONG e = value <= 1014 ? value : 1014;
    ULONG r = 1014 - e;
    ExAcquireFastMutex(&SensorControlLock);
    BOOLEAN low = WriteSensorRegister(0xA0, static_cast<LONG>(r & 0xFF));
    BOOLEAN high = WriteSensorRegister(0xA1, static_cast<LONG>(0x90 | (r >> 8)));
    if (low && high) InterlockedExchange(reinterpret_cast<LONG*>(&Exposure), static_cast<LONG>(e));
    ExReleaseFastMutex(&SensorControlLock);
    return low && high;
}

void CameraDevice::SetTimeout(ULONG ms) {
    InterlockedExchange(reinterpret_cast<LONG*>(&Timeout), static_cast<LONG>(ms));
    InterlockedExchange(&frameTimeoutMs, static_cast<LONG>(ms));
}

void CameraDevice::ApplyWhiteBalance(LONG value) {
    ProcessorGuard guard(this);
    WhiteBalance = value;
    if (Processor == nullptr) return;
    InterlockedExchange(&Processor->whiteBalance, value);
    // Switching the automatic balance off keeps the gains it last found.
    if (value == 0) {
        RedGain = ReadAcquire(&Processor->redGain);
        GreenGain = ReadAcquire(&Processor->greenGain);
        BlueGain = ReadAcquire(&Processor->blueGain);
    }
}

void CameraDevice::ApplyColorEnable(LONG value) {
    ProcessorGuard guard(this);
    ColorEnable = value;
    if (Processor != nullptr) SetColorEnable(Processor, value);
}

void CameraDevice::ApplyColorGain(ColorChannel channel, LONG value) {
    ProcessorGuard guard(this);
    LONG v = std::max(std::min(value, LONG{512}), LONG{1});  // upper bound first
    switch (channel) {
        case ColorChannel::Red:
            RedGain = v;
            if (Processor != nullptr) SetRedGain(Processor, v);
            break;
        case ColorChannel::Green:
            GreenGain = v;
            if (Processor != nullptr) SetGreenGain(Processor, v);
            break;
        case ColorChannel::Blue:
            BlueGain = v;
            if (Processor != nullptr) SetBlueGain(Processor, v);
            break;
    }
}

// The rebuilding setters compare with the processor's value first and
// rebuild only on a change.
void CameraDevice::ApplyColorCorrection(LONG value) {
    ProcessorGuard guard(this);
    ColorCorrection = value;
    if (Processor != nullptr) SetColorCorrection(Processor, value);
}

void CameraDevice::ApplyBrightness(LONG value) {
    ProcessorGuard guard(this);
    Brightness = Clamp(value, 0, 510);
    if (Processor != nullptr) SetBrightness(Processor, Brightness);
}

void CameraDevice::ApplyContrast(LONG value) {
    ProcessorGuard guard(this);
    Contrast = Clamp(value, 0, 20);
    if (Processor != nullptr) SetContrast(Processor, Contrast);
}

void CameraDevice::ApplySaturation(LONG value) {
    ProcessorGuard guard(this);
    Saturation = Clamp(value, 0, 20);
    if (Processor != nullptr) SetSaturation(Processor, Saturation);
}

void CameraDevice::ApplyHue(LONG value) {
    ProcessorGuard guard(this);
    Hue = Clamp(value, 0, 359);
    if (Processor != nullptr) SetHue(Processor, Hue);
}

void CameraDevice::ApplyFlip(Axis axis, LONG value) {
    InterlockedExchange(axis == Axis::Horizontal ? &FlipH : &FlipV, value);
}

LONG CameraDevice::GetFlipH() {
    return ReadAcquire(&FlipH);
}
LONG CameraDevice::GetFlipV() {
    return ReadAcquire(&FlipV);
}

void CameraDevice::ResetBayerPhase() {
    BayerPhase = DefaultBayerPhase;
}

BOOLEAN CameraDevice::ReadCameraByte(PUCHAR destination) {
    // The command and both replies form one exchange: another reader must
    // not take this one's replies.
    ExAcquireFastMutex(&CommandLock);
    // A read that failed may have left a reply in the camera: taken as this
    // read's, it would shift every later byte by one.
    if (ReadAcquire(&ReplyPipeUnsettled) != 0) DrainReplies();
    const auto index = static_cast<ULONG>(ReadAcquire(&RegisterReadIndex));
    UCHAR* b = RegisterCommand.Bytes;
    std::memset(b, 0, sizeof RegisterCommand);
    b[0] = CmdReadByte;
    b[1] = 0x51;
    b[2] = 0x02;
    b[3] = 0x01;
    b[4] = static_cast<UCHAR>((index >> 8) & 0xFF);
    b[5] = static_cast<UCHAR>(index & 0xFF);
    const bool sent = SendCommand(&RegisterCommand);
    bool ok = sent && ReadReply(b) && ReadReply(b);
    if (sent && !ok) InterlockedExchange(&ReplyPipeUnsettled, 1);
    if (ok && destination != nullptr) *destination = b[0];
    ExReleaseFastMutex(&CommandLock);
    return ok ? TRUE : FALSE;
}
