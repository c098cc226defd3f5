// Mode set-up before streaming.
#include "driver/camera_device.h"

// The raw geometry part of the mode set-up; the sensor sequence and the
// controller writes come with the command channel.
BOOLEAN CameraDevice::PrepareCapture() {
    RawDataOffset = 0;
    RawPitch = RAW_PITCH;
    RawFrameSize = RAW_FRAME_SIZE;
    BayerPhase = DefaultBayerPhase;
    return FALSE;
}
