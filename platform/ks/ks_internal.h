// The stand-in's own records behind the public AVStream objects.
#pragma once

#include <mutex>

#include "platform/ks/ks_device.h"

namespace ks::internal {

struct DeviceRecord {
    KSDEVICE device;  // first, so the public pointer is the record's
    std::recursive_mutex mutex;
};

inline DeviceRecord* FromKsDevice(PKSDEVICE device) { return reinterpret_cast<DeviceRecord*>(device); }

}  // namespace ks::internal

namespace ks {
void ReleaseDriverRecord(PDRIVER_OBJECT driver);
}
