// The settings values, in the one order they are written and read.
#include "control/settings.h"

#include <cstring>

#include "platform/kernel/registry.h"
#include "usb/frame_transfer.h"

namespace {

constexpr ULONG kAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

NTSTATUS OpenOrCreate(HANDLE parent, PWSTR path, PHANDLE key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, kAttributes, parent, nullptr);
    ULONG disposition = 0;
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       &disposition);
}

// The 24 values, in order; each names the CameraDevice field it stores.
enum class Field {
    Timeout,
    Exposure,
    GlobalGain,
    FlipH,
    FlipV,
    ColorEnable,
    WhiteBalance,
    ColorCorrection,
    Brightness,
    Contrast,
    Saturation,
    Hue,
    RedGain,
    GreenGain,
    BlueGain,
    AGC,
    AEC,
    Clock,
    ExTrigger,
    SubSample,
    RoiX,
    RoiY,
    RoiW,
    RoiH
};

struct SettingsValue {
    PCWSTR name;
    Field field;
};

constexpr SettingsValue kValues[] = {
    {u"Timeout", Field::Timeout},
    {u"Exposure", Field::Exposure},
    {u"GlobalGain", Field::GlobalGain},
    {u"FlipH", Field::FlipH},
    {u"FlipV", Field::FlipV},
    {u"ColorEnable", Field::ColorEnable},
    {u"WhiteBalance", Field::WhiteBalance},
    {u"ColorCorrection", Field::ColorCorrection},
    {u"Brightness", Field::Brightness},
    {u"Contrast", Field::Contrast},
    {u"Saturation", Field::Saturation},
    {u"Hue", Field::Hue},
    {u"RedGain", Field::RedGain},
    {u"GreenGain", Field::GreenGain},
    {u"BlueGain", Field::BlueGain},
    {u"AGC", Field::AGC},
    {u"AEC", Field::AEC},
    {u"Clock", Field::Clock},
    {u"ExTrigger", Field::ExTrigger},
    {u"SubSample", Field::SubSample},
    {u"RoiX", Field::RoiX},
    {u"RoiY", Field::RoiY},
    {u"RoiW", Field::RoiW},
    {u"RoiH", Field::RoiH},
};
static_assert(std::size(kValues) == 24);

ULONG Current(const CameraDevice* c, Field f) {
    switch (f) {
        case Field::Timeout:
            return c->Timeout;
        case Field::Exposure:
            return c->Exposure;
        case Field::GlobalGain:
            return c->GlobalGain;
        case Field::FlipH:
            return static_cast<ULONG>(ReadAcquire(&c->FlipH));
        case Field::FlipV:
            return static_cast<ULONG>(ReadAcquire(&c->FlipV));
        case Field::ColorEnable:
            return static_cast<ULONG>(c->ColorEnable);
        case Field::WhiteBalance:
            return static_cast<ULONG>(c->WhiteBalance);
        case Field::ColorCorrection:
            return static_cast<ULONG>(c->ColorCorrection);
        case Field::Brightness:
            return static_cast<ULONG>(c->Brightness);
        case Field::Contrast:
            return static_cast<ULONG>(c->Contrast);
        case Field::Saturation:
            return static_cast<ULONG>(c->Saturation);
        case Field::Hue:
            return static_cast<ULONG>(c->Hue);
        case Field::RedGain:
            return static_cast<ULONG>(c->RedGain);
        case Field::GreenGain:
            return static_cast<ULONG>(c->GreenGain);
        case Field::BlueGain:
            return static_cast<ULONG>(c->BlueGain);
        case Field::AGC:
            return static_cast<ULONG>(c->AGC);
        case Field::AEC:
            return static_cast<ULONG>(c->AEC);
        case Field::Clock:
            return static_cast<ULONG>(c->Clock);
        case Field::ExTrigger:
            return static_cast<ULONG>(c->ExTrigger);
        case Field::SubSample:
            return static_cast<ULONG>(c->SubSample);
        case Field::RoiX:
            return static_cast<ULONG>(c->RoiX);
        case Field::RoiY:
            return static_cast<ULONG>(c->RoiY);
        case Field::RoiW:
            return static_cast<ULONG>(c->RoiW);
        case Field::RoiH:
            return static_cast<ULONG>(c->RoiH);
    }
    return 0;
}

// What a missing value stands for.
ULONG Default(const CameraDevice* c, Field f) {
    switch (f) {
        case Field::Timeout:
            return kDefaultFrameTimeoutMs;
        case Field::ColorEnable:
        case Field::ColorCorrection:
            return 1;
        case Field::Brightness:
            return 255;
        case Field::Contrast:
        case Field::Saturation:
            return 10;
        case Field::RedGain:
        case Field::GreenGain:
        case Field::BlueGain:
            return 128;
        case Field::Clock:
            return static_cast<ULONG>(c->Clock);
        case Field::RoiW:
            return 2560;
        case Field::RoiH:
            return 1920;
        default:
            return 0;
    }
}

LONG S(ULONG v) {
    return static_cast<LONG>(v);
}

}  // namespace

NTSTATUS OpenSettingsKey(HANDLE parent, PHANDLE key) {
    char16_t path[] = u"Settings";
    // Every intermediate key of the path is opened or created in turn and
    // closed at once; "Settings" has none, but the walk stays for any path.
    for (size_t i = 1; path[i] != 0; ++i) {
        if (path[i] != u'\\') continue;
        path[i] = 0;
        HANDLE h = nullptr;
        NTSTATUS s = OpenOrCreate(parent, path, &h);
        path[i] = u'\\';
        if (!NT_SUCCESS(s)) return s;
        ZwClose(h);
    }
    return OpenOrCreate(parent, path, key);
}

NTSTATUS QueryDwordValue(HANDLE key, PCWSTR name, ULONG* value) {
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    alignas(8) UCHAR buffer[KEY_VALUE_PARTIAL_INFORMATION_HEADER + 8] = {};
    ULONG result = 0;
    NTSTATUS s =
        ZwQueryValueKey(key, &n, KeyValuePartialInformation, buffer, sizeof buffer, &result);
    if (!NT_SUCCESS(s)) return s;
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    // Only a 4-byte REG_DWORD is a number: a string or a binary value
    // edited in by hand ("Hue"="5") would otherwise be read by its first
    // bytes. Anything else counts as missing, and the default stands.
    if (info->Type != REG_DWORD || info->DataLength != 4) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::memcpy(value, info->Data, 4);
    return STATUS_SUCCESS;
}

void SetDwordValue(HANDLE key, PCWSTR name, ULONG value) {
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    ZwSetValueKey(key, &n, 0, REG_DWORD, &value, sizeof value);
}

BOOLEAN LoadSettings(CameraDevice* c) {
    HANDLE driverKey = nullptr;
    if (IoOpenDeviceRegistryKey(c->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL,
                                &driverKey) != STATUS_SUCCESS)
        return FALSE;
    HANDLE settings = nullptr;
    if (!NT_SUCCESS(OpenSettingsKey(driverKey, &settings))) {
        ZwClose(driverKey);
        return FALSE;
    }
    ULONG v[24];
    for (size_t i = 0; i < 24; ++i) {
        v[i] = Default(c, kValues[i].field);
        QueryDwordValue(settings, kValues[i].name, &v[i]);
    }
    auto at = [&](Field f) { return v[static_cast<size_t>(f)]; };
    const ULONG timeout = at(Field::Timeout);
    if (timeout >= kMinFrameTimeoutMs && timeout <= kMaxFrameTimeoutMs) c->SetTimeout(timeout);
    // A stored exposure or gain the camera refused to take stays the
    // device's value, so the next save writes back what was stored.
    if (!c->SetExposure(at(Field::Exposure)))
        c->Exposure = at(Field::Exposure) <= 1014 ? at(Field::Exposure) : 1014;
    if (!c->SetGlobalGain(at(Field::GlobalGain)))
        c->GlobalGain = at(Field::GlobalGain) <= 1023 ? at(Field::GlobalGain) : 1023;
    c->ApplyColorEnable(S(at(Field::ColorEnable)));
    c->ApplyWhiteBalance(S(at(Field::WhiteBalance)));
    c->ApplyColorCorrection(S(at(Field::ColorCorrection)));
    c->ApplyBrightness(S(at(Field::Brightness)));
    c->ApplyContrast(S(at(Field::Contrast)));
    c->ApplySaturation(S(at(Field::Saturation)));
    c->ApplyHue(S(at(Field::Hue)));
    c->ApplyColorGain(ColorChannel::Red, S(at(Field::RedGain)));
    c->ApplyColorGain(ColorChannel::Green, S(at(Field::GreenGain)));
    c->ApplyColorGain(ColorChannel::Blue, S(at(Field::BlueGain)));
    c->ApplyFlip(Axis::Horizontal, S(at(Field::FlipH)));
    c->ApplyFlip(Axis::Vertical, S(at(Field::FlipV)));
    // AGC, AEC, Clock, ExTrigger and SubSample are read and not applied.
    const ULONG x = at(Field::RoiX) < 2560 ? at(Field::RoiX) : 0;
    const ULONG y = at(Field::RoiY) < 1920 ? at(Field::RoiY) : 0;
    const ULONG w = at(Field::RoiW) <= 2560 ? at(Field::RoiW) : 2560;
    const ULONG h = at(Field::RoiH) <= 1920 ? at(Field::RoiH) : 1920;
    c->SetReadoutWindow(S(x), S(y), S(w), S(h), 0);
    ZwClose(settings);
    ZwClose(driverKey);
    return TRUE;
}

BOOLEAN SaveSettings(CameraDevice* c) {
    HANDLE driverKey = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(c->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                            READ_CONTROL, &driverKey)) ||
        driverKey == nullptr)
        return FALSE;
    HANDLE settings = nullptr;
    if (!NT_SUCCESS(OpenSettingsKey(driverKey, &settings)) || settings == nullptr) {
        ZwClose(driverKey);
        return FALSE;
    }
    for (const auto& value : kValues) SetDwordValue(settings, value.name, Current(c, value.field));
    ZwClose(settings);
    ZwClose(driverKey);
    return TRUE;
}
