// The camera property set as a client sends it: records of 32, 48 and 96
// bytes, the dispatch's refusals and every handler kind.
#include <gtest/gtest.h>

#include "tests/support/driver_tunables.h"
#include "tests/support/streaming_rig.h"
#include "usb/frame_transfer.h"

namespace {

constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = MakeStatus(0xC0000206);

class Properties : public testing::Test {
  protected:
    void SetUp() override { s.Sim().ClearRecord(); }
    LONG Get(ULONG id, NTSTATUS* status = nullptr) { return s.GetValue(id, status); }
    NTSTATUS Set(ULONG id, LONG v) { return s.SetValue(id, v); }
    NTSTATUS Block(ULONG id, ULONG flags, CAMPROP_BLOCK_S* data) {
        CAMPROP_BLOCK_S request = *data;
        request.Property = {PROPSETID_NorvikControl, id, flags};
        data->Property = request.Property;
        return s.filter->Property(&request, sizeof request, data, sizeof *data);
    }
    StreamingRig s;
    // After the rig: a time-out a test sets is undone before the camera goes.
    DriverTunables tunables;
};

TEST_F(Properties, DispatchRefusesBeforeAnyHandlerRuns) {
    CAMPROP_VALUE_S r{};
    r.Property = {PROPSETID_NorvikControl, CAMPROP_HUE_MAX, KSPROPERTY_TYPE_SET};
    CAMPROP_VALUE_S d = r;
    EXPECT_EQ(s.filter->Property(&r, sizeof r, &d, sizeof d),
              STATUS_INVALID_DEVICE_REQUEST);  // get-only
    r.Property = {PROPSETID_NorvikControl, CAMPROP_WINDOW, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(s.filter->Property(&r, sizeof r, &d, sizeof d),
              STATUS_INVALID_DEVICE_REQUEST);  // set-only
    r.Property = {PROPSETID_NorvikControl, CAMPROP_HUE, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(s.filter->Property(&r, 24, &d, sizeof d), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(s.filter->Property(&r, sizeof r, &d, 28), STATUS_BUFFER_TOO_SMALL);
    r.Property = {PROPSETID_NorvikControl, 61, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(s.filter->Property(&r, sizeof r, &d, sizeof d), STATUS_NOT_FOUND);
    r.Property = {KSNAME_Filter, CAMPROP_HUE, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(s.filter->Property(&r, sizeof r, &d, sizeof d), STATUS_NOT_FOUND);
    CAMPROP_WINDOW_S w{};
    w.Property = {PROPSETID_NorvikControl, CAMPROP_WINDOW, KSPROPERTY_TYPE_SET};
    EXPECT_EQ(s.filter->Property(&w, 32, &w, 32), STATUS_INVALID_BUFFER_SIZE);  // needs 48
}

TEST_F(Properties, EveryItemHasTheAccessAndSizesOfTheTable) {
    for (ULONG id = 0; id < CAMPROP_COUNT; ++id) {
        const KSPROPERTY_ITEM& item = CameraPropertyItems[id];
        EXPECT_EQ(item.PropertyId, id);
        ULONG size = id == CAMPROP_WINDOW                                       ? 48
                     : (id == CAMPROP_RAW_COMMAND || id == CAMPROP_CAMERA_BYTE) ? 96
                                                                                : 32;
        EXPECT_EQ(item.MinProperty, size) << id;
        EXPECT_EQ(item.MinData, size) << id;
    }
    EXPECT_EQ(CameraPropertyItems[CAMPROP_WINDOW].GetPropertyHandler, nullptr);
    EXPECT_EQ(CameraPropertyItems[CAMPROP_RESERVED_47].GetPropertyHandler, nullptr);
    EXPECT_EQ(CameraPropertyItems[CAMPROP_HUE_MAX].SetPropertyHandler, nullptr);
    EXPECT_EQ(CameraPropertyItems[CAMPROP_HUE_MAX].GetPropertyHandler, &GetConstantProperty);
    EXPECT_EQ(CameraPropertyItems[CAMPROP_EXPOSURE_MAX].GetPropertyHandler, &HandleCameraProperty);
    EXPECT_EQ(CameraPropertyItems[CAMPROP_SATURATION].SetPropertyHandler,
              &HandleProcessingProperty);
}

TEST_F(Properties, ValuesClampAndTimeOutRules) {
    EXPECT_EQ(Set(CAMPROP_EXPOSURE, 5000), STATUS_SUCCESS);
    EXPECT_EQ(Get(CAMPROP_EXPOSURE), 1014);
    EXPECT_EQ(Set(CAMPROP_RED_GAIN, 0), STATUS_SUCCESS);
    EXPECT_EQ(Get(CAMPROP_RED_GAIN), 1);
    Set(CAMPROP_HUE, 400);
    EXPECT_EQ(Get(CAMPROP_HUE), 359);
    Set(CAMPROP_BRIGHTNESS, -1);
    EXPECT_EQ(Get(CAMPROP_BRIGHTNESS), 0);
    Set(CAMPROP_TIMEOUT, 500);
    EXPECT_EQ(Get(CAMPROP_TIMEOUT), 3000);
    Set(CAMPROP_TIMEOUT, 501);
    EXPECT_EQ(Get(CAMPROP_TIMEOUT), 501);
    EXPECT_EQ(FrameTimeoutMs(), 501u);
    // Beyond what a restart would keep, nothing is taken: -1 once became
    // about 49 days, and 10000 was shown as set and lost on the next start.
    for (LONG ignored : {-1, 10000, 0x7FFFFFFF}) {
        Set(CAMPROP_TIMEOUT, ignored);
        EXPECT_EQ(Get(CAMPROP_TIMEOUT), 501) << ignored;
        EXPECT_EQ(FrameTimeoutMs(), 501u) << ignored;
    }
    Set(CAMPROP_TIMEOUT, 9999);
    EXPECT_EQ(Get(CAMPROP_TIMEOUT), 9999);
}

TEST_F(Properties, ConstantsAndReportedValues) {
    EXPECT_EQ(Get(CAMPROP_EXPOSURE_MAX), 1014);
    EXPECT_EQ(Get(CAMPROP_EXPOSURE_DEFAULT), 64);
    EXPECT_EQ(Get(CAMPROP_GLOBAL_GAIN_DEFAULT), 512);
    EXPECT_EQ(Get(CAMPROP_HUE_MAX), 359);
    EXPECT_EQ(Get(CAMPROP_COLOR_GAIN_MIN), 1);
    EXPECT_EQ(Get(CAMPROP_SENSOR_WIDTH), 2560);
    EXPECT_EQ(Get(CAMPROP_READOUT_HEIGHT), 1920);
    for (ULONG id : {CAMPROP_EX_TRIGGER, CAMPROP_CLOCK, CAMPROP_AGC, CAMPROP_AEC}) {
        EXPECT_EQ(Set(id, 77), STATUS_SUCCESS);
        EXPECT_EQ(Get(id), 0) << id;
    }
    EXPECT_EQ(Set(CAMPROP_RESERVED_47, 9), STATUS_SUCCESS);
    for (ULONG id :
         {CAMPROP_RESERVED_36, CAMPROP_RESERVED_46, CAMPROP_RESERVED_50, CAMPROP_RESERVED_54})
        EXPECT_EQ(Get(id), 0);
    // A constant answers even without a device behind the request.
    CAMPROP_VALUE_S d{};
    d.Property = {PROPSETID_NorvikControl, CAMPROP_HUE_MAX, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(GetConstantProperty(nullptr, &d.Property, &d), STATUS_SUCCESS);
    EXPECT_EQ(d.Value, 359);
    EXPECT_EQ(GetConstantProperty(nullptr, &d.Property, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(HandleCameraProperty(nullptr, &d.Property, &d), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(HandleProcessingProperty(nullptr, &d.Property, &d), STATUS_UNSUCCESSFUL);
}

TEST_F(Properties, WindowSetIsAcceptedButFrozenWhileAPinExists) {
    CAMPROP_WINDOW_S w{};
    w.Property = {PROPSETID_NorvikControl, CAMPROP_WINDOW, KSPROPERTY_TYPE_SET};
    w.SubSample = 3, w.X = 3, w.Y = 5, w.Width = 100, w.Height = 100;
    CAMPROP_WINDOW_S d = w;
    EXPECT_EQ(s.filter->Property(&w, sizeof w, &d, sizeof d), STATUS_SUCCESS);
    EXPECT_EQ(s.Camera().RoiX, 4);
    EXPECT_EQ(Get(CAMPROP_SUBSAMPLE), 0);
    auto pin = s.OpenPin(s.Format());
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(Get(CAMPROP_PIN_OPEN), 1);
    d.X = d.Y = d.Width = d.Height = 0;
    EXPECT_EQ(s.filter->Property(&d, sizeof d, &d, sizeof d), STATUS_SUCCESS);
    EXPECT_EQ(s.Camera().RoiW, 100);
}

TEST_F(Properties, SensorRegisterAndTheShadowThroughSelect) {
    CAMPROP_REGISTER_S r{};
    r.Property = {PROPSETID_NorvikControl, CAMPROP_SENSOR_REGISTER, KSPROPERTY_TYPE_SET};
    r.RegisterIndex = 32;
    r.RegisterValue = 5;
    CAMPROP_REGISTER_S d = r;
    EXPECT_EQ(s.filter->Property(&r, sizeof r, &d, sizeof d), STATUS_SUCCESS);
    EXPECT_EQ(s.Sim().SensorRegister(32), 5u);
    Set(CAMPROP_REGISTER_SELECT, 32);
    EXPECT_EQ(Get(CAMPROP_REGISTER_SELECT), 5);
    // A failed write reports failure, and the shadow keeps the value all the same.
    s.Sim().FailTransfers(0x01, 1, USBD_STATUS_XACT_ERROR);
    d = r;
    d.RegisterValue = 6;
    EXPECT_EQ(s.filter->Property(&r, sizeof r, &d, sizeof d), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Get(CAMPROP_REGISTER_SELECT), 6);
    Set(CAMPROP_REGISTER_SELECT, 5000);
    EXPECT_EQ(Get(CAMPROP_REGISTER_SELECT), 0);
    Set(CAMPROP_REGISTER_SELECT, 3);
    EXPECT_EQ(Get(CAMPROP_REGISTER_SELECT),
              0);  // the settings load wrote gain 0: register 3 holds 0
    NTSTATUS status;
    Get(CAMPROP_SENSOR_REGISTER, &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

TEST_F(Properties, RawCommandsByteForByte) {
    CAMPROP_BLOCK_S b{};
    for (int i = 0; i < 64; ++i) b.Bytes[i] = static_cast<UCHAR>(i + 1);
    for (LONG count : {100, 0, -5, 3}) {
        b.ByteCount = count;
        s.Sim().ClearRecord();
        EXPECT_EQ(Block(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_SET, &b), STATUS_SUCCESS);
        auto blocks = s.Sim().CommandBlocks();
        ASSERT_EQ(blocks.size(), 1u);
        std::vector<uint8_t> want(64, 0);
        want[0] = 0x40;
        LONG n = count > 63 ? 63 : count;
        for (LONG i = 0; i < n; ++i) want[1 + i] = static_cast<uint8_t>(i + 1);
        EXPECT_EQ(blocks[0], want) << count;
    }
    EXPECT_EQ(Block(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_GET, &b), STATUS_UNSUCCESSFUL);
    s.Sim().FailTransfers(0x01, 1, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(Block(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_SET, &b),
              STATUS_UNSUCCESSFUL);  // not sent: said so
}

TEST_F(Properties, CameraByteReadThroughSetThenGet) {
    s.Sim().SetMemory(0x0102, 0x99);
    CAMPROP_BLOCK_S b{};
    b.Address = 0x0102;
    EXPECT_EQ(Block(CAMPROP_CAMERA_BYTE, KSPROPERTY_TYPE_SET, &b), STATUS_SUCCESS);
    b.Address = 0x7777;  // a get's own address is not used
    EXPECT_EQ(Block(CAMPROP_CAMERA_BYTE, KSPROPERTY_TYPE_GET, &b), STATUS_SUCCESS);
    EXPECT_EQ(b.Bytes[0], 0x99);
    s.Sim().FailTransfers(0x82, 1, USBD_STATUS_XACT_ERROR);
    b.Bytes[0] = 0x11;
    EXPECT_EQ(Block(CAMPROP_CAMERA_BYTE, KSPROPERTY_TYPE_GET, &b), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b.Bytes[0], 0x11);
}

TEST_F(Properties, FailedExposureOrGainWriteIsReported) {
    s.Sim().FailTransfers(0x01, 1, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(Set(CAMPROP_EXPOSURE, 100), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Get(CAMPROP_EXPOSURE), 0);
    s.Sim().FailTransfers(0x01, 1, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(Set(CAMPROP_GLOBAL_GAIN, 100), STATUS_UNSUCCESSFUL);
}

TEST_F(Properties, GetsAreRefreshedFromARunningProcessor) {
    auto pin = s.OpenPin(s.Format());
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ImageProcessor* p = s.Camera().Processor;
    ASSERT_NE(p, nullptr);
    Set(CAMPROP_CONTRAST, 15);
    EXPECT_EQ(p->contrast, 15);
    InterlockedExchange(&p->redGain, 301);  // as the automatic balance would
    EXPECT_EQ(Get(CAMPROP_RED_GAIN), 301);
    EXPECT_EQ(s.Camera().RedGain, 301);  // and the device now holds it
    InterlockedExchange(&p->hue, 12);
    EXPECT_EQ(Get(CAMPROP_HUE), 12);
    pin->SetState(KSSTATE_STOP);
    EXPECT_EQ(Get(CAMPROP_RED_GAIN), 301);
}

}  // namespace

namespace {

// Every control with a range: both bounds and one value beyond each, through
// the property set and through the settings load, with what the device keeps
// and, for exposure and gain, what reaches the sensor.
struct ClampRow {
    const char* name;  // the registry value's name
    ULONG id;
    LONG low, high;
    bool unsignedValue;   // read as unsigned: -1 is the largest value
    bool ignoresOutside;  // a value outside is ignored, not clamped (the default stays)
    LONG (*kept)(CameraDevice&);
};

const ClampRow kClampRows[] = {
    {"Exposure", CAMPROP_EXPOSURE, 0, 1014, true, false,
     [](CameraDevice& c) { return static_cast<LONG>(c.Exposure); }},
    {"GlobalGain", CAMPROP_GLOBAL_GAIN, 0, 1023, true, false,
     [](CameraDevice& c) { return static_cast<LONG>(c.GlobalGain); }},
    {"Timeout", CAMPROP_TIMEOUT, 501, 9999, false, true,
     [](CameraDevice& c) { return static_cast<LONG>(c.Timeout); }},
    {"RedGain", CAMPROP_RED_GAIN, 1, 512, false, false, [](CameraDevice& c) { return c.RedGain; }},
    {"GreenGain", CAMPROP_GREEN_GAIN, 1, 512, false, false,
     [](CameraDevice& c) { return c.GreenGain; }},
    {"BlueGain", CAMPROP_BLUE_GAIN, 1, 512, false, false,
     [](CameraDevice& c) { return c.BlueGain; }},
    {"Brightness", CAMPROP_BRIGHTNESS, 0, 510, false, false,
     [](CameraDevice& c) { return c.Brightness; }},
    {"Contrast", CAMPROP_CONTRAST, 0, 20, false, false, [](CameraDevice& c) { return c.Contrast; }},
    {"Saturation", CAMPROP_SATURATION, 0, 20, false, false,
     [](CameraDevice& c) { return c.Saturation; }},
    {"Hue", CAMPROP_HUE, 0, 359, false, false, [](CameraDevice& c) { return c.Hue; }},
};

LONG ExpectedKept(const ClampRow& r, LONG v) {
    if (r.ignoresOutside && (v < r.low || v > r.high)) return 3000;
    if (r.unsignedValue && v < 0) return r.high;
    return std::min(std::max(v, r.low), r.high);
}

void ExpectSensorHolds(sim::SimulatedCamera& sim, const ClampRow& r, LONG kept) {
    if (r.id == CAMPROP_EXPOSURE) {
        const auto counted = static_cast<uint32_t>(1014 - kept);  // the sensor counts exposure down
        EXPECT_EQ(sim.SensorRegister(0xA0), counted & 0xFF) << kept;
        EXPECT_EQ(sim.SensorRegister(0xA1), 0x90u | (counted >> 8)) << kept;
    } else if (r.id == CAMPROP_GLOBAL_GAIN) {
        EXPECT_EQ(sim.SensorRegister(0x02), static_cast<uint32_t>(kept) & 0xFF) << kept;
        EXPECT_EQ(sim.SensorRegister(0x03), (static_cast<uint32_t>(kept) >> 8) & 3) << kept;
    }
}

TEST(ControlClamps, EveryControlAtAndBeyondBothBoundsThroughThePropertySet) {
    StreamingRig s;
    DriverTunables tunables;
    for (const ClampRow& r : kClampRows) {
        for (LONG v : {r.low - 1, r.low, r.high, r.high + 1}) {
            SCOPED_TRACE(std::string(r.name) + " = " + std::to_string(v));
            // From the default each time, so an ignored value shows as such.
            s.SetValue(CAMPROP_TIMEOUT, 3000);
            ASSERT_EQ(s.SetValue(r.id, v), STATUS_SUCCESS);
            const LONG want = ExpectedKept(r, v);
            EXPECT_EQ(r.kept(s.Camera()), want);
            EXPECT_EQ(s.GetValue(r.id), want);
            ExpectSensorHolds(s.Sim(), r, want);
        }
    }
}

TEST(ControlClamps, EveryControlAtAndBeyondBothBoundsThroughTheSettingsLoad) {
    DriverTunables tunables;
    for (const ClampRow& r : kClampRows) {
        for (LONG v : {r.low - 1, r.low, r.high, r.high + 1}) {
            SCOPED_TRACE(std::string(r.name) + " = " + std::to_string(v));
            kernel::registry::Reset();
            const auto u = static_cast<ULONG>(v);
            kernel::registry::SetValue(
                kernel::registry::CameraKeyPath(0) + "\\Settings", r.name,
                {REG_DWORD,
                 {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                  static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)}});
            CameraRig rig;
            ASSERT_EQ(rig.Device().Start(), STATUS_SUCCESS);
            const LONG want = ExpectedKept(r, v);
            EXPECT_EQ(r.kept(rig.Camera()), want);
            ExpectSensorHolds(rig.Sim(), r, want);
        }
    }
    kernel::registry::Reset();
}

}  // namespace
