// The conversion, every instruction set of it, held against the independent
// pixel oracle: all four patterns, the device's signed matrix, correction
// off, grey, the estimate, extreme settings, windows of every awkward size.
#include <gtest/gtest.h>

#include <random>

#include "tests/imaging/imaging_fixture.h"
#include "tests/support/pixel_oracle.h"

namespace {

oracle::Matrix FixedOf(const ImageProcessor* p) {
    oracle::Matrix m{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = p->fixedMatrix[i][j];
    return m;
}

struct Mode {
    const char* name;
    bool colour, correction, estimate, extreme;
};

TEST(PixelOracle, EveryInstructionSetGivesTheOraclesPixels) {
    const std::pair<int, int> sizes[] = {{64, 48}, {37, 23}, {16, 16}, {17, 9}, {8, 8},
                                         {7, 8},   {64, 4},  {5, 3},   {2, 2},  {150, 7}};
    const Mode modes[] = {
        {"colour", true, true, false, false},        {"correction off", true, false, false, false},
        {"grey", false, true, false, false},         {"estimate", true, true, true, false},
        {"grey estimate", false, true, true, false}, {"extreme", true, true, false, true}};
    std::mt19937 rng(7);
    int compared = 0;
    for (const KernelSet* isa : AvailableKernelSets()) {
        KernelChoice choice(isa);
        for (auto [w, h] : sizes)
            for (int phase : {0, 1, 2, 3})
                for (const Mode& mode : modes) {
                    SCOPED_TRACE(std::string(isa->name) + " " + std::to_string(w) + "x" +
                                 std::to_string(h) + " phase " + std::to_string(phase) + " " +
                                 mode.name);
                    // A pitch wider than the window, as in a raw frame.
                    const int pitch = w + 3;
                    std::vector<uint8_t> raw(static_cast<size_t>(pitch) * h);
                    for (auto& b : raw) b = static_cast<uint8_t>(rng());
                    Pipeline pipe(static_cast<ULONG>(w), static_cast<ULONG>(h));
                    SetBayerPhase(pipe.get(), phase);
                    SetColorEnable(pipe.get(), mode.colour);
                    SetColorCorrection(pipe.get(), mode.correction);
                    SetWhiteBalance(pipe.get(), mode.estimate);
                    const LONG gains[3] = {static_cast<LONG>(rng() % 400 + 1),
                                           static_cast<LONG>(rng() % 200 + 1),
                                           static_cast<LONG>(rng() % 300 + 1)};
                    SetRedGain(pipe.get(), gains[0]);
                    SetGreenGain(pipe.get(), gains[1]);
                    SetBlueGain(pipe.get(), gains[2]);
                    if (mode.extreme) {
                        SetContrast(pipe.get(), 20);
                        SetBrightness(pipe.get(), 510);
                        SetSaturation(pipe.get(), 20);
                        SetHue(pipe.get(), 77);
                    }
                    oracle::Settings s;
                    s.phase = phase;
                    s.red = gains[0], s.green = gains[1], s.blue = gains[2];
                    s.colour = mode.colour;
                    s.estimate = mode.estimate;
                    // The device's signed matrix as a literal; only the extreme
                    // settings take the processor's own (built, and tested, elsewhere).
                    s.matrix = mode.extreme      ? FixedOf(pipe.get())
                               : mode.correction ? oracle::kDefaultMatrix
                                                 : oracle::kIdentity;
                    auto want = oracle::Convert(raw, w, h, pitch, s);
                    pipe.Convert(raw, static_cast<ULONG>(pitch));
                    ASSERT_EQ(pipe.Output(), want.bgra);
                    if (mode.estimate) {
                        EXPECT_EQ(pipe->redGain, want.red);
                        EXPECT_EQ(pipe->greenGain, want.green);
                        EXPECT_EQ(pipe->blueGain, want.blue);
                    }
                    ++compared;
                }
    }
    EXPECT_EQ(compared, static_cast<int>(AvailableKernelSets().size()) * 10 * 4 * 6);
}

TEST(PixelOracle, AFullFrameAtTheDevicesDefaults) {
    std::vector<uint8_t> raw(2560 * 1920);
    std::mt19937 rng(11);
    for (auto& b : raw) b = static_cast<uint8_t>(rng() % 256);
    Pipeline pipe(2560, 1920);
    SetBayerPhase(pipe.get(), 2);
    pipe.Convert(raw, 2560);
    EXPECT_EQ(pipe.Output(), oracle::Convert(raw, 2560, 1920, 2560, oracle::Settings{}).bgra);
}

}  // namespace
