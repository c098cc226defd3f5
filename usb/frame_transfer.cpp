// Frame transfer.
#include "driver/camera_device.h"

// No frame can be read before the USB transport exists.
void CameraDevice::CaptureFrame(PUCHAR, BOOLEAN* ok) { *ok = FALSE; }
