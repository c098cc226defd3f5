// The USB trace: a usbmon pcap of what crossed the bus, as tshark reads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/camera_stack.h"
#include "platform/usb/bus_driver.h"
#include "tests/support/camera_rig.h"

namespace {

std::string TracePath(const char* name) {
    const char* dir = std::getenv("NORVIK_TEST_ARTIFACTS");
    std::string base = dir != nullptr ? dir : "/tmp";
    std::filesystem::create_directories(base);
    return base + "/" + name + "-" + std::to_string(::getpid()) + ".pcap";
}

// The simulated camera added on a bus that traces into `path`.
std::unique_ptr<host::CameraStack> AddedCamera(const std::string& path) {
    host::StackOptions o;
    o.stage = host::Stage::Added;
    o.simulatedFps = 0;
    o.record = true;
    o.tracePath = path;
    o.keyPath = kernel::registry::CameraKeyPath(0);
    return host::CameraStack::Open(std::move(o));
}

struct Record {
    char type;
    uint8_t transfer, endpoint;
    int32_t status;
    uint32_t length, captured;
    std::vector<uint8_t> setup, data;
};

std::vector<Record> ReadTrace(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<Record> out;
    EXPECT_GE(bytes.size(), 24u);
    uint32_t magic, network;
    std::memcpy(&magic, bytes.data(), 4);
    std::memcpy(&network, bytes.data() + 20, 4);
    EXPECT_EQ(magic, 0xA1B2C3D4u);
    EXPECT_EQ(network, 220u);
    for (size_t at = 24; at + 16 <= bytes.size();) {
        uint32_t captured;
        std::memcpy(&captured, bytes.data() + at + 8, 4);
        const uint8_t* h = bytes.data() + at + 16;
        Record r;
        r.type = static_cast<char>(h[8]);
        r.transfer = h[9];
        r.endpoint = h[10];
        std::memcpy(&r.status, h + 28, 4);
        std::memcpy(&r.length, h + 32, 4);
        std::memcpy(&r.captured, h + 36, 4);
        r.setup.assign(h + 40, h + 48);
        r.data.assign(h + 64, h + 64 + r.captured);
        EXPECT_EQ(captured, 64 + r.captured);
        out.push_back(r);
        at += 16 + captured;
    }
    return out;
}

TEST(UsbTraceTest, ConfigurationAndBlocksAreRecordedAsUsbmon) {
    std::string path = TracePath("configure");
    {
        auto stack = AddedCamera(path);
        CameraDevice& c = stack->Camera();
        ASSERT_EQ(c.ProbeDeviceDescriptor(), STATUS_SUCCESS);
        ASSERT_EQ(c.ConfigureDevice(), STATUS_SUCCESS);
        c.WriteControllerRegister(3, 4);
        c.DeconfigureDevice();
        EXPECT_EQ(stack->Close(), "");
    }
    auto records = ReadTrace(path);
    ASSERT_EQ(records.size(),
              12u);  // three descriptor reads, two selects, one block: submit + complete each
    EXPECT_EQ(records[0].type, 'S');
    EXPECT_EQ(records[0].transfer, 2);  // control
    EXPECT_EQ(records[0].setup,
              (std::vector<uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
    EXPECT_EQ(records[1].type, 'C');
    EXPECT_EQ(records[1].status, 0);
    EXPECT_EQ(records[1].length, 18u);
    EXPECT_EQ(records[1].data[0], 18);
    EXPECT_EQ(records[6].setup[1], 0x09);  // SET_CONFIGURATION 1
    EXPECT_EQ(records[6].setup[2], 1);
    EXPECT_EQ(records[8].transfer, 3);  // bulk
    EXPECT_EQ(records[8].endpoint, 0x01);
    EXPECT_EQ(records[8].data.size(), 64u);
    EXPECT_EQ(records[8].data[0], 0x25);
    EXPECT_EQ(records[10].setup[2], 0);  // unconfigured
    std::filesystem::remove(path);
}

TEST(UsbTraceTest, TsharkListsTheRequests) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    std::string path = TracePath("tshark");
    {
        auto stack = AddedCamera(path);
        CameraDevice& c = stack->Camera();
        c.ProbeDeviceDescriptor();
        c.ConfigureDevice();
        c.DeconfigureDevice();
        EXPECT_EQ(stack->Close(), "");
    }
    std::string out = path + ".txt";
    ASSERT_EQ(std::system(("tshark -r " + path + " > " + out + " 2>&1").c_str()), 0);
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("GET DESCRIPTOR Request DEVICE"), std::string::npos) << text;
    EXPECT_NE(text.find("GET DESCRIPTOR Response CONFIGURATION"), std::string::npos) << text;
    EXPECT_NE(text.find("SET CONFIGURATION"), std::string::npos) << text;
    std::filesystem::remove(path);
    std::filesystem::remove(out);
}

TEST(UsbTraceTest, UnwritableTracePathIsAClearError) {
    sim::SimulatedCamera camera;
    try {
        usb::BusDriver bus(camera, "/nonexistent-dir/trace.pcap");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/trace.pcap"), std::string::npos);
    }
}

}  // namespace
