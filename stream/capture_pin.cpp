// The capture pin.
#include "stream/capture_pin.h"

#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include "camera/readout_window.h"
#include "driver/frame_tap.h"
#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "stream/capture_thread.h"

namespace {

const KSPIN_DISPATCH kPinDispatch = {
    PinCreate,         PinClose, PinProcess, nullptr, PinSetDataFormat,
    PinSetDeviceState, nullptr,  nullptr,    nullptr, nullptr,
};

const PKSDATARANGE kPinRanges[] = {reinterpret_cast<PKSDATARANGE>(&OfferedDataRange)};

constexpr size_t kVideoHeaderOffset = sizeof(KSDATAFORMAT);
constexpr size_t kBitmapOffset = offsetof(KS_VIDEOINFOHEADER, bmiHeader);  // 48

// The video header of a format, read no further than the format reaches.
void CopyVideoHeader(const KSDATAFORMAT* format, KS_VIDEOINFOHEADER* out) {
    const auto* bytes = reinterpret_cast<const UCHAR*>(format);
    const auto* header = reinterpret_cast<const KS_VIDEOINFOHEADER*>(bytes + kVideoHeaderOffset);
    uint64_t n = kBitmapOffset + static_cast<uint64_t>(header->bmiHeader.biSize);
    if (n > sizeof(KS_VIDEOINFOHEADER)) n = sizeof(KS_VIDEOINFOHEADER);
    uint64_t available =
        format->FormatSize > kVideoHeaderOffset ? format->FormatSize - kVideoHeaderOffset : 0;
    if (n > available) n = available;
    std::memcpy(out, header, static_cast<size_t>(n));
}

int64_t Abs(LONG v) {
    return v < 0 ? -static_cast<int64_t>(v) : v;
}

CapturePin* PinContext(PKSPIN pin) {
    return static_cast<CapturePin*>(pin->Context);
}

CameraDevice* CameraOf(PKSPIN pin) {
    PKSDEVICE device = KsGetDevice(pin);
    return device != nullptr ? static_cast<CameraDevice*>(device->Context) : nullptr;
}

// A video format against the picture it must hold (`want`: the width, height
// and compression of the range or of the window): at least as wide, as high,
// the same compression, and an image size that holds it.
NTSTATUS CheckVideoFormat(const KSDATAFORMAT* f, const KS_BITMAPINFOHEADER& want) {
    if (!(f->Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO)) return STATUS_NO_MATCH;
    if (f->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return STATUS_NO_MATCH;
    const auto* header = reinterpret_cast<const KS_VIDEOINFOHEADER*>(
        reinterpret_cast<const UCHAR*>(f) + kVideoHeaderOffset);
    const KS_BITMAPINFOHEADER& bmi = header->bmiHeader;
    const uint64_t bitmapEnd = static_cast<uint64_t>(bmi.biSize) + 112;
    if (bitmapEnd > std::numeric_limits<ULONG>::max() || bitmapEnd > f->FormatSize)
        return STATUS_INVALID_PARAMETER;
    if (bmi.biWidth < want.biWidth) return STATUS_NO_MATCH;
    if (Abs(bmi.biHeight) != Abs(want.biHeight)) return STATUS_NO_MATCH;
    if (bmi.biCompression != want.biCompression) return STATUS_NO_MATCH;
    // In 64 bits: a huge biWidth must not wrap into an accepted size.
    const uint64_t needed =
        static_cast<uint64_t>(bmi.biWidth) * static_cast<uint64_t>(Abs(bmi.biHeight)) * 4;
    if (static_cast<uint64_t>(bmi.biSizeImage) < needed) return STATUS_INVALID_PARAMETER;
    if (static_cast<uint64_t>(bmi.biWidth) * 4 >
        static_cast<uint64_t>(std::numeric_limits<LONG>::max()))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

}  // namespace

const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming = {
    1,
    0,
    {1, 1, 0},
    0,
    {{KSMEMORY_TYPE_KERNEL_NONPAGED,
      {},
      0,
      0,
      KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
      2,
      0,
      0,
      {0, 0xFFFFFFFF, 1},
      {{8192, 8192, 1}, 0, 0}}},
};

const KSPIN_DESCRIPTOR_EX CapturePinDescriptor = {
    &kPinDispatch,
    nullptr,
    {0,
     nullptr,
     0,
     nullptr,
     1,
     kPinRanges,
     KSPIN_DATAFLOW_OUT,
     KSPIN_COMMUNICATION_BOTH,
     &PINNAME_VIDEO_CAPTURE,
     &PINNAME_VIDEO_CAPTURE,
     {0}},
    KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,
    1,
    &CaptureAllocatorFraming,
    IntersectFormat,
};

void CapturePin::RequestProcessing() {
    KsPinAttemptProcessing(Pin, TRUE);
}

CapturePin* CapturePin::Create(PKSPIN pin, CameraDevice* camera) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CapturePin), CAMERA_TAG);
    if (block == nullptr) return nullptr;
    std::memset(block, 0, sizeof(CapturePin));
    auto* p = new (block) CapturePin;
    p->Pin = pin;
    p->Camera = camera;
    return p;
}

void CapturePin::Release(PVOID object) {
    if (object == nullptr) return;
    static_cast<CapturePin*>(object)->~CapturePin();  // the table goes back in place
    ExFreePoolWithTag(object, CAMERA_TAG);
}

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
    CameraDevice* camera = CameraOf(pin);
    CapturePin* p = camera != nullptr ? CapturePin::Create(pin, camera) : nullptr;
    if (p == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    camera->SetPinOpen(1);
    // The initial format was checked against the range before the window
    // froze, and a property request may have set another window since: the
    // format is checked again against the window as it froze.
    KS_BITMAPINFOHEADER frozen{};
    frozen.biWidth = camera->OutputWidth;
    frozen.biHeight = camera->OutputHeight;
    frozen.biCompression = KS_BI_RGB;
    NTSTATUS s = CheckVideoFormat(pin->ConnectionFormat, frozen);
    if (!NT_SUCCESS(s)) {
        CapturePin::Release(p);
        camera->SetPinOpen(0);
        return s;
    }
    s = KsAddItemToObjectBag(pin->Bag, p, CapturePin::Release);
    if (!NT_SUCCESS(s)) {
        CapturePin::Release(p);
        camera->SetPinOpen(0);
        return s;
    }
    pin->Context = p;
    CopyVideoHeader(pin->ConnectionFormat, &p->VideoInfo);
    s = _KsEdit(pin->Bag,
                reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->Descriptor)),
                sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), BUFFER_TAG);
    if (NT_SUCCESS(s)) {
        auto* copy = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
        s = _KsEdit(
            pin->Bag,
            reinterpret_cast<PVOID*>(const_cast<KSALLOCATOR_FRAMING_EX**>(&copy->AllocatorFraming)),
            sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), BUFFER_TAG);
    }
    if (!NT_SUCCESS(s)) {
        camera->SetPinOpen(0);
        return s;
    }
    auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(pin->Descriptor->AllocatorFraming);
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    const ULONG image = p->VideoInfo.bmiHeader.biSizeImage;
    item.Frames = 2;
    item.PhysicalRange.MaxFrameSize = image;
    item.PhysicalRange.Stepping = image;
    item.FramingRange.Range.MinFrameSize = 0;
    item.FramingRange.Range.MaxFrameSize = image;
    item.FramingRange.Range.Stepping = image;
    item.FramingRange.InPlaceWeight = 0;
    return STATUS_SUCCESS;
}

NTSTATUS PinClose(PKSPIN pin, PIRP) {
    CapturePin* p = PinContext(pin);
    if (p != nullptr) {
        p->OutputStride = 0;
        p->Camera->SetPinOpen(0);
    }
    return STATUS_SUCCESS;
}

// A refused change leaves the stride as it was: zeroing it before the checks
// would shear every later frame of a running stream.
NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PVOID, const KSDATARANGE* range,
                          const void*) {
    CapturePin* p = PinContext(pin);
    const KSDATAFORMAT* f = pin->ConnectionFormat;
    NTSTATUS s = CheckVideoFormat(
        f, reinterpret_cast<const KS_DATARANGE_VIDEO*>(range)->VideoInfoHeader.bmiHeader);
    if (!NT_SUCCESS(s)) return s;
    if (oldFormat == nullptr) return STATUS_SUCCESS;
    if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    const auto* header = reinterpret_cast<const KS_VIDEOINFOHEADER*>(
        reinterpret_cast<const UCHAR*>(f) + kVideoHeaderOffset);
    p->OutputStride = header->bmiHeader.biWidth * 4;
    CopyVideoHeader(f, &p->VideoInfo);
    return STATUS_SUCCESS;
}

NTSTATUS AcquireProcessing(CameraDevice* camera, CapturePin* pin,
                           const KS_VIDEOINFOHEADER* videoInfo) {
    if (InterlockedCompareExchange(&camera->ProcessingBusy, 1, 0) != 0)
        return STATUS_SHARING_VIOLATION;
    camera->VideoInfo = const_cast<KS_VIDEOINFOHEADER*>(videoInfo);
    ExAcquireFastMutex(&camera->ProcessorLock);
    if (camera->Processor != nullptr) {
        FreeImageProcessor(camera->Processor);
        camera->Processor = nullptr;
    }
    ImageProcessor* p = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (videoInfo->bmiHeader.biBitCount != 32 || videoInfo->bmiHeader.biCompression != 0)
        status = STATUS_INVALID_PARAMETER;
    else if ((p = CreateImageProcessor()) == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        ExReleaseFastMutex(&camera->ProcessorLock);
        ReleaseProcessing(camera);
        return status;
    }
    camera->Processor = p;
    SetWhiteBalance(p, camera->WhiteBalance);
    SetBayerPhase(p, camera->BayerPhase);
    SetColorEnable(p, camera->ColorEnable);
    SetRedGain(p, camera->RedGain);
    SetGreenGain(p, camera->GreenGain);
    SetBlueGain(p, camera->BlueGain);
    SetColorCorrection(p, camera->ColorCorrection);
    SetBrightness(p, camera->Brightness);
    SetContrast(p, camera->Contrast);
    SetSaturation(p, camera->Saturation);
    SetHue(p, camera->Hue);
    SetConversionThreads(p, ReadAcquire(&camera->ConversionThreads));
    ExReleaseFastMutex(&camera->ProcessorLock);
    camera->FrameSink = pin;
    return STATUS_SUCCESS;
}

void ReleaseProcessing(CameraDevice* camera) {
    ExAcquireFastMutex(&camera->ProcessorLock);
    if (camera->Processor != nullptr) {
        FreeImageProcessor(camera->Processor);
        camera->Processor = nullptr;
    }
    ExReleaseFastMutex(&camera->ProcessorLock);
    camera->FrameSink = nullptr;
    camera->VideoInfo = nullptr;
    InterlockedExchange(&camera->ProcessingBusy, 0);
}

// The pin's states (StreamState, with Acquired) and what each change does:
//
//            stop->acquire: AcquireProcessing, clock
//   created ------------------------------------------> acquired, not streaming (0)
//      ^                                                  |  ^          ^
//      | ->stop: stop thread, free buffers (if            |  |          | ->acquire: stop
//      |   streaming); release clock, processing          |  |          |   thread, free
//      |                                                  |  |          |   buffers
//      |                     pause->run: StartStreaming   v  |          |
//      +-------------------------------------------- running (2) -------+
//      |                                                 |  ^           |
//      |                run->pause: stop thread, keep    |  | pause->run: restart the
//      |                buffers and counters             v  | thread on the same buffers
//      +-------------------------------------------- paused (1) --------+
//
// A failed StartStreaming leaves the pin not streaming; a thread that cannot
// be restarted leaves it paused.
NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    CapturePin* p = PinContext(pin);
    CameraDevice* camera = p->Camera;
    CaptureThreadState* capture = camera->Capture;
    auto stopStreaming = [&] {
        if (p->StreamState != PinNotStreaming && capture != nullptr) {
            StopCaptureThread(capture);
            ReleaseStreamingBuffers(capture);
        }
        p->StreamState = PinNotStreaming;
    };
    switch (to) {
        case KSSTATE_STOP:
            stopStreaming();
            if (p->Acquired) {
                if (p->ReferenceClock != nullptr) {
                    p->ReferenceClock->Release();
                    p->ReferenceClock = nullptr;
                }
                ReleaseProcessing(camera);
                p->Acquired = FALSE;
            }
            return STATUS_SUCCESS;
        case KSSTATE_ACQUIRE:
            if (from == KSSTATE_STOP) {
                NTSTATUS s = AcquireProcessing(camera, p, &p->VideoInfo);
                if (!NT_SUCCESS(s)) {
                    p->Acquired = FALSE;
                    return s;
                }
                p->Acquired = TRUE;
                if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &p->ReferenceClock)))
                    p->ReferenceClock = nullptr;
                return STATUS_SUCCESS;
            }
            stopStreaming();
            return STATUS_SUCCESS;
        case KSSTATE_PAUSE:
            if (from == KSSTATE_RUN) {
                if (capture != nullptr && capture->State == CaptureRunning) {
                    StopCaptureThread(capture);
                    capture->State = CapturePaused;
                }
                p->StreamState = PinPaused;
            }
            return STATUS_SUCCESS;
        case KSSTATE_RUN:
            if (p->StreamState == PinPaused) {
                if (capture != nullptr && capture->State == CapturePaused) {
                    capture->State = CaptureRunning;
                    NTSTATUS s = StartCaptureThread(capture);
                    if (!NT_SUCCESS(s)) {
                        capture->State = CapturePaused;  // the buffers stay for the next try
                        return s;
                    }
                }
                p->StreamState = PinRunning;
                return STATUS_SUCCESS;
            } else {
                NTSTATUS s =
                    capture != nullptr ? StartStreaming(camera) : STATUS_INSUFFICIENT_RESOURCES;
                if (!NT_SUCCESS(s)) return s;
                p->StreamState = PinRunning;
                return STATUS_SUCCESS;
            }
        default:
            return STATUS_SUCCESS;
    }
}

namespace {

// Fills the client frame with the converted image; returns the flips it
// used, for the tap.
FilledFrame FillFrame(CapturePin* p, PKSSTREAM_HEADER h) {
    CameraDevice* c = p->Camera;
    const KS_VIDEOINFOHEADER& info = p->VideoInfo;
    const size_t rowBytes = static_cast<size_t>(c->OutputWidth) * 4;
    const size_t srcStride = static_cast<size_t>(c->RoiW) * 4;
    const size_t rows = static_cast<size_t>(c->OutputHeight);
    const size_t dstStride = rowBytes > static_cast<size_t>(p->OutputStride)
                                 ? rowBytes
                                 : static_cast<size_t>(p->OutputStride);
    const uint64_t needed =
        rows == 0 ? 0 : (rows - 1) * static_cast<uint64_t>(dstStride) + rowBytes;
    h->PresentationTime.Numerator = 1;
    h->PresentationTime.Denominator = 1;
    h->Duration = info.AvgTimePerFrame;
    if (p->ReferenceClock != nullptr) {
        LONGLONG system = 0;
        h->PresentationTime.Time = p->ReferenceClock->GetCorrelatedTime(&system);
        h->OptionsFlags =
            KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
        if (h->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
            auto* frame = reinterpret_cast<KS_FRAME_INFO*>(h + 1);
            frame->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
            // The number of the frame this image was made from, not the
            // newest one captured, and the frames this run has lost so far.
            frame->PictureNumber = c->Capture->ImageNumber;
            frame->DropCount = static_cast<ULONG>(ReadAcquire(&c->Capture->DropCount));
        }
    } else {
        h->PresentationTime.Time = 0;
    }
    // Never past the frame's extent: a frame too small for the image goes
    // back empty.
    FilledFrame filled{};
    if (h->Data == nullptr || needed > h->FrameExtent) {
        h->DataUsed = 0;
        return filled;
    }
    h->DataUsed =
        info.bmiHeader.biSizeImage < h->FrameExtent ? info.bmiHeader.biSizeImage : h->FrameExtent;
    const UCHAR* image = c->Capture->ImageBuffer;
    auto* dst = static_cast<UCHAR*>(h->Data);
    const bool flipH = c->GetFlipH() != 0, flipV = c->GetFlipV() != 0;
    filled.FlipH = flipH;
    filled.FlipV = flipV;
    for (size_t row = 0; row < rows; ++row) {
        // Without FlipV the last image row comes first: the client's
        // bitmap is bottom-up and shows the picture upright.
        const UCHAR* src = image + (flipV ? row : rows - 1 - row) * srcStride;
        UCHAR* out = dst + row * dstStride;
        if (flipH) {
            const auto width = static_cast<size_t>(c->OutputWidth);
            for (size_t i = 0; i < width; ++i)
                std::memcpy(out + (width - 1 - i) * 4, src + i * 4, 4);
        } else {
            std::memcpy(out, src, rowBytes);
        }
    }
    return filled;
}

}  // namespace

NTSTATUS PinProcess(PKSPIN pin) {
    CapturePin* p = PinContext(pin);
    CaptureThreadState* s = p->Camera->Capture;
    if (s == nullptr || ReadAcquire(&s->FramesCaptured) <= 0) return STATUS_PENDING;
    PKSSTREAM_POINTER pointer =
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    BOOLEAN converted = ConvertReadyFrame(s);
    if (pointer != nullptr) {
        // A frame with nothing converted into it stays queued for the next
        // conversion instead of going back empty.
        if (converted) {
            FilledFrame filled = FillFrame(p, pointer->StreamHeader);
            // The working buffer still holds the raw window this image was
            // converted from.
            const ImageProcessor* ip = p->Camera->Processor;
            if (p->Camera->Tap != nullptr && pointer->StreamHeader->DataUsed != 0 &&
                ip != nullptr) {
                filled.Raw = ip->workOrigin;
                filled.RawWidth = ip->imageWidth;
                filled.RawHeight = ip->imageHeight;
                filled.RawStride = ip->workStride;
                p->Camera->Tap->Filled(pointer->StreamHeader, filled);
            }
        }
        KsStreamPointerUnlock(pointer, converted);
    } else if (converted) {
        InterlockedIncrement(&s->DropCount);  // converted with no client frame to take it
    }
    InterlockedExchange(&s->Converting, 0);
    KeSetEvent(&s->BufferDone, 1, FALSE);
    return STATUS_PENDING;
}

NTSTATUS IntersectFormat(PVOID, PIRP, KSP_PIN*, PKSDATARANGE callerRange,
                         PKSDATARANGE matchingRange, ULONG bufferSize, PVOID data,
                         PULONG dataSize) {
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    const auto* mine = reinterpret_cast<const KS_DATARANGE_VIDEO*>(matchingRange);
    if (!(callerRange->Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO))
        return STATUS_NO_MATCH;
    if (caller->bFixedSizeSamples != mine->bFixedSizeSamples ||
        caller->bTemporalCompression != mine->bTemporalCompression ||
        caller->StreamDescriptionFlags != mine->StreamDescriptionFlags ||
        caller->MemoryAllocationFlags != mine->MemoryAllocationFlags ||
        std::memcmp(&caller->ConfigCaps, &mine->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) !=
            0)
        return STATUS_NO_MATCH;
    const uint64_t b = caller->VideoInfoHeader.bmiHeader.biSize;
    if (b + 256 > std::numeric_limits<ULONG>::max() || b + 256 > callerRange->FormatSize)
        return STATUS_INVALID_PARAMETER;
    const auto needed = static_cast<ULONG>(b + 112);
    if (bufferSize == 0) {
        *dataSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < needed) return STATUS_BUFFER_TOO_SMALL;
    // The stride and size, in 64 bits, must fit the format's 32-bit fields.
    const KS_BITMAPINFOHEADER& bmi = caller->VideoInfoHeader.bmiHeader;
    const int64_t stride =
        ((static_cast<int64_t>(bmi.biWidth) * bmi.biBitCount + 31) / 8) & ~int64_t{3};
    int64_t size = stride * bmi.biHeight;
    if (bmi.biHeight < 0) size = -size;
    if (size < 0 || size > static_cast<int64_t>(std::numeric_limits<ULONG>::max()))
        return STATUS_INVALID_PARAMETER;
    *dataSize = needed;
    auto* out = static_cast<UCHAR*>(data);
    std::memcpy(out, matchingRange, sizeof(KSDATAFORMAT));
    reinterpret_cast<KSDATAFORMAT*>(out)->FormatSize = needed;
    std::memcpy(out + sizeof(KSDATAFORMAT), &caller->VideoInfoHeader,
                static_cast<size_t>(kBitmapOffset + b));
    auto* format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(out);
    format->DataFormat.SampleSize = static_cast<ULONG>(size);
    // A bitmap header too short to hold biSizeImage gets none written: the
    // format built is only b + 112 bytes long.
    if (b >= offsetof(KS_BITMAPINFOHEADER, biSizeImage) + sizeof(DWORD))
        format->VideoInfoHeader.bmiHeader.biSizeImage = static_cast<ULONG>(size);
    return STATUS_SUCCESS;
}
