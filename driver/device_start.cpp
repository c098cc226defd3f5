// PnP start and stop, in their fixed step order.
#include "driver/device_start.h"

#include "control/settings.h"
#include "driver/camera_device.h"
#include "platform/kernel/pool.h"
#include "stream/capture_filter.h"
#include "stream/capture_thread.h"

NTSTATUS StartDevice(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    auto* camera = static_cast<CameraDevice*>(device->Context);
    bool factory = false;
    if (!device->Started) {
        KsAcquireDevice(device);
        factory = NT_SUCCESS(KsCreateFilterFactory(
            device->FunctionalDeviceObject, &CaptureFilterDescriptor, u"GLOBAL", nullptr,
            KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr));
        KsReleaseDevice(device);
    }
    // A fresh capture-thread record for every start that published the
    // factory; earlier ones stay in the bag until removal.
    if (factory && !device->Started) {
        CaptureThreadState* capture = AllocateCaptureThreadState(camera);
        camera->Capture = capture;
        // The device's bag is guarded by the device mutex.
        KsAcquireDevice(device);
        const bool kept =
            capture != nullptr && NT_SUCCESS(KsAddItemToObjectBag(device->Bag, capture, nullptr));
        KsReleaseDevice(device);
        if (capture != nullptr && !kept) {
            ExFreePoolWithTag(capture, CAMERA_TAG);
            camera->Capture = nullptr;
        }
    }
    // A start on a started device finds the last configuration still there,
    // and a streaming pin may be reading through it: it is retired, and the
    // stop frees it.
    camera->RetireConfiguration();
    NTSTATUS status = camera->ProbeDeviceDescriptor();
    if (NT_SUCCESS(status)) status = camera->ConfigureDevice();
    // The rest runs whatever the USB side said.
    camera->SendDeviceStart();
    camera->InitializeSensor();
    LoadSettings(camera);
    return status;
}

void StopDevice(PKSDEVICE device, PIRP) {
    auto* camera = static_cast<CameraDevice*>(device->Context);
    SaveSettings(camera);
    camera->DeconfigureDevice();
}
