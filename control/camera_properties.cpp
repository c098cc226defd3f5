// The property handlers and the item table.
#include "control/camera_properties.h"

#include <cstring>

#include "imaging/image_processor.h"
#include "usb/command_codes.h"
#include "usb/frame_transfer.h"

namespace {

bool IsSet(const KSPROPERTY* p) {
    return p->Flags == KSPROPERTY_TYPE_SET;
}
LONG& ValueOf(PVOID data) {
    return static_cast<CAMPROP_VALUE_S*>(data)->Value;
}

// The constants the constant items and the camera's range items answer.
LONG ConstantOf(ULONG id) {
    switch (id) {
        case CAMPROP_EXPOSURE_MIN:
            return 0;
        case CAMPROP_EXPOSURE_MAX:
            return 1014;
        case CAMPROP_EXPOSURE_DEFAULT:
            return 64;
        case CAMPROP_GLOBAL_GAIN_MIN:
            return 0;
        case CAMPROP_GLOBAL_GAIN_MAX:
            return 1023;
        case CAMPROP_GLOBAL_GAIN_DEFAULT:
            return 512;
        case CAMPROP_COLOR_GAIN_MIN:
            return 1;
        case CAMPROP_COLOR_GAIN_MAX:
            return 512;
        case CAMPROP_COLOR_GAIN_DEFAULT:
            return 128;
        case CAMPROP_BRIGHTNESS_MIN:
            return 0;
        case CAMPROP_BRIGHTNESS_MAX:
            return 510;
        case CAMPROP_BRIGHTNESS_DEFAULT:
            return 255;
        case CAMPROP_CONTRAST_MIN:
        case CAMPROP_SATURATION_MIN:
            return 0;
        case CAMPROP_CONTRAST_MAX:
        case CAMPROP_SATURATION_MAX:
            return 20;
        case CAMPROP_CONTRAST_DEFAULT:
        case CAMPROP_SATURATION_DEFAULT:
            return 10;
        case CAMPROP_HUE_MIN:
            return 0;
        case CAMPROP_HUE_MAX:
            return 359;
        case CAMPROP_HUE_DEFAULT:
            return 0;
        default:
            return 0;
    }
}

// A refreshed get: with a processor running, its current value becomes the
// device's before it is returned.
LONG Refreshed(CameraDevice* c, LONG& field, LONG ImageProcessor::*member) {
    ExAcquireFastMutex(&c->ProcessorLock);
    if (c->Processor != nullptr) field = ReadAcquire(&(c->Processor->*member));
    ExReleaseFastMutex(&c->ProcessorLock);
    return field;
}

}  // namespace

CameraDevice* CameraDeviceFromIrp(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (filter == nullptr) return nullptr;
    PKSDEVICE device = KsGetDevice(filter);
    if (device == nullptr) return nullptr;
    return static_cast<CameraDevice*>(device->Context);
}

NTSTATUS HandleCameraProperty(PIRP irp, KSPROPERTY* property, PVOID data) {
    if (irp == nullptr) return STATUS_UNSUCCESSFUL;
    CameraDevice* c = CameraDeviceFromIrp(irp);
    if (c == nullptr) return STATUS_UNSUCCESSFUL;
    const bool set = IsSet(property);
    LONG& v = ValueOf(data);
    switch (property->Id) {
        case CAMPROP_EX_TRIGGER:
            if (!set) v = (c->ExTrigger & 0xFF) != 0 ? 1 : 0;
            break;
        case CAMPROP_TIMEOUT:
            if (set) {
                // The same range the settings load accepts: a value shown as
                // set must survive a restart, and a huge one would let a
                // stall hold a stop for weeks.
                if (v >= kMinFrameTimeoutMs && v <= kMaxFrameTimeoutMs)
                    c->SetTimeout(static_cast<ULONG>(v));
            } else {
                v = ReadAcquire(reinterpret_cast<LONG*>(&c->Timeout));
            }
            break;
        case CAMPROP_EXPOSURE:
            // A failed camera command is reported, not passed off as done.
            if (set)
                return c->SetExposure(static_cast<ULONG>(v)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
            v = ReadAcquire(reinterpret_cast<LONG*>(&c->Exposure));  // a set may be storing it
            break;
        case CAMPROP_GLOBAL_GAIN:
            if (set)
                return c->SetGlobalGain(static_cast<ULONG>(v)) ? STATUS_SUCCESS
                                                               : STATUS_UNSUCCESSFUL;
            v = ReadAcquire(reinterpret_cast<LONG*>(&c->GlobalGain));
            break;
        case CAMPROP_EXPOSURE_MIN:
        case CAMPROP_EXPOSURE_MAX:
        case CAMPROP_EXPOSURE_DEFAULT:
        case CAMPROP_GLOBAL_GAIN_MIN:
        case CAMPROP_GLOBAL_GAIN_MAX:
        case CAMPROP_GLOBAL_GAIN_DEFAULT:
            v = ConstantOf(property->Id);
            break;
        case CAMPROP_FLIP_H:
            if (set)
                c->ApplyFlip(Axis::Horizontal, v);
            else
                v = c->GetFlipH();
            break;
        case CAMPROP_FLIP_V:
            if (set)
                c->ApplyFlip(Axis::Vertical, v);
            else
                v = c->GetFlipV();
            break;
        case CAMPROP_COLOR_ENABLE:
            if (set)
                c->ApplyColorEnable(v);
            else
                v = Refreshed(c, c->ColorEnable, &ImageProcessor::colorEnable);
            break;
        case CAMPROP_WHITE_BALANCE:
            if (set)
                c->ApplyWhiteBalance(v);
            else
                v = Refreshed(c, c->WhiteBalance, &ImageProcessor::whiteBalance);
            break;
        case CAMPROP_RED_GAIN:
            if (set)
                c->ApplyColorGain(ColorChannel::Red, v);
            else
                v = Refreshed(c, c->RedGain, &ImageProcessor::redGain);
            break;
        case CAMPROP_GREEN_GAIN:
            if (set)
                c->ApplyColorGain(ColorChannel::Green, v);
            else
                v = Refreshed(c, c->GreenGain, &ImageProcessor::greenGain);
            break;
        case CAMPROP_BLUE_GAIN:
            if (set)
                c->ApplyColorGain(ColorChannel::Blue, v);
            else
                v = Refreshed(c, c->BlueGain, &ImageProcessor::blueGain);
            break;
        case CAMPROP_COLOR_CORRECTION:
            if (set)
                c->ApplyColorCorrection(v);
            else
                v = Refreshed(c, c->ColorCorrection, &ImageProcessor::colorCorrection);
            break;
        case CAMPROP_SUBSAMPLE:
            v = c->SubSample;
            break;
        case CAMPROP_SENSOR_WIDTH:
            v = SENSOR_WIDTH;
            break;
        case CAMPROP_SENSOR_HEIGHT:
            v = SENSOR_HEIGHT;
            break;
        case CAMPROP_READOUT_X:
            v = c->SensorLeft;
            break;
        case CAMPROP_READOUT_Y:
            v = c->SensorTop;
            break;
        case CAMPROP_READOUT_WIDTH:
            v = c->SensorWidth;
            break;
        case CAMPROP_READOUT_HEIGHT:
            v = c->SensorHeight;
            break;
        case CAMPROP_PIN_OPEN:
            v = ReadAcquire(&c->PinOpen) != 0 ? 1 : 0;
            break;
        case CAMPROP_CLOCK:
            if (!set) v = c->Clock;
            break;
        case CAMPROP_AGC:
            if (!set) v = c->AGC;
            break;
        case CAMPROP_AEC:
            if (!set) v = c->AEC;
            break;
        case CAMPROP_REGISTER_SELECT:
            // Clients may select and read from several threads at once.
            if (set) {
                InterlockedExchange(&c->RegisterReadIndex, v);
            } else {
                auto index = static_cast<ULONG>(ReadAcquire(&c->RegisterReadIndex));
                v = index <= 1023 ? ReadAcquire(&c->RegisterShadow[index]) : 0;
            }
            break;
        case CAMPROP_RESERVED_36:
        case CAMPROP_RESERVED_46:
        case CAMPROP_RESERVED_50:
        case CAMPROP_RESERVED_51:
        case CAMPROP_RESERVED_52:
        case CAMPROP_RESERVED_53:
        case CAMPROP_RESERVED_54:
            if (!set) v = 0;
            break;
        default:  // CAMPROP_RESERVED_47 and anything the table never routes here
            break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetConstantProperty(PIRP, KSPROPERTY* property, PVOID data) {
    if (data == nullptr) return STATUS_UNSUCCESSFUL;
    ValueOf(data) = ConstantOf(property->Id);
    return STATUS_SUCCESS;
}

NTSTATUS HandleProcessingProperty(PIRP irp, KSPROPERTY* property, PVOID data) {
    if (irp == nullptr || property == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
    CameraDevice* c = CameraDeviceFromIrp(irp);
    if (c == nullptr) return STATUS_UNSUCCESSFUL;
    const bool set = IsSet(property);
    LONG& v = ValueOf(data);
    switch (property->Id) {
        case CAMPROP_BRIGHTNESS:
            if (set)
                c->ApplyBrightness(v);
            else
                v = Refreshed(c, c->Brightness, &ImageProcessor::brightness);
            break;
        case CAMPROP_CONTRAST:
            if (set)
                c->ApplyContrast(v);
            else
                v = Refreshed(c, c->Contrast, &ImageProcessor::contrast);
            break;
        case CAMPROP_SATURATION:
            if (set)
                c->ApplySaturation(v);
            else
                v = Refreshed(c, c->Saturation, &ImageProcessor::saturation);
            break;
        case CAMPROP_HUE:
            if (set)
                c->ApplyHue(v);
            else
                v = Refreshed(c, c->Hue, &ImageProcessor::hue);
            break;
        default:
            break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS HandleWindowProperty(PIRP irp, KSPROPERTY* property, PVOID data) {
    if (irp == nullptr) return STATUS_UNSUCCESSFUL;
    CameraDevice* c = CameraDeviceFromIrp(irp);
    if (c == nullptr) return STATUS_UNSUCCESSFUL;
    if (IsSet(property)) {
        const auto* w = static_cast<CAMPROP_WINDOW_S*>(data);
        c->SetReadoutWindow(w->X, w->Y, w->Width, w->Height, w->SubSample);
    }
    return STATUS_SUCCESS;
}

NTSTATUS HandleRegisterProperty(PIRP irp, KSPROPERTY* property, PVOID data) {
    if (irp == nullptr) return STATUS_UNSUCCESSFUL;
    CameraDevice* c = CameraDeviceFromIrp(irp);
    if (c == nullptr || !IsSet(property)) return STATUS_UNSUCCESSFUL;
    const auto* r = static_cast<CAMPROP_REGISTER_S*>(data);
    return c->WriteSensorRegister(r->RegisterIndex, r->RegisterValue) ? STATUS_SUCCESS
                                                                      : STATUS_UNSUCCESSFUL;
}

NTSTATUS HandleCommandProperty(PIRP irp, KSPROPERTY* property, PVOID data) {
    if (irp == nullptr) return STATUS_UNSUCCESSFUL;
    CameraDevice* c = CameraDeviceFromIrp(irp);
    if (c == nullptr) return STATUS_UNSUCCESSFUL;
    auto* block = static_cast<CAMPROP_BLOCK_S*>(data);
    const bool set = IsSet(property);
    switch (property->Id) {
        case CAMPROP_RAW_COMMAND: {
            if (!set) return STATUS_UNSUCCESSFUL;
            ExAcquireFastMutex(&c->CommandLock);
            std::memset(&c->RegisterCommand, 0, sizeof c->RegisterCommand);
            c->RegisterCommand.Bytes[0] = CmdPassThrough;
            LONG n = block->ByteCount > 63 ? 63 : block->ByteCount;
            if (n > 0)
                std::memcpy(&c->RegisterCommand.Bytes[1], block->Bytes, static_cast<size_t>(n));
            BOOLEAN sent = c->SendCommand(&c->RegisterCommand);
            ExReleaseFastMutex(&c->CommandLock);
            return sent ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        }
        case CAMPROP_CAMERA_BYTE:
            if (set) {
                InterlockedExchange(&c->RegisterReadIndex, static_cast<LONG>(block->Address));
                return STATUS_SUCCESS;
            }
            return c->ReadCameraByte(&block->Bytes[0]) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

namespace {

enum Access { Get = 1, Set = 2, Both = 3 };

constexpr KSPROPERTY_ITEM Item(ULONG id, PFNKSHANDLER handler, Access access,
                               ULONG size = sizeof(CAMPROP_VALUE_S)) {
    return {id,
            (access & Get) ? handler : nullptr,
            size,
            size,
            (access & Set) ? handler : nullptr,
            nullptr,
            0,
            nullptr,
            nullptr,
            0};
}

}  // namespace

const KSPROPERTY_ITEM CameraPropertyItems[CAMPROP_COUNT] = {
    Item(CAMPROP_EX_TRIGGER, HandleCameraProperty, Both),
    Item(CAMPROP_TIMEOUT, HandleCameraProperty, Both),
    Item(CAMPROP_EXPOSURE, HandleCameraProperty, Both),
    Item(CAMPROP_EXPOSURE_MIN, HandleCameraProperty, Get),
    Item(CAMPROP_EXPOSURE_MAX, HandleCameraProperty, Get),
    Item(CAMPROP_EXPOSURE_DEFAULT, HandleCameraProperty, Get),
    Item(CAMPROP_GLOBAL_GAIN, HandleCameraProperty, Both),
    Item(CAMPROP_GLOBAL_GAIN_MIN, HandleCameraProperty, Get),
    Item(CAMPROP_GLOBAL_GAIN_MAX, HandleCameraProperty, Get),
    Item(CAMPROP_GLOBAL_GAIN_DEFAULT, HandleCameraProperty, Get),
    Item(CAMPROP_FLIP_H, HandleCameraProperty, Both),
    Item(CAMPROP_FLIP_V, HandleCameraProperty, Both),
    Item(CAMPROP_COLOR_ENABLE, HandleCameraProperty, Both),
    Item(CAMPROP_WHITE_BALANCE, HandleCameraProperty, Both),
    Item(CAMPROP_RED_GAIN, HandleCameraProperty, Both),
    Item(CAMPROP_GREEN_GAIN, HandleCameraProperty, Both),
    Item(CAMPROP_BLUE_GAIN, HandleCameraProperty, Both),
    Item(CAMPROP_COLOR_GAIN_MIN, GetConstantProperty, Get),
    Item(CAMPROP_COLOR_GAIN_MAX, GetConstantProperty, Get),
    Item(CAMPROP_COLOR_GAIN_DEFAULT, GetConstantProperty, Get),
    Item(CAMPROP_BRIGHTNESS, HandleProcessingProperty, Both),
    Item(CAMPROP_BRIGHTNESS_MIN, GetConstantProperty, Get),
    Item(CAMPROP_BRIGHTNESS_MAX, GetConstantProperty, Get),
    Item(CAMPROP_BRIGHTNESS_DEFAULT, GetConstantProperty, Get),
    Item(CAMPROP_CONTRAST, HandleProcessingProperty, Both),
    Item(CAMPROP_CONTRAST_MIN, GetConstantProperty, Get),
    Item(CAMPROP_CONTRAST_MAX, GetConstantProperty, Get),
    Item(CAMPROP_CONTRAST_DEFAULT, GetConstantProperty, Get),
    Item(CAMPROP_SATURATION, HandleProcessingProperty, Both),
    Item(CAMPROP_SATURATION_MIN, GetConstantProperty, Get),
    Item(CAMPROP_SATURATION_MAX, GetConstantProperty, Get),
    Item(CAMPROP_SATURATION_DEFAULT, GetConstantProperty, Get),
    Item(CAMPROP_HUE, HandleProcessingProperty, Both),
    Item(CAMPROP_HUE_MIN, GetConstantProperty, Get),
    Item(CAMPROP_HUE_MAX, GetConstantProperty, Get),
    Item(CAMPROP_HUE_DEFAULT, GetConstantProperty, Get),
    Item(CAMPROP_RESERVED_36, HandleCameraProperty, Get),
    Item(CAMPROP_SUBSAMPLE, HandleCameraProperty, Get),
    Item(CAMPROP_SENSOR_WIDTH, HandleCameraProperty, Get),
    Item(CAMPROP_SENSOR_HEIGHT, HandleCameraProperty, Get),
    Item(CAMPROP_READOUT_X, HandleCameraProperty, Get),
    Item(CAMPROP_READOUT_Y, HandleCameraProperty, Get),
    Item(CAMPROP_READOUT_WIDTH, HandleCameraProperty, Get),
    Item(CAMPROP_READOUT_HEIGHT, HandleCameraProperty, Get),
    Item(CAMPROP_WINDOW, HandleWindowProperty, Set, sizeof(CAMPROP_WINDOW_S)),
    Item(CAMPROP_PIN_OPEN, HandleCameraProperty, Get),
    Item(CAMPROP_RESERVED_46, HandleCameraProperty, Get),
    Item(CAMPROP_RESERVED_47, HandleCameraProperty, Set),
    Item(CAMPROP_COLOR_CORRECTION, HandleCameraProperty, Both),
    Item(CAMPROP_CLOCK, HandleCameraProperty, Both),
    Item(CAMPROP_RESERVED_50, HandleCameraProperty, Get),
    Item(CAMPROP_RESERVED_51, HandleCameraProperty, Get),
    Item(CAMPROP_RESERVED_52, HandleCameraProperty, Get),
    Item(CAMPROP_RESERVED_53, HandleCameraProperty, Get),
    Item(CAMPROP_RESERVED_54, HandleCameraProperty, Get),
    Item(CAMPROP_AGC, HandleCameraProperty, Both),
    Item(CAMPROP_AEC, HandleCameraProperty, Both),
    Item(CAMPROP_SENSOR_REGISTER, HandleRegisterProperty, Both),
    Item(CAMPROP_REGISTER_SELECT, HandleCameraProperty, Both),
    Item(CAMPROP_RAW_COMMAND, HandleCommandProperty, Both, sizeof(CAMPROP_BLOCK_S)),
    Item(CAMPROP_CAMERA_BYTE, HandleCommandProperty, Both, sizeof(CAMPROP_BLOCK_S)),
};

const KSPROPERTY_SET CameraPropertySets[1] = {
    {&PROPSETID_NorvikControl, CAMPROP_COUNT, CameraPropertyItems, 0, nullptr},
};

const KSAUTOMATION_TABLE CameraAutomationTable = {
    1, sizeof(KSPROPERTY_ITEM), CameraPropertySets, 0, 0, nullptr, 0, 0, nullptr,
};
