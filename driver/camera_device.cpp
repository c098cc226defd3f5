// Construction, initialisation and release of CameraDevice, and the camera
// operations that only read its geometry.
#include "driver/camera_device.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/kernel/pool.h"

CameraDevice::CameraDevice(PKSDEVICE device) {
    // The block arrives zero-filled; every field also starts at zero or null
    // here, so step 1 of construction holds whatever the compiler assumes of
    // memory before an object's lifetime.
    Device = device;
    ExInitializeFastMutex(&WindowLock);
    SetReadoutWindow(0, 0, SENSOR_WIDTH, SENSOR_HEIGHT, 0);
    // Without the scratch buffer frames are still delivered, in raw line
    // order; the failure is not reported.
    ReorderBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, RAW_FRAME_SIZE, BUFFER_TAG));
}

// Running the destructor puts the CameraDevice table back in place before
// the block goes, as the record's release must.
CameraDevice::~CameraDevice() {
    FreeRetiredConfigurations();
    if (ReorderBuffer != nullptr) {
        ExFreePoolWithTag(ReorderBuffer, BUFFER_TAG);
        ReorderBuffer = nullptr;
    }
}

CameraDevice* CameraDevice::Create(PKSDEVICE device) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CameraDevice), CAMERA_TAG);
    if (block == nullptr) return nullptr;
    std::memset(block, 0, sizeof(CameraDevice));
    return new (block) CameraDevice(device);
}

NTSTATUS CameraDevice::Initialize(PKSDEVICE device) {
    DefaultBayerPhase = 2;
    // The USB block, from PhysicalDeviceObject to AEC, and the shadow.
    PhysicalDeviceObject = nullptr;
    NextDeviceObject = nullptr;
    FunctionalDeviceObject = nullptr;
    ConfigurationDescriptor = nullptr;
    InterfaceInfo = nullptr;
    PipeAbortFlags = nullptr;
    std::memset(&TransferEvent, 0, sizeof TransferEvent);
    TransferSlots = nullptr;
    TransferDoneCount = 0;
    TransferSlotCount = 0;
    TransferLock = 0;
    FrameMdl = nullptr;
    ExTrigger = Timeout = 0;
    Exposure = GlobalGain = 0;
    FlipH = FlipV = ColorEnable = WhiteBalance = 0;
    RedGain = GreenGain = BlueGain = ColorCorrection = 0;
    Brightness = Contrast = Saturation = Hue = SubSample = 0;
    SensorLeft = SensorTop = SensorWidth = SensorHeight = BayerPhase = 0;
    Clock = AGC = AEC = 0;
    std::memset(RegisterShadow, 0, sizeof RegisterShadow);

    PhysicalDeviceObject = device->PhysicalDeviceObject;
    NextDeviceObject = device->NextDeviceObject;
    FunctionalDeviceObject = device->FunctionalDeviceObject;

    Timeout = 3000;
    BayerPhase = DefaultBayerPhase;
    ColorEnable = 1;
    RedGain = GreenGain = BlueGain = 128;
    ColorCorrection = 1;
    Brightness = 255;
    Hue = 0;
    Clock = 0;
    Contrast = 10;
    Saturation = 10;

    SetReadoutWindow(0, 0, SENSOR_WIDTH, SENSOR_HEIGHT, 0);

    KeInitializeSpinLock(&TransferLock);
    ExInitializeFastMutex(&CommandLock);
    ExInitializeFastMutex(&ProcessorLock);
    ExInitializeFastMutex(&SensorControlLock);
    KeInitializeEvent(&TransferEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&TransferIdle, NotificationEvent, FALSE);

    std::memset(&RegisterCommand, 0, sizeof RegisterCommand);
    std::memset(&CaptureCommand, 0, sizeof CaptureCommand);
    std::memset(&PipeCommand, 0, sizeof PipeCommand);
    return STATUS_SUCCESS;
}

void CameraDevice::Release(PVOID object) {
    if (object == nullptr) return;
    auto* camera = static_cast<CameraDevice*>(object);
    camera->~CameraDevice();
    ExFreePoolWithTag(object, CAMERA_TAG);
}

void ReleaseCameraDevice(PVOID object) {
    CameraDevice::Release(object);
}

void CameraDevice::GetRawFrameSize(ULONG* size) {
    *size = RawFrameSize;
}
void CameraDevice::GetRawDataOffset(ULONG* offset) {
    *offset = RawDataOffset;
}
void CameraDevice::GetRawPitch(ULONG* pitch) {
    *pitch = RawPitch;
}
LONG CameraDevice::GetRoiX() {
    return RoiX;
}
LONG CameraDevice::GetRoiY() {
    return RoiY;
}

// Called by the capture thread after every captured frame.
void CameraDevice::FrameCaptured() {
    // Only the capture thread counts; the process dispatch reads the count
    // at the same time, so both sides access it atomically.
    std::atomic_ref<ULONG>(FrameNumber).fetch_add(1);
    if (FrameSink != nullptr) FrameSink->RequestProcessing();
}
