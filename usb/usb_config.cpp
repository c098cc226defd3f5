// USB configuration and request submission.
#include "driver/camera_device.h"

// Nothing to abort or cancel before the USB transport exists.
void CameraDevice::AbortPipes() {}
void CameraDevice::CancelTransfer() {}
