// The conversion kernels: every set this processor runs (SSE2 and the wide
// ones) against the scalar reference bit for bit, and the reference against
// pixels computed by hand from the filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

#include "imaging/bayer.h"
#include "tests/imaging/imaging_fixture.h"

namespace {

// The interpolation filters as weight tables, centre at [2][2].
using Filter = int[5][5];
const Filter kGreenAtRB = {
    {0, 0, -1, 0, 0}, {0, 0, 2, 0, 0}, {-1, 2, 4, 2, -1}, {0, 0, 2, 0, 0}, {0, 0, -1, 0, 0}};
const Filter kRowNeighbours = {
    {0, 0, 1, 0, 0}, {0, -2, 0, -2, 0}, {-2, 8, 10, 8, -2}, {0, -2, 0, -2, 0}, {0, 0, 1, 0, 0}};
const Filter kColumnNeighbours = {
    {0, 0, -2, 0, 0}, {0, -2, 8, -2, 0}, {1, 0, 10, 0, 1}, {0, -2, 8, -2, 0}, {0, 0, -2, 0, 0}};
const Filter kOppositeAtRB = {
    {0, 0, -3, 0, 0}, {0, 4, 0, 4, 0}, {-3, 0, 12, 0, -3}, {0, 4, 0, 4, 0}, {0, 0, -3, 0, 0}};

int Apply(const Filter& f, const ImageProcessor* p, int row, int col, int shift) {
    int sum = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            sum += f[dy + 2][dx + 2] * p->workOrigin[(row + dy) * p->workStride + col + dx];
    int v = ((sum < 0 ? 0 : sum) + (1 << (shift - 1))) >> shift;
    return v > 255 ? 255 : v;
}

// Expected (R, G, B) at an RGGB site, from the tables alone.
std::array<int, 3> ByHand(const ImageProcessor* p, int r, int c) {
    int here = p->workOrigin[r * p->workStride + c];
    bool evenRow = (r & 1) == 0, evenCol = (c & 1) == 0;
    if (evenRow && evenCol)  // red
        return {here, Apply(kGreenAtRB, p, r, c, 3), Apply(kOppositeAtRB, p, r, c, 4)};
    if (!evenRow && !evenCol)  // blue
        return {Apply(kOppositeAtRB, p, r, c, 4), Apply(kGreenAtRB, p, r, c, 3), here};
    if (evenRow)  // green between reds
        return {Apply(kRowNeighbours, p, r, c, 4), here, Apply(kColumnNeighbours, p, r, c, 4)};
    return {Apply(kColumnNeighbours, p, r, c, 4), here, Apply(kRowNeighbours, p, r, c, 4)};
}

class EveryKernelSet : public testing::TestWithParam<const KernelSet*> {};

TEST_P(EveryKernelSet, PixelsMatchTheFiltersComputedByHand) {
    KernelChoice choice(GetParam());
    const ULONG w = 21, h = 13;
    Pipeline pipe(w, h);
    SetBayerPhase(pipe.get(), 2);
    SetColorCorrection(pipe.get(), 0);  // identity matrix: output = interpolation
    auto raw = RandomRaw(w * h, 7);
    pipe.Convert(raw, w);
    for (auto [r, c] : std::vector<std::pair<int, int>>{{0, 0},
                                                        {0, 1},
                                                        {1, 0},
                                                        {1, 1},
                                                        {6, 10},
                                                        {7, 11},
                                                        {12, 20},
                                                        {12, 19},
                                                        {5, 0},
                                                        {0, 20}}) {
        auto want = ByHand(pipe.get(), r, c);
        const UCHAR* px = pipe.Pixel(c, r);
        EXPECT_EQ(px[2], want[0]) << "red at " << r << "," << c;
        EXPECT_EQ(px[1], want[1]) << "green at " << r << "," << c;
        EXPECT_EQ(px[0], want[2]) << "blue at " << r << "," << c;
        EXPECT_EQ(px[3], 255);
    }
}

TEST_P(EveryKernelSet, UniformFrameStaysUniformThroughTheIdentity) {
    KernelChoice choice(GetParam());
    Pipeline pipe(40, 10);
    SetColorCorrection(pipe.get(), 0);
    for (LONG phase = 0; phase < 4; ++phase) {
        SetBayerPhase(pipe.get(), phase);
        pipe.Convert(std::vector<UCHAR>(400, 100), 40);
        for (ULONG y = 0; y < 10; ++y)
            for (ULONG x = 0; x < 40; ++x) {
                const UCHAR* px = pipe.Pixel(x, y);
                ASSERT_EQ((std::array<int, 4>{px[0], px[1], px[2], px[3]}),
                          (std::array<int, 4>{100, 100, 100, 255}))
                    << x << "," << y << " phase " << phase;
            }
    }
}

TEST_P(EveryKernelSet, GainsScaleAndSaturate) {
    KernelChoice choice(GetParam());
    Pipeline pipe(16, 8);
    SetColorCorrection(pipe.get(), 0);
    SetRedGain(pipe.get(), 256);  // doubles
    SetGreenGain(pipe.get(), 0);  // blacks out
    SetBlueGain(pipe.get(), 128);
    pipe.Convert(std::vector<UCHAR>(128, 100), 16);
    EXPECT_EQ(pipe.Pixel(3, 3)[2], 200);
    EXPECT_EQ(pipe.Pixel(3, 3)[1], 0);
    EXPECT_EQ(pipe.Pixel(3, 3)[0], 100);
    pipe.Convert(std::vector<UCHAR>(128, 128), 16);
    EXPECT_EQ(pipe.Pixel(3, 3)[2], 255);
    // A gain whose product passes 16 bits gives 255, not its low bits.
    SetRedGain(pipe.get(), 0x10000 + 1);  // low 16 bits: 1
    SetGreenGain(pipe.get(), 0xFFFF);
    pipe.Convert(std::vector<UCHAR>(128, 128), 16);
    EXPECT_EQ(pipe.Pixel(3, 3)[2], 1);
    EXPECT_EQ(pipe.Pixel(3, 3)[1], 255);
}

TEST_P(EveryKernelSet, NegativeOffsetDarkensToZeroNotBelow) {
    KernelChoice choice(GetParam());
    Pipeline pipe(16, 8);
    SetColorCorrection(pipe.get(), 0);
    SetBrightness(pipe.get(), 100);  // offset -155
    pipe.Convert(std::vector<UCHAR>(128, 200), 16);
    EXPECT_EQ(pipe.Pixel(5, 5)[0], 45);
    pipe.Convert(std::vector<UCHAR>(128, 100), 16);
    EXPECT_EQ(pipe.Pixel(5, 5)[0], 0);
}

TEST_P(EveryKernelSet, GreyOfWhiteIs253) {
    KernelChoice choice(GetParam());
    Pipeline pipe(24, 8);
    SetColorEnable(pipe.get(), 0);
    pipe.Convert(std::vector<UCHAR>(24 * 8, 255), 24);
    for (ULONG x = 0; x < 24; ++x) {
        const UCHAR* px = pipe.Pixel(x, 7);
        ASSERT_EQ((std::array<int, 4>{px[0], px[1], px[2], px[3]}),
                  (std::array<int, 4>{253, 253, 253, 255}));
    }
}

INSTANTIATE_TEST_SUITE_P(Isa, EveryKernelSet, testing::ValuesIn(AvailableKernelSets()),
                         [](const auto& p) { return std::string(p.param->name); });

TEST(WhiteBalanceGains, FollowTheSumsAndKeepGainsOnAnEmptyChannel) {
    LONG r = 1, g = 2, b = 3;
    WhiteBalanceFromSums(1000000, 2000000, 1500000, &r, &g, &b);
    EXPECT_EQ(r, 256);
    EXPECT_EQ(g, 128);
    EXPECT_EQ(b, 170);
    for (auto [sr, sg, sb] : std::vector<std::array<ULONG, 3>>{{0, 5, 5}, {5, 0, 5}, {5, 5, 0}}) {
        LONG kr = 11, kg = 22, kb = 33;
        WhiteBalanceFromSums(sr, sg, sb, &kr, &kg, &kb);
        EXPECT_EQ(std::make_tuple(kr, kg, kb), std::make_tuple(11, 22, 33));
    }
    // A nearly empty channel asks for more than the gains' range: held at
    // 512 (a gain of 65536 would wrap to 0 in the kernels and black it out).
    WhiteBalanceFromSums(1, 4000000000u, 1, &r, &g, &b);
    EXPECT_EQ(r, 512);
    EXPECT_EQ(b, 512);
    WhiteBalanceFromSums(1000, 2, 1000, &r, &g, &b);  // and never below 1
    EXPECT_EQ(r, 1);
    EXPECT_EQ(b, 1);
}

TEST_P(EveryKernelSet, AnEstimateOnAlmostNoRedKeepsRedVisible) {
    KernelChoice choice(GetParam());
    Pipeline pipe(32, 16);
    SetBayerPhase(pipe.get(), 2);
    SetColorCorrection(pipe.get(), 0);
    SetWhiteBalance(pipe.get(), 1);
    // RGGB with red 1, green 255, blue 255: green / red asks for gain 32640.
    std::vector<UCHAR> raw(32 * 16);
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 32; ++c) raw[r * 32 + c] = ((r | c) & 1) == 0 ? 1 : 255;
    pipe.Convert(raw, 32);
    EXPECT_EQ(pipe->redGain, 512);
    EXPECT_EQ(pipe.Pixel(8, 8)[2], 4);  // 1 x 512 >> 7, not 0
}

// The colour matrix's sums computed here from the fixed matrix alone, with
// no bound on their size: what every kernel must give.
std::array<int, 3> ExactMatrix(const ImageProcessor* p, int v) {
    std::array<int, 3> out{};
    for (int j = 0; j < 3; ++j) {
        int64_t pos = 0, neg = 0;
        auto add = [&](int64_t m, int64_t x) { (m > 0 ? pos : neg) += (m < 0 ? -m : m) * x; };
        add(p->frameMatrix[3][j], 1);
        for (int i = 0; i < 3; ++i) add(p->frameMatrix[i][j], v);
        int64_t o = (pos >> 6) - (neg >> 6);
        out[j] = static_cast<int>(o < 0 ? 0 : o > 255 ? 255 : o);
    }
    return out;
}

TEST_P(EveryKernelSet, ExtremeSettingsGiveTheExactMatrixValue) {
    // Contrast 20 with brightness 510 drives the sums past 16 bits. Saturated
    // accumulators once made white B,G,R = 64,255,91; the exact sums give white.
    KernelChoice choice(GetParam());
    Pipeline pipe(16, 8);
    SetContrast(pipe.get(), 20);
    SetBrightness(pipe.get(), 510);
    for (LONG correction : {1, 0}) {
        SetColorCorrection(pipe.get(), correction);
        for (UCHAR level : {UCHAR{255}, UCHAR{200}, UCHAR{90}, UCHAR{20}}) {
            pipe.Convert(std::vector<UCHAR>(128, level), 16);
            EXPECT_EQ(ColorSumsFit16Bits(pipe.get()), correction == 0);
            auto want = ExactMatrix(pipe.get(), level);
            for (int j = 0; j < 3; ++j)
                EXPECT_EQ(pipe.Pixel(7, 4)[2 - j], want[j])
                    << "channel " << j << " level " << int(level);
            if (level == 255 && correction == 1) {
                EXPECT_EQ((std::array<int, 3>{pipe.Pixel(7, 4)[0], pipe.Pixel(7, 4)[1],
                                              pipe.Pixel(7, 4)[2]}),
                          (std::array<int, 3>{255, 255, 255}));
            }
        }
    }
    // The device's defaults stay on the 16-bit path.
    Pipeline defaults(16, 8);
    defaults.Convert(std::vector<UCHAR>(128, 255), 16);
    EXPECT_TRUE(ColorSumsFit16Bits(defaults.get()));
}

// Random frames and settings, every pattern and mode, awkward sizes (below
// and around each vector width, and past it by a few columns): every set
// must give the reference's bytes exactly.
TEST(SimdAgainstScalar, BitExactOnRandomFramesAndSettings) {
    const std::pair<ULONG, ULONG> sizes[] = {{64, 48}, {37, 23}, {16, 16},  {17, 9},   {8, 8},
                                             {7, 8},   {5, 3},   {1, 1},    {100, 7},  {31, 64},
                                             {63, 9},  {65, 10}, {129, 11}, {200, 12}, {2560, 10}};
    const std::vector<const KernelSet*> sets = AvailableKernelSets();
    ASSERT_EQ(sets.back(), &ScalarKernels());
    std::mt19937 rng(2024);
    int round = 0, narrow = 0, wide = 0;
    for (auto [w, h] : sizes) {
        for (LONG phase : {0, 1, 2, 3, 9}) {
            for (int mode = 0; mode < 4; ++mode) {  // colour/grey x estimate off/on
                ++round;
                auto raw = RandomRaw(static_cast<size_t>(w) * h, static_cast<uint32_t>(rng()));
                std::vector<std::vector<UCHAR>> outputs(sets.size());
                std::vector<std::array<LONG, 3>> gains(sets.size());
                // The reference first, then each set against it.
                for (size_t k = sets.size(); k-- > 0;) {
                    KernelChoice choice(sets[k]);
                    Pipeline pipe(w, h);
                    // Stale bytes everywhere, as a reused buffer would hold.
                    std::mt19937 fill(round);
                    for (ULONG i = 0; i < pipe->workBufferSize; ++i)
                        pipe->workBuffer[i] = static_cast<UCHAR>(fill());
                    std::mt19937 settings(round * 31);
                    SetBayerPhase(pipe.get(), phase);
                    SetColorEnable(pipe.get(), mode & 1);
                    SetWhiteBalance(pipe.get(), mode & 2);
                    SetRedGain(pipe.get(), static_cast<LONG>(settings() % 600));
                    SetGreenGain(pipe.get(), static_cast<LONG>(settings() % 300));
                    SetBlueGain(pipe.get(), static_cast<LONG>(settings()));
                    SetColorCorrection(pipe.get(), settings() & 1);
                    SetBrightness(pipe.get(), static_cast<LONG>(settings() % 511));
                    SetContrast(pipe.get(), static_cast<LONG>(settings() % 21));
                    SetSaturation(pipe.get(), static_cast<LONG>(settings() % 21));
                    SetHue(pipe.get(), static_cast<LONG>(settings() % 360));
                    if (round % 5 == 0) {
                        // Large magnitudes, and on some rounds sums past 16
                        // bits: the exact 32-bit path.
                        SetContrast(pipe.get(), 20);
                        SetSaturation(pipe.get(), 20);
                        SetColorCorrection(pipe.get(), 1);
                        if (round % 10 == 0) SetBrightness(pipe.get(), 510);
                    }
                    pipe.Convert(raw, w);
                    if (mode & 1) ++(ColorSumsFit16Bits(pipe.get()) ? narrow : wide);
                    outputs[k] = pipe.Output();
                    gains[k] = {pipe->redGain, pipe->greenGain, pipe->blueGain};
                    ASSERT_EQ(outputs[k], outputs.back()) << sets[k]->name << " " << w << "x" << h
                                                          << " phase " << phase << " mode " << mode;
                    ASSERT_EQ(gains[k], gains.back()) << sets[k]->name << " " << w << "x" << h
                                                      << " phase " << phase << " mode " << mode;
                }
            }
        }
    }
    EXPECT_GT(narrow, 0);  // both accumulator paths were compared
    EXPECT_GT(wide, 0);
}

// Every set is found by its name, whatever the case; NORVIKCAM_KERNELS uses
// the same lookup.
TEST(KernelSets, TheBestComesFirstAndEachIsFoundByName) {
    const auto sets = AvailableKernelSets();
    ASSERT_GE(sets.size(), 2u);
    EXPECT_EQ(sets[sets.size() - 2], &Sse2Kernels());
    for (const KernelSet* k : sets) {
        std::string upper = k->name;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(KernelSetNamed(upper), k);
    }
    EXPECT_EQ(KernelSetNamed("sse2"), &Sse2Kernels());
    EXPECT_EQ(KernelSetNamed("mmx"), nullptr);
    // With nothing forced, the first set converts.
    if (std::getenv("NORVIKCAM_KERNELS") == nullptr) {
        EXPECT_EQ(&ActiveKernels(), sets.front());
    }
}

// Rows across threads: every band count gives the one-thread bytes, and the
// estimate's sums combine to the same gains. The same processor is reused
// across frames and thread counts, as a stream reuses it.
TEST(RowsAcrossThreads, EveryThreadCountGivesTheSameBytesAndGains) {
    const std::pair<ULONG, ULONG> sizes[] = {{64, 48}, {37, 100}, {130, 66}, {2560, 40}, {16, 15}};
    std::mt19937 rng(99);
    for (const KernelSet* set : {AvailableKernelSets().front(), &Sse2Kernels(), &ScalarKernels()}) {
        KernelChoice choice(set);
        for (auto [w, h] : sizes) {
            for (int mode = 0; mode < 4; ++mode) {
                auto raw = RandomRaw(static_cast<size_t>(w) * h, static_cast<uint32_t>(rng()));
                Pipeline pipe(w, h);
                SetColorEnable(pipe.get(), mode & 1);
                SetWhiteBalance(pipe.get(), 0);
                std::vector<UCHAR> want;
                LONG wantGains[3] = {0, 0, 0};
                for (LONG threads : {1, 2, 3, 5, 8, 64}) {
                    SCOPED_TRACE(std::string(set->name) + " " + std::to_string(w) + "x" +
                                 std::to_string(h) + " mode " + std::to_string(mode) + " threads " +
                                 std::to_string(threads));
                    SetConversionThreads(pipe.get(), threads);
                    // Each thread count starts from the same gains.
                    SetRedGain(pipe.get(), 150);
                    SetGreenGain(pipe.get(), 128);
                    SetBlueGain(pipe.get(), 90);
                    SetWhiteBalance(pipe.get(), mode & 2);
                    pipe.Convert(raw, w);
                    const LONG gains[3] = {pipe->redGain, pipe->greenGain, pipe->blueGain};
                    if (threads == 1) {
                        want = pipe.Output();
                        std::copy(gains, gains + 3, wantGains);
                        continue;
                    }
                    ASSERT_EQ(pipe.Output(), want);
                    EXPECT_EQ(std::vector<LONG>(gains, gains + 3),
                              std::vector<LONG>(wantGains, wantGains + 3));
                }
            }
        }
    }
}

}  // namespace
