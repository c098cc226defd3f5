// Settings persistence through the registry stand-in and its .reg file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "control/settings.h"
#include "platform/kernel/registry.h"
#include "tests/support/driver_tunables.h"
#include "tests/support/streaming_rig.h"
#include "usb/frame_transfer.h"

namespace {

namespace reg = kernel::registry;

std::string SettingsKey() {
    return reg::CameraKeyPath(0) + "\\Settings";
}

reg::Value Dword(ULONG v) {
    return {REG_DWORD,
            {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
             static_cast<uint8_t>(v >> 24)}};
}

ULONG Stored(const std::string& name) {
    auto values = reg::Values(SettingsKey());
    auto it = values.find(name);
    EXPECT_NE(it, values.end()) << name;
    if (it == values.end() || it->second.data.size() != 4) return 0xDEADBEEF;
    const auto& d = it->second.data;
    return d[0] | d[1] << 8 | d[2] << 16 | static_cast<ULONG>(d[3]) << 24;
}

std::string TempPath(const char* name) {
    const char* dir = std::getenv("NORVIK_TEST_ARTIFACTS");
    std::string base = dir ? dir : "/tmp";
    std::filesystem::create_directories(base);
    return base + "/" + name + "-" + std::to_string(::getpid()) + ".reg";
}

class Settings : public testing::Test {
  protected:
    void Store(const std::string& name, reg::Value v) {
        reg::SetValue(SettingsKey(), name, std::move(v));
    }
    // A settings load sets the driver-wide time-out too.
    DriverTunables tunables;
};

TEST_F(Settings, FirstLoadCreatesTheKeyAndTheFirstSaveFillsIt) {
    CameraRig rig;
    ASSERT_EQ(rig.Device().Start(), STATUS_SUCCESS);
    EXPECT_TRUE(reg::KeyExists(SettingsKey()));
    EXPECT_TRUE(reg::Values(SettingsKey()).empty());
    CameraDevice& c = rig.Camera();
    EXPECT_EQ(c.Timeout, 3000u);
    EXPECT_EQ(c.Brightness, 255);
    EXPECT_EQ(c.RoiW, 2560);
    EXPECT_TRUE(SaveSettings(&c));
    const char* order[] = {
        "Timeout",      "Exposure",        "GlobalGain", "FlipH",    "FlipV",      "ColorEnable",
        "WhiteBalance", "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
        "RedGain",      "GreenGain",       "BlueGain",   "AGC",      "AEC",        "Clock",
        "ExTrigger",    "SubSample",       "RoiX",       "RoiY",     "RoiW",       "RoiH"};
    std::string text = reg::ExportText();
    size_t at = text.find("[" + SettingsKey() + "]");
    ASSERT_NE(at, std::string::npos) << text;
    for (const char* name : order) {
        size_t next = text.find(std::string("\"") + name + "\"=dword:", at);
        ASSERT_NE(next, std::string::npos) << name;
        at = next;
    }
    EXPECT_NE(text.find("\"Timeout\"=dword:00000bb8"), std::string::npos);
    EXPECT_NE(text.find("\"RoiW\"=dword:00000a00"), std::string::npos);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
}

TEST_F(Settings, StopSavesTheSettingsOnItsOwn) {
    // No filter was ever opened or closed: the device's stop alone saves.
    CameraRig rig;
    ASSERT_EQ(rig.Device().Start(), STATUS_SUCCESS);
    rig.Camera().ApplyHue(123);
    rig.Camera().SetExposure(77);
    EXPECT_TRUE(reg::Values(SettingsKey()).empty());
    rig.Device().Stop();
    EXPECT_EQ(Stored("Hue"), 123u);
    EXPECT_EQ(Stored("Exposure"), 77u);
    EXPECT_EQ(reg::Values(SettingsKey()).size(), 24u);
}

TEST_F(Settings, StoredValuesFollowTheirRules) {
    Store("Timeout", Dword(9999));
    Store("Brightness", Dword(600));
    Store("Contrast", Dword(static_cast<ULONG>(-3)));
    Store("RedGain", Dword(0));
    Store("RoiX", Dword(101));
    Store("RoiY", Dword(1000));
    Store("RoiW", Dword(0));
    Store("RoiH", Dword(1920));
    Store("Clock", Dword(5));
    Store("Hue", reg::Value{REG_SZ, {'5', 0, 0, 0}});  // a string: default, never 53
    Store("Saturation", reg::Value{REG_BINARY, std::vector<uint8_t>(12, 1)});  // too long: default
    Store("GreenGain", reg::Value{REG_BINARY, {7, 0}});                        // too short: default
    Store("FlipV", Dword(1));
    CameraRig rig;
    rig.Device().Start();
    CameraDevice& c = rig.Camera();
    EXPECT_EQ(c.Timeout, 9999u);
    EXPECT_EQ(FrameTimeoutMs(), 9999u);
    EXPECT_EQ(c.Brightness, 510);
    EXPECT_EQ(c.Contrast, 0);
    EXPECT_EQ(c.RedGain, 1);
    EXPECT_EQ(c.RoiX, 102);
    EXPECT_EQ(c.RoiY, 1000);
    EXPECT_EQ(c.RoiW, 2560 - 102);
    EXPECT_EQ(c.RoiH, 920);
    EXPECT_EQ(c.Clock, 0);
    EXPECT_EQ(c.Hue, 0);
    EXPECT_EQ(c.Saturation, 10);
    EXPECT_EQ(c.GreenGain, 128);
    EXPECT_EQ(c.FlipV, 1);
    SaveSettings(&c);
    EXPECT_EQ(Stored("Clock"), 0u);
    EXPECT_EQ(Stored("RoiW"), 2458u);  // the window size, not the 8-aligned output width
}

TEST_F(Settings, TimeOutsOutsideTheirRangeAreIgnored) {
    for (ULONG t : {500u, 10000u, 501u}) {
        DriverTunables fromTheDefault;
        reg::Reset();
        Store("Timeout", Dword(t));
        Store("RoiX", Dword(2560));
        Store("RoiW", Dword(static_cast<ULONG>(-1)));
        CameraRig rig;
        rig.Device().Start();
        EXPECT_EQ(rig.Camera().Timeout, t == 501 ? 501u : 3000u) << t;
        EXPECT_EQ(rig.Camera().RoiX, 0);
        EXPECT_EQ(rig.Camera().RoiW, 2560);
    }
}

TEST_F(Settings, ExposureTheCameraRefusedIsKeptForTheNextSave) {
    Store("Exposure", Dword(300));
    Store("GlobalGain", Dword(700));
    CameraRig rig;
    // The sensor writes fail from the start on: sequence, exposure, gain.
    rig.Sim().FailTransfers(0x01, 1000, USBD_STATUS_XACT_ERROR);
    rig.Device().Start();
    EXPECT_EQ(rig.Camera().Exposure, 300u);
    EXPECT_EQ(rig.Camera().GlobalGain, 700u);
    SaveSettings(&rig.Camera());
    EXPECT_EQ(Stored("Exposure"), 300u);
    EXPECT_EQ(Stored("GlobalGain"), 700u);
    rig.Sim().FailTransfers(0x01, 0, USBD_STATUS_XACT_ERROR);
}

TEST_F(Settings, UnopenableKeyLoadsAndSavesNothing) {
    CameraRig rig;
    reg::FailOpens(1);
    EXPECT_FALSE(LoadSettings(&rig.Camera()));
    reg::FailOpens(2);
    EXPECT_FALSE(SaveSettings(&rig.Camera()));  // the driver key opens, the subkey does not
    EXPECT_TRUE(reg::Values(SettingsKey()).empty());
}

TEST_F(Settings, FilterCloseSavesEvenWithoutAPinAndTwiceTheSame) {
    std::string path = TempPath("close");
    std::filesystem::remove(path);
    reg::Load(path);
    {
        StreamingRig s;
        s.SetValue(CAMPROP_HUE, 42);
        s.filter.reset();
        std::ifstream in(path);
        std::string first((std::istreambuf_iterator<char>(in)), {});
        EXPECT_NE(first.find("\"Hue\"=dword:0000002a"), std::string::npos) << first;
        NTSTATUS st;
        s.filter = ks::Filter::Open(s.rig.Device(), u"GLOBAL", &st);
        s.filter.reset();
        std::ifstream again(path);
        std::string second((std::istreambuf_iterator<char>(again)), {});
        EXPECT_EQ(first, second);
    }
    std::filesystem::remove(path);
}

TEST_F(Settings, SurviveARemoveAndReAddThroughTheFile) {
    std::string path = TempPath("survive");
    std::filesystem::remove(path);
    reg::Load(path);
    {
        StreamingRig s;
        s.SetValue(CAMPROP_EXPOSURE, 64);
        s.SetValue(CAMPROP_BRIGHTNESS, 300);
        s.SetValue(CAMPROP_FLIP_H, 1);
    }  // filter closed, device stopped and removed: saved
    reg::Reset();
    reg::Load(path);  // as a new run would
    CameraRig rig;
    rig.Device().Start();
    EXPECT_EQ(rig.Camera().Exposure, 64u);
    EXPECT_EQ(rig.Camera().Brightness, 300);
    EXPECT_EQ(rig.Camera().FlipH, 1);
    EXPECT_EQ(rig.Sim().SensorRegister(0xA0), 0xB6u);  // the stored exposure reached the sensor
    std::filesystem::remove(path);
}

// Saving the settings lays this camera's changed keys over the file as it is
// at the save, not as it was when the camera loaded it: what another process
// wrote there meanwhile (another camera's settings, its comments) stays, and
// so do the file's own comments.
TEST_F(Settings, ASaveKeepsWhatAnotherProcessWroteIntoTheFileMeanwhile) {
    const std::string path = TempPath("meanwhile");
    const std::string mine = reg::CameraKeyPath(0), other = reg::CameraKeyPath(1);
    auto write = [&](const std::string& text) {  // whole, as a process that saves does
        { std::ofstream(path + ".new", std::ios::binary) << text; }
        std::filesystem::rename(path + ".new", path);
    };
    const std::string loaded =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; the cameras of this machine\r\n[" +
        mine + "\\Settings]\r\n\"Hue\"=dword:00000005\r\n\r\n";
    write(loaded);
    struct Unbind {
        std::string key;
        ~Unbind() { reg::Unbind(key); }
    } unbind{mine};
    reg::Bind(mine, path);
    CameraRig rig;
    ASSERT_EQ(rig.Device().Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Camera().Hue, 5);
    // While the camera is open, another process saves the settings of the
    // camera in another socket into the same file.
    const std::string otherKey = "; the camera in the other socket\r\n[" + other +
                                 "\\Settings]\r\n\"Hue\"=dword:00000063\r\n"
                                 "\"Exposure\"=dword:00000040\r\n";
    write(loaded + otherKey + "\r\n; kept by hand\r\n");
    rig.Camera().ApplyHue(123);
    rig.Device().Stop();  // saves
    EXPECT_EQ(reg::TakeSaveError(mine), "");
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find(otherKey), std::string::npos) << text;
    EXPECT_NE(text.find("; the cameras of this machine\r\n[" + mine + "\\Settings]"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("; kept by hand"), std::string::npos) << text;
    const size_t at = text.find("[" + mine + "\\Settings]");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find("\"Hue\"=dword:0000007b", at), std::string::npos) << text;
    EXPECT_EQ(text.find("[" + mine + "\\Settings]", at + 1), std::string::npos) << text;
    std::filesystem::remove(path);
}

TEST(RegistryFile, GarbledFileIsReportedWithItsLineAndNeverOverwritten) {
    std::string path = TempPath("garbled");
    const std::string text =
        "Windows Registry Editor Version "
        "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=dword:00000001\r\n\"B\"=dword:12\r\n";
    { std::ofstream(path, std::ios::binary) << text; }
    try {
        reg::Load(path);
        FAIL() << "a garbled file loaded";
    } catch (const reg::ParseError& e) {
        EXPECT_EQ(e.line, 5);
        EXPECT_NE(std::string(e.what()).find(":5:"), std::string::npos) << e.what();
    }
    reg::SetValue("HKEY_LOCAL_MACHINE\\Y", "C", Dword(2));
    EXPECT_THROW(reg::Save(), std::runtime_error);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), text);
    std::filesystem::remove(path);
}

TEST(RegistryFile, ReadsTheFormsOfARegistryExport) {
    std::string path = TempPath("forms");
    {
        std::ofstream(path, std::ios::binary)
            << "Windows Registry Editor Version 5.00\n\n; a comment\n"
               "[HKEY_LOCAL_MACHINE\\K]\n\"D\"=dword:0000000a\n\"S\"=\"a \\\"q\\\"\"\n"
               "\"B\"=hex:01,02,\\\n  03\n\"E\"=hex(2):41,00,00,00\n";
    }
    reg::Load(path);
    auto v = reg::Values("HKEY_LOCAL_MACHINE\\k");  // keys are case-insensitive
    EXPECT_EQ(v["D"].data, (std::vector<uint8_t>{10, 0, 0, 0}));
    EXPECT_EQ(v["S"].type, REG_SZ);
    EXPECT_EQ(v["S"].data.size(), 12u);  // a "q" in UTF-16 with its terminator
    EXPECT_EQ(v["B"].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(v["E"].type, REG_EXPAND_SZ);
    reg::Save();  // and writes them back the same way
    reg::Load(path);
    EXPECT_EQ(reg::Values("HKEY_LOCAL_MACHINE\\K")["B"].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(reg::Values("HKEY_LOCAL_MACHINE\\K")["S"].data, v["S"].data);
    std::filesystem::remove(path);
    reg::Reset();
}

TEST(RegistryFile, QueryStatusesForLongAndMissingValues) {
    kernel::registry::SetDriverKeyPath(reinterpret_cast<PDEVICE_OBJECT>(0x1000),
                                       "HKEY_LOCAL_MACHINE\\Q");
    reg::SetValue("HKEY_LOCAL_MACHINE\\Q", "Long",
                  reg::Value{REG_BINARY, std::vector<uint8_t>(12, 0)});
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(reinterpret_cast<PDEVICE_OBJECT>(0x1000),
                                      PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &key),
              STATUS_SUCCESS);
    ULONG v = 7;
    EXPECT_EQ(QueryDwordValue(key, u"Long", &v), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(QueryDwordValue(key, u"Missing", &v), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(v, 7u);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Long");
    UCHAR tiny[4];
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, tiny, sizeof tiny, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 24u);
    ZwClose(key);
}

}  // namespace
