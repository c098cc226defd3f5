// The USB ids of the cameras this stack drives: the one list that `list`,
// `--device usb` and the udev rule (udev/60-norvikcam.rules) follow.
#pragma once

#include "platform/usb/libusb/libusb_device.h"

namespace host {

inline const std::vector<usb::UsbId>& KnownCameras() {
    static const std::vector<usb::UsbId> ids = {{0x4E56, 0x2560}};  // Norvik 2560 x 1920
    return ids;
}

}  // namespace host
