// Readout window rules and the data range that follows the window.
#include "camera/readout_window.h"

#include <algorithm>
#include <limits>

#include "driver/camera_device.h"

// The stored template: 2560 x 1920 with the template's own intervals. The
// first window applied while the first device is added replaces them, so no
// client sees these.
KS_DATARANGE_VIDEO OfferedDataRange = {
    {{sizeof(KS_DATARANGE_VIDEO), 0, 2560 * 1920 * 4, 0, KSDATAFORMAT_TYPE_VIDEO,
      KSDATAFORMAT_SUBTYPE_RGB32, KSDATAFORMAT_SPECIFIER_VIDEOINFO}},
    1,  // bFixedSizeSamples
    1,  // bTemporalCompression
    0,  // StreamDescriptionFlags
    0,  // MemoryAllocationFlags
    {
        KSDATAFORMAT_SPECIFIER_VIDEOINFO,
        0,  // VideoStandard
        {2560, 1920},
        {2560, 1920},
        {2560, 1920},
        8,
        1,  // CropGranularity
        8,
        1,  // CropAlign
        {2560, 1920},
        {2560, 1920},
        8,
        1,  // OutputGranularity
        0,
        0,
        0,
        0,
        333667,
        640000000,
        std::numeric_limits<LONG>::max(),
        std::numeric_limits<LONG>::max(),
    },
    {
        {0, 0, 2560, 1920},
        {0, 0, 0, 0},
        2560 * 1920 * 120,
        0,
        333667,
        {sizeof(KS_BITMAPINFOHEADER), 2560, 1920, 1, 32, KS_BI_RGB, 2560 * 1920 * 4, 0, 0, 0, 0},
    },
};

void CameraDevice::SetReadoutWindow(LONG x, LONG y, LONG width, LONG height, LONG) {
    // The test and the stores are one step against a second change and
    // against a pin's creation, so no pin ever sees half a window.
    ExAcquireFastMutex(&WindowLock);
    if (ReadAcquire(&PinOpen) != 0) {
        ExReleaseFastMutex(&WindowLock);
        return;
    }
    // An odd coordinate moves to the next even one, so the window always
    // starts on the sensor's own colour-filter phase.
    // Computed in 64 bits so that the largest odd value moves up, not round
    // to the most negative one.
    int64_t x64 = x, y64 = y;
    if (x64 & 1) x64 += 1;
    if (y64 & 1) y64 += 1;
    x = static_cast<LONG>(std::max<int64_t>(std::min<int64_t>(x64, SENSOR_WIDTH - 8), 0));
    y = static_cast<LONG>(std::max<int64_t>(std::min<int64_t>(y64, SENSOR_HEIGHT - 8), 0));
    if (width <= 0) width = SENSOR_WIDTH;
    width = std::min(width, SENSOR_WIDTH - x);
    if (height <= 0) height = SENSOR_HEIGHT;
    height = std::min(height, SENSOR_HEIGHT - y);
    SubSample = 0;
    SensorLeft = 0;
    SensorTop = 0;
    SensorWidth = SENSOR_WIDTH;
    SensorHeight = SENSOR_HEIGHT;
    RoiX = x;
    RoiY = y;
    RoiW = width;
    RoiH = height;
    OutputHeight = height;
    OutputWidth = width - (width & 7);
    UpdateDataRange(static_cast<ULONG>(OutputWidth), static_cast<ULONG>(OutputHeight));
    ExReleaseFastMutex(&WindowLock);
}

// PinOpen counts the open pins of every filter on the device: a pin of a
// second filter that is created and closed must not unfreeze the window
// under a pin that is streaming.
void CameraDevice::SetPinOpen(LONG open) {
    ExAcquireFastMutex(&WindowLock);
    if (open != 0)
        InterlockedIncrement(&PinOpen);
    else if (ReadAcquire(&PinOpen) > 0)
        InterlockedDecrement(&PinOpen);
    ExReleaseFastMutex(&WindowLock);
}

void CameraDevice::UpdateDataRange(ULONG w, ULONG h) {
    KS_DATARANGE_VIDEO& r = OfferedDataRange;
    SIZE size{static_cast<LONG>(w), static_cast<LONG>(h)};
    r.ConfigCaps.InputSize = size;
    r.ConfigCaps.MinCroppingSize = size;
    r.ConfigCaps.MaxCroppingSize = size;
    r.ConfigCaps.MinOutputSize = size;
    r.ConfigCaps.MaxOutputSize = size;
    r.ConfigCaps.MinFrameInterval = FRAME_INTERVAL_30FPS;
    r.ConfigCaps.MaxFrameInterval = FRAME_INTERVAL_30FPS;
    r.VideoInfoHeader.AvgTimePerFrame = FRAME_INTERVAL_30FPS;
    r.VideoInfoHeader.rcSource.right = static_cast<LONG>(w);
    r.VideoInfoHeader.rcSource.bottom = static_cast<LONG>(h);
    // W x H x 32 bits x 30 frames does not fit the signed 32-bit fields for
    // large windows (the full sensor needs 4718592000): the value is stored
    // saturated at the largest signed 32-bit value instead of wrapping.
    uint64_t bits = static_cast<uint64_t>(w) * h * 960;
    LONG saturated = bits > static_cast<uint64_t>(std::numeric_limits<LONG>::max())
                         ? std::numeric_limits<LONG>::max()
                         : static_cast<LONG>(bits);
    r.ConfigCaps.MinBitsPerSecond = saturated;
    r.ConfigCaps.MaxBitsPerSecond = saturated;
    r.VideoInfoHeader.dwBitRate = w * h * 120;
    r.DataRange.SampleSize = w * h * 4;
    r.VideoInfoHeader.bmiHeader.biWidth = static_cast<LONG>(w);
    r.VideoInfoHeader.bmiHeader.biHeight = static_cast<LONG>(h);
    r.VideoInfoHeader.bmiHeader.biSizeImage = w * h * 4;
}
