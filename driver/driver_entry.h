// Driver entry and the device dispatch: the device descriptor handed to
// AVStream, Add and QueryCapabilities.
#pragma once

#include "platform/ks/ks_device.h"

extern const KSDEVICE_DISPATCH CameraDeviceDispatch;
extern const KSDEVICE_DESCRIPTOR CameraDeviceDescriptor;

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS AddDevice(PKSDEVICE device);
NTSTATUS QueryCapabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES caps);
