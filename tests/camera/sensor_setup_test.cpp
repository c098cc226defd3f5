// The sensor start-up sequence and the mode set-up, block by block.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/camera_rig.h"

namespace {

using Kind = sim::Exchange::Kind;

// One expected exchange: a 64-byte block to the command pipe, or a pause.
struct Expected {
    bool pause;
    std::vector<uint8_t> block;
    int64_t interval;
    std::string line;
};

// A golden file: "sensor R V", "controller R V", "mode A B" and "pause N"
// lines, the blocks built here from the camera's command layout (code 0x04,
// form 0x20 or 0x30, 0xFE, index and value least significant byte first;
// 0x25 register value; the mode block's two bytes), not by the driver's code.
std::vector<Expected> ReadGolden(const std::string& name) {
    std::ifstream in(std::string(NORVIK_TEST_DATA) + "/" + name);
    EXPECT_TRUE(in) << name;
    std::vector<Expected> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        Expected e{kind == "pause", std::vector<uint8_t>(64, 0), 0, line};
        if (e.pause) {
            words >> e.interval;
        } else {
            std::string a, b;
            words >> a >> b;
            const unsigned long r = std::stoul(a, nullptr, 16), v = std::stoul(b, nullptr, 16);
            if (kind == "sensor") {
                e.block[0] = 0x04;
                e.block[1] = r < 256 ? 0x20 : 0x30;
                e.block[2] = 0xFE;
                e.block[3] = static_cast<uint8_t>(r);
                e.block[4] = static_cast<uint8_t>(r >> 8);
                e.block[5] = static_cast<uint8_t>(v);
                e.block[6] = static_cast<uint8_t>(v >> 8);
                e.block[7] = static_cast<uint8_t>(v >> 16);
            } else if (kind == "controller") {
                e.block[0] = 0x25;
                e.block[1] = static_cast<uint8_t>(r);
                e.block[2] = static_cast<uint8_t>(v);
            } else {
                EXPECT_EQ(kind, "mode") << line;
                e.block[0] = static_cast<uint8_t>(r);
                e.block[1] = static_cast<uint8_t>(v);
            }
        }
        out.push_back(e);
    }
    return out;
}

// The record's blocks and pauses against a golden file, entry by entry.
void ExpectExchanges(const std::vector<sim::Exchange>& record,
                     const std::vector<Expected>& golden) {
    std::vector<const sim::Exchange*> seen;
    for (const auto& e : record)
        if (e.kind == Kind::Pause || e.kind == Kind::Out) seen.push_back(&e);
    ASSERT_EQ(seen.size(), golden.size());
    for (size_t i = 0; i < golden.size(); ++i) {
        const Expected& want = golden[i];
        if (want.pause) {
            ASSERT_EQ(seen[i]->kind, Kind::Pause) << "entry " << i << ": " << want.line;
            ASSERT_EQ(seen[i]->interval, want.interval) << "entry " << i << ": " << want.line;
        } else {
            ASSERT_EQ(seen[i]->kind, Kind::Out) << "entry " << i << ": " << want.line;
            ASSERT_EQ(seen[i]->data, want.block) << "entry " << i << ": " << want.line;
        }
    }
}

TEST(SensorSetupGolden, TheWholeStartUpSequenceWriteByWrite) {
    CameraRig rig;
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    rig.Sim().ClearRecord();
    EXPECT_TRUE(rig.Camera().InitializeSensor());
    auto golden = ReadGolden("startup_sequence.txt");
    ASSERT_EQ(
        std::count_if(golden.begin(), golden.end(), [](const Expected& e) { return !e.pause; }),
        388);
    ExpectExchanges(rig.Sim().Record(), golden);
}

TEST(SensorSetupGolden, TheRunStartAfterTheSequence) {
    CameraRig rig;
    ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
    rig.Camera().SensorInitCount = 2;  // both runs of the sequence are spent
    rig.Camera().Exposure = 64;
    rig.Camera().GlobalGain = 512;
    rig.Sim().ClearRecord();
    EXPECT_TRUE(rig.Camera().PrepareCapture());
    ExpectExchanges(rig.Sim().Record(), ReadGolden("run_start_sequence.txt"));
}

using SensorSetup = ConfiguredCamera;

TEST_F(SensorSetup, SequenceIs388WritesWithItsPauses) {
    EXPECT_TRUE(C().InitializeSensor());
    auto record = rig.Sim().Record();
    std::vector<sim::Exchange> blocks, pauses;
    for (auto& e : record) (e.kind == Kind::Pause ? pauses : blocks).push_back(e);
    ASSERT_EQ(blocks.size(), 388u);
    // 0x80 = 0x09, then 800 us, then a 20 us pause after every write.
    EXPECT_EQ(blocks[0].data[3], 0x80);
    EXPECT_EQ(blocks[0].data[5], 0x09);
    EXPECT_EQ(record[1].interval, -200);
    EXPECT_EQ(record[2].interval, -8000);
    EXPECT_EQ(pauses.size(), 389u);
    for (int r = 0; r < 256; ++r) {
        ASSERT_EQ(blocks[1 + r].data[1], 0x20);
        ASSERT_EQ(blocks[1 + r].data[3], r);
    }
    EXPECT_EQ(blocks[1 + 0x0F].data[5], 0x1C);
    EXPECT_EQ(blocks[1 + 0xAB].data[5], 0x80);
    EXPECT_EQ(blocks[1 + 0x40].data[5], 0x00);
    // The 16-bit-index runs: first 0x8000 = 0x840001, last 0x880C = 0x6473D9.
    EXPECT_EQ(blocks[257].data,
              (std::vector<uint8_t>{0x04, 0x30, 0xFE, 0x00, 0x80, 0x01, 0x00, 0x84, 0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0}));
    EXPECT_EQ(rig.Sim().SensorRegister(0x880C), 0x6473D9u);
    EXPECT_EQ(rig.Sim().SensorRegister(0x826A), 0xC00B4Eu);
    EXPECT_FALSE(rig.Sim().SensorRegister(0x8010).has_value());  // between the runs: untouched
    EXPECT_FALSE(rig.Sim().SensorRegister(0x8264).has_value());
    EXPECT_EQ(blocks[387].data[3], 0x80);
    EXPECT_EQ(blocks[387].data[5], 0x89);
    size_t sixteenBit = 0;
    for (auto& [index, v] : rig.Sim().SensorRegisters()) sixteenBit += index >= 0x8000;
    EXPECT_EQ(sixteenBit, 130u);
}

TEST_F(SensorSetup, ShadowHoldsTableAAndNothingAbove255) {
    C().InitializeSensor();
    EXPECT_EQ(C().RegisterShadow[0x80], 0x89);  // the last value written
    EXPECT_EQ(C().RegisterShadow[0x00], 0x80);
    EXPECT_EQ(C().RegisterShadow[0x02], 0x80);
    EXPECT_EQ(C().RegisterShadow[0x03], 0x02);
    EXPECT_EQ(C().RegisterShadow[0xA0], 0);
    EXPECT_EQ(C().RegisterShadow[0x9B], 0x80);
    for (int i = 256; i < 1024; ++i) ASSERT_EQ(C().RegisterShadow[i], 0) << i;
}

TEST_F(SensorSetup, RunsAtMostTwiceEvenWhenTheCameraIsGone) {
    rig.Sim().SurpriseRemove();
    EXPECT_TRUE(C().InitializeSensor());
    EXPECT_EQ(C().SensorInitCount, 1);
    EXPECT_TRUE(C().InitializeSensor());
    EXPECT_TRUE(C().InitializeSensor());
    EXPECT_EQ(C().SensorInitCount, 2);
}

std::vector<std::vector<uint8_t>> Heads(const std::vector<std::vector<uint8_t>>& blocks, size_t n) {
    std::vector<std::vector<uint8_t>> out;
    for (auto& b : blocks) out.emplace_back(b.begin(), b.begin() + n);
    return out;
}

TEST_F(SensorSetup, PrepareCaptureFirstSecondAndLater) {
    C().Exposure = 64;
    C().GlobalGain = 512;
    C().InitializeSensor();  // as PnP start does
    rig.Sim().ClearRecord();
    C().PrepareCapture();  // the second run of the sequence, then the mode
    auto first = rig.Sim().CommandBlocks();
    ASSERT_EQ(first.size(), 388u + 10u);
    const std::vector<std::vector<uint8_t>> mode = {{0x25, 0x00, 0x00},
                                                    {0x25, 0x01, 0x40},
                                                    {0x25, 0x02, 0x51},
                                                    {0x25, 0x03, 0x00},
                                                    {0x0A, 0x01, 0x00},
                                                    {0x25, 0x0E, 0x00},
                                                    {0x04, 0x20, 0xFE, 0xA0, 0x00, 0xB6},
                                                    {0x04, 0x20, 0xFE, 0xA1, 0x00, 0x93},
                                                    {0x04, 0x20, 0xFE, 0x02, 0x00, 0x00},
                                                    {0x04, 0x20, 0xFE, 0x03, 0x00, 0x02}};
    auto tail = std::vector<std::vector<uint8_t>>(first.end() - 10, first.end());
    for (size_t i = 0; i < mode.size(); ++i)
        EXPECT_EQ(std::vector<uint8_t>(tail[i].begin(), tail[i].begin() + mode[i].size()), mode[i])
            << i;
    // 80 us after each controller write of the mode set-up.
    int controllerPauses = 0;
    for (auto& e : rig.Sim().Record())
        controllerPauses += e.kind == Kind::Pause && e.interval == -800;
    EXPECT_EQ(controllerPauses, 5);

    rig.Sim().ClearRecord();
    C().BayerPhase = 0;
    EXPECT_TRUE(C().PrepareCapture());  // the result of the gain write
    auto later = rig.Sim().CommandBlocks();
    ASSERT_EQ(later.size(), 10u);
    EXPECT_EQ(Heads(later, 3)[0], (std::vector<uint8_t>{0x25, 0x00, 0x00}));
    EXPECT_EQ(C().BayerPhase, 2);
    EXPECT_EQ(C().RawFrameSize, 5324800u);
    EXPECT_EQ(C().RawPitch, 2560u);
    EXPECT_EQ(C().RawDataOffset, 0u);
}

}  // namespace
