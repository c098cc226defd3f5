// The rows of the control table. A range the driver reports through its
// range items is read from them; the others come from the driver's own
// constants, so no number here repeats one of the driver's.
#include "client/control_table.h"

#include <string>

#include "control/camera_properties.h"
#include "usb/frame_transfer.h"

namespace norvik {
namespace {

enum Flag : unsigned {
    kReadOnly = 1,
    kUnsigned = 2,  // the driver reads it as unsigned: a negative value would wrap to a huge one
    kInert = 4,     // kept and reported, but nothing the camera does depends on it
    kShown = 8,     // a setting user interfaces offer
};

struct Range {
    bool known;
    uint32_t items;  // the driver's _MIN item, followed by _MAX and _DEFAULT; 0: the numbers below
    int32_t minimum, maximum, defaultValue;
};
constexpr Range Items(uint32_t minItem) {
    return {true, minItem, 0, 0, 0};
}
constexpr Range Between(int32_t minimum, int32_t maximum, int32_t defaultValue) {
    return {true, 0, minimum, maximum, defaultValue};
}
constexpr Range Off() {
    return Between(0, 1, 0);
}
constexpr Range On() {
    return Between(0, 1, 1);
}
constexpr Range Unknown() {
    return {false, 0, 0, 0, 0};
}

// The sensor registers the driver keeps a shadow of, which register_select picks from.
constexpr size_t kRegisters = sizeof CameraDevice::RegisterShadow / sizeof(LONG);
constexpr auto kLastRegister = static_cast<int32_t>(kRegisters) - 1;

struct Row {
    const char* name;
    uint32_t id;
    ControlType type;
    unsigned flags;
    Range range;
    const char* unit;
    const char* description;
};

constexpr ControlType kInt = ControlType::Integer;
constexpr ControlType kSwitch = ControlType::Switch;

const Row kRows[] = {
    {"ex_trigger", CAMPROP_EX_TRIGGER, kSwitch, kInert, Off(), "", "external-trigger mode"},
    {"timeout", CAMPROP_TIMEOUT, kInt, kUnsigned | kShown,
     Between(kMinFrameTimeoutMs, kMaxFrameTimeoutMs, kDefaultFrameTimeoutMs), "ms",
     "how long the driver waits for a frame, and for each command to the camera"},
    {"exposure", CAMPROP_EXPOSURE, kInt, kUnsigned | kShown, Items(CAMPROP_EXPOSURE_MIN), "",
     "the sensor's exposure: higher is brighter"},
    {"global_gain", CAMPROP_GLOBAL_GAIN, kInt, kUnsigned | kShown, Items(CAMPROP_GLOBAL_GAIN_MIN),
     "", "the sensor's gain"},
    {"flip_h", CAMPROP_FLIP_H, kSwitch, kShown, Off(), "", "pictures mirrored left to right"},
    {"flip_v", CAMPROP_FLIP_V, kSwitch, kShown, Off(), "",
     "frames stored top row first (the picture looks the same)"},
    {"color_enable", CAMPROP_COLOR_ENABLE, kSwitch, kShown, On(), "",
     "colour pictures (off: grey)"},
    {"white_balance", CAMPROP_WHITE_BALANCE, kSwitch, kShown, Off(), "",
     "automatic white balance on every frame; switched off, the gains it found stay"},
    {"red_gain", CAMPROP_RED_GAIN, kInt, kShown, Items(CAMPROP_COLOR_GAIN_MIN), "",
     "gain of the red channel (128: unity)"},
    {"green_gain", CAMPROP_GREEN_GAIN, kInt, kShown, Items(CAMPROP_COLOR_GAIN_MIN), "",
     "gain of the green channel (128: unity)"},
    {"blue_gain", CAMPROP_BLUE_GAIN, kInt, kShown, Items(CAMPROP_COLOR_GAIN_MIN), "",
     "gain of the blue channel (128: unity)"},
    {"brightness", CAMPROP_BRIGHTNESS, kInt, kShown, Items(CAMPROP_BRIGHTNESS_MIN), "",
     "brightness of the picture"},
    {"contrast", CAMPROP_CONTRAST, kInt, kShown, Items(CAMPROP_CONTRAST_MIN), "",
     "contrast of the picture"},
    {"saturation", CAMPROP_SATURATION, kInt, kShown, Items(CAMPROP_SATURATION_MIN), "",
     "colour saturation of the picture"},
    {"hue", CAMPROP_HUE, kInt, kShown, Items(CAMPROP_HUE_MIN), "degrees",
     "rotation of the colours' hue"},
    {"color_correction", CAMPROP_COLOR_CORRECTION, kSwitch, kShown, On(), "",
     "the colour-correction matrix applied"},
    {"clock", CAMPROP_CLOCK, kInt, kInert, Unknown(), "", "clock setting"},
    {"agc", CAMPROP_AGC, kInt, kInert, Unknown(), "", "automatic gain"},
    {"aec", CAMPROP_AEC, kInt, kInert, Unknown(), "", "automatic exposure"},
    {"register_select", CAMPROP_REGISTER_SELECT, kInt, kUnsigned, Between(0, kLastRegister, 0), "",
     "selects a sensor register; reading this control then gives the last value written to it"},
    {"subsample", CAMPROP_SUBSAMPLE, kInt, kReadOnly, Unknown(), "", "sub-sampling of the readout"},
    {"sensor_width", CAMPROP_SENSOR_WIDTH, kInt, kReadOnly, Unknown(), "pixels",
     "width of the sensor"},
    {"sensor_height", CAMPROP_SENSOR_HEIGHT, kInt, kReadOnly, Unknown(), "pixels",
     "height of the sensor"},
    {"readout_x", CAMPROP_READOUT_X, kInt, kReadOnly, Unknown(), "pixels",
     "left edge of the area the sensor reads out"},
    {"readout_y", CAMPROP_READOUT_Y, kInt, kReadOnly, Unknown(), "pixels",
     "top edge of the area the sensor reads out"},
    {"readout_width", CAMPROP_READOUT_WIDTH, kInt, kReadOnly, Unknown(), "pixels",
     "width of the area the sensor reads out"},
    {"readout_height", CAMPROP_READOUT_HEIGHT, kInt, kReadOnly, Unknown(), "pixels",
     "height of the area the sensor reads out"},
    {"pin_open", CAMPROP_PIN_OPEN, kSwitch, kReadOnly, Off(), "",
     "on while a capture pin is open (the window cannot change then)"},
};

// The range items are constants: they answer without a device.
int32_t RangeItem(uint32_t id) {
    CAMPROP_VALUE_S v{};
    KSPROPERTY p = {PROPSETID_NorvikControl, id, KSPROPERTY_TYPE_GET};
    GetConstantProperty(nullptr, &p, &v);
    return v.Value;
}

ControlInfo FromRow(const Row& r) {
    ControlInfo c;
    c.name = r.name;
    c.id = r.id;
    c.writable = (r.flags & kReadOnly) == 0;
    c.hasRange = r.range.known;
    c.minimum = r.range.items != 0 ? RangeItem(r.range.items) : r.range.minimum;
    c.maximum = r.range.items != 0 ? RangeItem(r.range.items + 1) : r.range.maximum;
    c.defaultValue = r.range.items != 0 ? RangeItem(r.range.items + 2) : r.range.defaultValue;
    c.isSigned = (r.flags & kUnsigned) == 0;
    c.inert = (r.flags & kInert) != 0;
    c.shown = (r.flags & kShown) != 0;
    c.type = r.type;
    c.unit = r.unit;
    c.description = r.description;
    return c;
}

std::string RangeText(const ControlInfo& c) {
    return std::to_string(c.minimum) + ".." + std::to_string(c.maximum) +
           (c.unit.empty() ? "" : " " + c.unit);
}

}  // namespace

const std::vector<ControlInfo>& ControlTable() {
    // Never destroyed: a front end's thread may still look a control up
    // while the program exits.
    static const auto* table = new std::vector<ControlInfo>([] {
        std::vector<ControlInfo> out;
        for (const Row& r : kRows) out.push_back(FromRow(r));
        return out;
    }());
    return *table;
}

void CheckControlValue(const ControlInfo& c, int32_t value) {
    if (!c.writable)
        throw Error(ErrorKind::InvalidArgument, "control '" + c.name + "' is read-only");
    const bool outside = c.hasRange && (value < c.minimum || value > c.maximum);
    if (outside || (!c.isSigned && value < 0)) {
        const std::string allowed =
            c.hasRange ? "the range is " + RangeText(c) : "it cannot be negative";
        throw Error(ErrorKind::InvalidArgument,
                    c.name + "=" + std::to_string(value) + " is not allowed: " + allowed);
    }
}

}  // namespace norvik
