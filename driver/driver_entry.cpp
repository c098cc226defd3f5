// Where every call of the driver begins.
#include "driver/driver_entry.h"

#include "driver/camera_device.h"
#include "driver/device_start.h"

const KSDEVICE_DISPATCH CameraDeviceDispatch = {
    AddDevice,          // Add
    StartDevice,        // Start
    nullptr,            // PostStart
    nullptr,            // QueryStop
    nullptr,            // CancelStop
    StopDevice,         // Stop
    nullptr,            // QueryRemove
    nullptr,            // CancelRemove
    nullptr,            // Remove
    QueryCapabilities,  // QueryCapabilities
    nullptr,            // SurpriseRemoval
    nullptr,            // QueryPower
    nullptr,            // SetPower
    nullptr,            // QueryInterface
};

// No filter descriptors: the filter factory is created at start instead.
const KSDEVICE_DESCRIPTOR CameraDeviceDescriptor = {&CameraDeviceDispatch, 0, nullptr};

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driver, registryPath, &CameraDeviceDescriptor);
}

NTSTATUS AddDevice(PKSDEVICE device) {
    CameraDevice* camera = CameraDevice::Create(device);
    if (camera == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, camera, ReleaseCameraDevice);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        // Released exactly as the bag would have released it.
        ReleaseCameraDevice(camera);
        return status;
    }
    device->Context = camera;
    return camera->Initialize(device);
}

NTSTATUS QueryCapabilities(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES caps) {
    // The camera is not offered for "safe removal": clear only Removable.
    caps->Bits.Removable = 0;
    return STATUS_SUCCESS;
}
