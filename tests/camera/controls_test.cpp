// Camera controls: register encodings at the simulated camera, clamps, and
// the mirroring into the ImageProcessor.
#include <gtest/gtest.h>

#include "imaging/image_processor.h"
#include "tests/support/camera_rig.h"
#include "tests/support/driver_tunables.h"
#include "usb/frame_transfer.h"

namespace {

class Controls : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
        rig.Sim().RecordPauses(false);
        rig.Sim().ClearRecord();
    }
    void TearDown() override {
        if (C().Processor != nullptr) {
            FreeImageProcessor(C().Processor);
            C().Processor = nullptr;
        }
    }
    CameraDevice& C() { return rig.Camera(); }
    // (register, value) of every sensor write since the record was cleared.
    std::vector<std::pair<int, int>> SensorWrites() {
        std::vector<std::pair<int, int>> w;
        for (const auto& b : rig.Sim().CommandBlocks())
            if (b[0] == 0x04) w.emplace_back(b[3] | b[4] << 8, b[5]);
        rig.Sim().ClearRecord();
        return w;
    }
    CameraRig rig;
    // After the rig: a time-out a test sets is undone before the camera goes.
    DriverTunables tunables;
};

TEST_F(Controls, ExposureCountsDownInTheSensor) {
    using W = std::vector<std::pair<int, int>>;
    EXPECT_TRUE(C().SetExposure(0));
    EXPECT_EQ(SensorWrites(), (W{{0xA0, 0xF6}, {0xA1, 0x93}}));
    EXPECT_TRUE(C().SetExposure(64));
    EXPECT_EQ(SensorWrites(), (W{{0xA0, 0xB6}, {0xA1, 0x93}}));
    EXPECT_EQ(C().Exposure, 64u);
    EXPECT_TRUE(C().SetExposure(2000));
    EXPECT_EQ(SensorWrites(), (W{{0xA0, 0x00}, {0xA1, 0x90}}));
    EXPECT_EQ(C().Exposure, 1014u);
}

TEST_F(Controls, GainIsTenBitsOverTwoRegisters) {
    using W = std::vector<std::pair<int, int>>;
    EXPECT_TRUE(C().SetGlobalGain(512));
    EXPECT_EQ(SensorWrites(), (W{{2, 0x00}, {3, 0x02}}));
    for (ULONG v : {5000u, static_cast<ULONG>(-1)}) {
        EXPECT_TRUE(C().SetGlobalGain(v));
        EXPECT_EQ(SensorWrites(), (W{{2, 0xFF}, {3, 0x03}}));
        EXPECT_EQ(C().GlobalGain, 1023u);
    }
}

TEST_F(Controls, FailedRegisterWriteKeepsTheOldValueButTriesBoth) {
    C().SetGlobalGain(100);
    rig.Sim().ClearRecord();
    rig.Sim().FailTransfers(0x01, 1, USBD_STATUS_XACT_ERROR);
    EXPECT_FALSE(C().SetGlobalGain(200));
    EXPECT_EQ(C().GlobalGain, 100u);
    EXPECT_EQ(rig.Sim().CommandBlocks().size(), 2u);  // both were attempted
}

TEST_F(Controls, ProcessingControlsClamp) {
    C().ApplyColorGain(ColorChannel::Red, 0);
    C().ApplyColorGain(ColorChannel::Blue, 600);
    C().ApplyHue(360);
    C().ApplyBrightness(-5);
    C().ApplyContrast(99);
    C().ApplySaturation(-1);
    EXPECT_EQ(C().RedGain, 1);
    EXPECT_EQ(C().BlueGain, 512);
    EXPECT_EQ(C().Hue, 359);
    EXPECT_EQ(C().Brightness, 0);
    EXPECT_EQ(C().Contrast, 20);
    EXPECT_EQ(C().Saturation, 0);
    EXPECT_TRUE(rig.Sim().CommandBlocks().empty());  // nothing goes to the camera
}

TEST_F(Controls, MirrorIntoTheProcessorAndRebuildOnlyOnChange) {
    C().Processor = CreateImageProcessor();
    ImageProcessor* p = C().Processor;
    C().ApplyBrightness(300);
    EXPECT_EQ(p->brightness, 300);
    EXPECT_EQ(p->fixedMatrix[3][0], 45 * 64);
    p->fixedMatrix[0][0] = 999;  // a rebuild would overwrite this
    C().ApplyBrightness(300);
    EXPECT_EQ(p->fixedMatrix[0][0], 999);
    EXPECT_EQ(C().Brightness, 300);
    C().ApplyColorEnable(0);
    C().ApplyColorGain(ColorChannel::Green, 77);
    EXPECT_EQ(p->colorEnable, 0);
    EXPECT_EQ(p->greenGain, 77);
}

TEST_F(Controls, WhiteBalanceOffCopiesTheProcessorsGainsBack) {
    C().ApplyWhiteBalance(0);  // no processor: only the field
    EXPECT_EQ(C().WhiteBalance, 0);
    EXPECT_EQ(C().RedGain, 128);
    C().Processor = CreateImageProcessor();
    C().ApplyWhiteBalance(1);
    EXPECT_EQ(C().Processor->whiteBalance, 1);
    C().Processor->redGain = 210;
    C().Processor->blueGain = 99;
    C().ApplyWhiteBalance(0);
    EXPECT_EQ(C().RedGain, 210);
    EXPECT_EQ(C().GreenGain, 128);
    EXPECT_EQ(C().BlueGain, 99);
}

TEST_F(Controls, FlipsTimeOutAndBayerPhase) {
    C().ApplyFlip(Axis::Horizontal, 1);
    C().ApplyFlip(Axis::Vertical, 7);
    EXPECT_EQ(C().GetFlipH(), 1);
    EXPECT_EQ(C().GetFlipV(), 7);
    C().SetTimeout(501);
    EXPECT_EQ(C().Timeout, 501u);
    EXPECT_EQ(FrameTimeoutMs(), 501u);
    C().BayerPhase = 0;
    C().ResetBayerPhase();
    EXPECT_EQ(C().BayerPhase, 2);
}

TEST_F(Controls, ReadCameraByteSendsTheAddressHighByteFirst) {
    rig.Sim().SetMemory(0x1234, 0xC3);
    C().RegisterReadIndex = 0x1234;
    UCHAR byte = 0;
    C().ReadCameraByte(&byte);
    EXPECT_EQ(byte, 0xC3);
    auto blocks = rig.Sim().CommandBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    std::vector<uint8_t> want(64, 0);
    want[0] = 0x41, want[1] = 0x51, want[2] = 0x02, want[3] = 0x01, want[4] = 0x12, want[5] = 0x34;
    EXPECT_EQ(blocks[0], want);
    C().ReadCameraByte(nullptr);  // no destination: read and dropped
}

TEST_F(Controls, ReadCameraByteLeavesTheDestinationOnFailure) {
    rig.Sim().FailTransfers(0x82, 1, USBD_STATUS_XACT_ERROR);
    UCHAR byte = 0x77;
    C().ReadCameraByte(&byte);
    EXPECT_EQ(byte, 0x77);
}

// The failed read left its second reply queued in the camera: the reads
// after it still return each its own byte, not the one before.
TEST_F(Controls, AFailedByteReadDoesNotShiftTheBytesReadAfterIt) {
    rig.Sim().FailTransfers(0x82, 1, USBD_STATUS_XACT_ERROR);
    UCHAR byte = 0;
    EXPECT_FALSE(C().ReadCameraByte(&byte));
    for (UCHAR k = 0; k < 4; ++k) {
        const uint16_t address = 0x2000 + k;
        rig.Sim().SetMemory(address, static_cast<uint8_t>(0xA0 + k));
        C().RegisterReadIndex = address;
        ASSERT_TRUE(C().ReadCameraByte(&byte));
        EXPECT_EQ(byte, 0xA0 + k) << "read " << int(k);
    }
}

}  // namespace
