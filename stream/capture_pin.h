// The capture pin: its descriptor and framing, format negotiation, states,
// and the delivery of converted frames into the client's buffers.
#pragma once

#include "driver/camera_device.h"
#include "platform/ks/ks_stream.h"

extern const KSPIN_DESCRIPTOR_EX CapturePinDescriptor;
extern const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming;

enum : LONG { PinNotStreaming = 0, PinPaused = 1, PinRunning = 2 };

// The camera's frame sink while the pin holds the processing resources.
class CapturePin : public FrameSink {
  public:
    void RequestProcessing() override;

    PKSPIN Pin = nullptr;
    CameraDevice* Camera = nullptr;
    LONG StreamState = PinNotStreaming;
    PIKSREFERENCECLOCK ReferenceClock = nullptr;
    KS_VIDEOINFOHEADER VideoInfo{};
    BOOLEAN Acquired = FALSE;
    LONG OutputStride = 0;

    static CapturePin* Create(PKSPIN pin, CameraDevice* camera);
    static void Release(PVOID object);  // the pin bag's free callback

  protected:
    CapturePin() = default;
    virtual ~CapturePin() = default;
};

NTSTATUS PinCreate(PKSPIN pin, PIRP irp);
NTSTATUS PinClose(PKSPIN pin, PIRP irp);
NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PVOID oldAttributes,
                          const KSDATARANGE* range, const void* attributeRange);
NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
NTSTATUS PinProcess(PKSPIN pin);
NTSTATUS IntersectFormat(PVOID context, PIRP irp, KSP_PIN* pin, PKSDATARANGE callerRange,
                         PKSDATARANGE matchingRange, ULONG bufferSize, PVOID data, PULONG dataSize);
NTSTATUS AcquireProcessing(CameraDevice* camera, CapturePin* pin,
                           const KS_VIDEOINFOHEADER* videoInfo);
void ReleaseProcessing(CameraDevice* camera);
