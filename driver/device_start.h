// The Start and Stop members of the device dispatch.
#pragma once

#include "platform/ks/ks_device.h"

NTSTATUS StartDevice(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                     PCM_RESOURCE_LIST untranslated);
void StopDevice(PKSDEVICE device, PIRP irp);
