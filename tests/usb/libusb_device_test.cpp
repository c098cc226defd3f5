// The parts of the libusb device that need no attached camera: device
// names and the usbfs memory limit. The device itself is exercised through
// a real USB stack in the guest tests (tests/guest), and on a stand-in for
// the library in libusb_tests (libusb_backend_test.cpp).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "host/known_cameras.h"
#include "platform/usb/libusb/libusb_device.h"

namespace {

TEST(LibusbDeviceNames, ParsesUsbFormsAndLeavesOthers) {
    usb::UsbId id{};
    bool any = false;
    EXPECT_TRUE(usb::ParseUsbDeviceName("usb", &id, &any));
    EXPECT_TRUE(any);
    EXPECT_TRUE(usb::ParseUsbDeviceName("usb:4E56:2560", &id, &any));
    EXPECT_FALSE(any);
    EXPECT_EQ(id.vendor, 0x4E56);
    EXPECT_EQ(id.product, 0x2560);
    EXPECT_FALSE(usb::ParseUsbDeviceName("sim", &id, &any));
    EXPECT_FALSE(usb::ParseUsbDeviceName("usbcam", &id, &any));
    for (const char* bad :
         {"usb:", "usb:4e56", "usb:4e56:", "usb:4e56:2560x", "usb:10000:1", "usb:g:1", "usb@",
          "usb:4e56:2560@", "usb@1", "usb@1-x", "usb:4e56:2560@1-2@3"})
        EXPECT_THROW(usb::ParseUsbDeviceName(bad, &id, &any), std::invalid_argument) << bad;
    // The socket tells two identical cameras apart.
    std::string port;
    EXPECT_TRUE(usb::ParseUsbDeviceName("usb:4e56:2560@1-2.3", &id, &any, &port));
    EXPECT_EQ(port, "1-2.3");
    EXPECT_EQ(id.product, 0x2560);
    EXPECT_TRUE(usb::ParseUsbDeviceName("usb@3-1", &id, &any, &port));
    EXPECT_TRUE(any);
    EXPECT_EQ(port, "3-1");
    EXPECT_TRUE(usb::ParseUsbDeviceName("usb", &id, &any, &port));
    EXPECT_EQ(port, "");
}

TEST(LibusbDeviceNames, UsbfsLimitReadsMegabytes) {
    auto path =
        std::filesystem::temp_directory_path() / ("usbfs-limit-" + std::to_string(::getpid()));
    std::ofstream(path) << "16\n";
    EXPECT_EQ(usb::UsbfsMemoryLimit(path.string()), 16 * 1024 * 1024);
    std::ofstream(path) << "0\n";
    EXPECT_EQ(usb::UsbfsMemoryLimit(path.string()), 0);  // no limit
    std::ofstream(path) << "lots\n";
    EXPECT_EQ(usb::UsbfsMemoryLimit(path.string()), -1);
    std::filesystem::remove(path);
    EXPECT_EQ(usb::UsbfsMemoryLimit(path.string()), -1);
}

TEST(LibusbDeviceNames, OpeningAnAbsentCameraSaysSo) {
    try {
        usb::LibusbDevice::Open({{0x1234, 0x5678}});
        FAIL() << "opened a camera that is not attached";
    } catch (const usb::LibusbError& e) {
        EXPECT_NE(std::string(e.what()).find("1234:5678"), std::string::npos) << e.what();
    }
}

TEST(LibusbDeviceNames, TheUdevRuleCoversEveryKnownCamera) {
    std::ifstream in(NORVIK_UDEV_RULE);
    ASSERT_TRUE(in) << NORVIK_UDEV_RULE;
    std::string rules((std::istreambuf_iterator<char>(in)), {});
    for (const auto& id : host::KnownCameras()) {
        char match[96];
        std::snprintf(match, sizeof match, "ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\"",
                      id.vendor, id.product);
        EXPECT_NE(rules.find(match), std::string::npos) << match;
    }
}

// The programs named when the camera is held: read from a /proc-shaped tree.
TEST(LibusbDeviceHolders, NamesTheProcessesWithTheNodeOpen) {
    namespace fs = std::filesystem;
    const fs::path proc = fs::path(testing::TempDir()) / "holders-proc";
    fs::remove_all(proc);
    auto process = [&](const std::string& pid, const std::string& name,
                       const std::vector<std::string>& links) {
        fs::create_directories(proc / pid / "fd");
        std::ofstream(proc / pid / "comm") << name << "\n";
        for (size_t i = 0; i < links.size(); ++i)
            fs::create_symlink(links[i], proc / pid / "fd" / std::to_string(i));
    };
    process("101", "viewer", {"/dev/null", "/dev/bus/usb/001/004"});
    process("202", "other", {"/dev/bus/usb/001/005"});
    process(std::to_string(::getpid()), "self",
            {"/dev/bus/usb/001/004"});  // this process is not "another"
    process("303", "", {"/dev/bus/usb/001/004"});
    fs::create_directories(proc / "self" / "fd");
    fs::create_directories(proc / "404");  // no fd folder: not ours to read
    auto holders = usb::ProcessesHolding("/dev/bus/usb/001/004", proc.string());
    std::sort(holders.begin(), holders.end());
    EXPECT_EQ(holders, (std::vector<std::string>{"a program (pid 303)", "viewer (pid 101)"}));
    EXPECT_TRUE(usb::ProcessesHolding("/dev/bus/usb/009/009", proc.string()).empty());
    EXPECT_TRUE(usb::ProcessesHolding("/dev/bus/usb/001/004", (proc / "missing").string()).empty());
    fs::remove_all(proc);
}

}  // namespace
