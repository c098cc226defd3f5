// The fixed-point colour matrix that the settings fold into.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

#include "imaging/image_processor.h"
#include "tests/imaging/imaging_fixture.h"

namespace {

using Fixed = std::array<std::array<LONG, 4>, 4>;

Fixed FixedOf(const ImageProcessor* p) {
    Fixed f;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) f[i][j] = p->fixedMatrix[i][j];
    return f;
}

class ColorMatrix : public testing::Test {
  protected:
    void SetUp() override { p = CreateImageProcessor(); }
    void TearDown() override { FreeImageProcessor(p); }
    ImageProcessor* p = nullptr;
};

const Fixed kDefault = {{{87, -16, -6, 0}, {-14, 90, -20, 0}, {-9, -10, 91, 0}, {0, 0, 0, 64}}};

TEST_F(ColorMatrix, DefaultsAreTheCorrectionTimes64) {
    EXPECT_EQ(FixedOf(p), kDefault);
    EXPECT_EQ(p->redGain, 128);
    EXPECT_EQ(p->brightness, 255);
    EXPECT_EQ(p->contrast, 10);
    EXPECT_EQ(p->saturation, 10);
    EXPECT_EQ(p->colorEnable, 1);
    EXPECT_EQ(p->colorCorrection, 1);
    EXPECT_EQ(p->bayerPhase, 0);
    EXPECT_EQ(p->workBuffer, nullptr);
}

TEST_F(ColorMatrix, CorrectionOffGivesTheIdentity) {
    SetColorCorrection(p, 0);
    EXPECT_EQ(FixedOf(p), (Fixed{{{64, 0, 0, 0}, {0, 64, 0, 0}, {0, 0, 64, 0}, {0, 0, 0, 64}}}));
}

TEST_F(ColorMatrix, BrightnessOffsetsEveryChannel) {
    SetBrightness(p, 510);
    EXPECT_EQ(FixedOf(p)[3], (std::array<LONG, 4>{16320, 16320, 16320, 64}));
    SetBrightness(p, 0);
    EXPECT_EQ(FixedOf(p)[3], (std::array<LONG, 4>{-16320, -16320, -16320, 64}));
    // Above 510 the builder holds the value at 510.
    BuildBrightnessMatrix(p, 9000);
    EXPECT_EQ(FixedOf(p)[3][0], 16320);
}

TEST_F(ColorMatrix, ContrastZeroMakesEveryPixelLevel128) {
    SetContrast(p, 0);
    Fixed f = FixedOf(p);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(f[i], (std::array<LONG, 4>{0, 0, 0, 0})) << "row " << i;
    EXPECT_EQ(f[3], (std::array<LONG, 4>{8192, 8192, 8192, 64}));
}

TEST_F(ColorMatrix, BrightnessIsAppliedBeforeContrast) {
    SetContrast(p, 20);
    SetBrightness(p, 510);
    EXPECT_EQ(FixedOf(p)[3], (std::array<LONG, 4>{24448, 24448, 24448, 64}));
}

TEST_F(ColorMatrix, SaturationZeroGivesThreeEqualChannels) {
    SetSaturation(p, 0);
    Fixed f = FixedOf(p);
    EXPECT_EQ(f[0], (std::array<LONG, 4>{20, 20, 20, 0}));
    EXPECT_EQ(f[1], (std::array<LONG, 4>{39, 39, 39, 0}));
    EXPECT_EQ(f[2], (std::array<LONG, 4>{5, 5, 5, 0}));
}

TEST_F(ColorMatrix, HueZeroKeepsTheDefaultAndHue180RotatesAboutGrey) {
    BuildHueMatrix(p, 0);
    EXPECT_EQ(FixedOf(p), kDefault);
    SetColorCorrection(p, 0);
    SetHue(p, 180);
    EXPECT_EQ(FixedOf(p),
              (Fixed{{{-24, 40, 40, 0}, {78, 14, 78, 0}, {10, 10, -54, 0}, {0, 0, 0, 64}}}));
}

TEST_F(ColorMatrix, HalvesRoundAwayFromZero) {
    SetColorCorrection(p, 0);
    ExAcquireFastMutex(&p->rebuildLock);
    p->colorCorrectionMatrix[0][1] = -0.5 / 64;
    p->colorCorrectionMatrix[0][2] = 0.5 / 64;
    p->colorCorrectionMatrix[1][0] = 1.49 / 64;
    RebuildCombinedMatrix(p);
    ExReleaseFastMutex(&p->rebuildLock);
    EXPECT_EQ(p->fixedMatrix[0][1], -1);
    EXPECT_EQ(p->fixedMatrix[0][2], 1);
    EXPECT_EQ(p->fixedMatrix[1][0], 1);
}

TEST_F(ColorMatrix, EqualValueDoesNotRebuild) {
    p->fixedMatrix[0][0] = 999;  // a marker a rebuild would overwrite
    SetBrightness(p, 255);
    SetContrast(p, 10);
    SetHue(p, 0);
    SetColorCorrection(p, 1);
    SetSaturation(p, 10);
    EXPECT_EQ(p->fixedMatrix[0][0], 999);
    SetBrightness(p, 256);
    EXPECT_EQ(p->brightness, 256);
    EXPECT_NE(p->fixedMatrix[0][0], 999);
}

TEST_F(ColorMatrix, CombinedIsHueSaturationBrightnessContrastCorrection) {
    SetHue(p, 33);
    SetSaturation(p, 14);
    SetBrightness(p, 300);
    SetContrast(p, 7);
    Matrix4 expected;
    std::memcpy(expected, p->hueMatrix, sizeof expected);
    MultiplyMatrix4(expected, p->saturationMatrix, expected);
    MultiplyMatrix4(expected, p->brightnessMatrix, expected);
    MultiplyMatrix4(expected, p->contrastMatrix, expected);
    MultiplyMatrix4(expected, p->colorCorrectionMatrix, expected);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(p->combinedMatrix[i][j], expected[i][j], 1e-12);
}

// A colour's hue is the angle of its chroma, the part of it across the grey
// axis (the colour less its mean); saturation is that part's length. The hue
// setting turns the chroma about the grey axis by its angle, the way of the
// colour wheel: red towards yellow and on to green, green towards blue. Here
// the expected chroma is that rotation, worked out on its own (Rodrigues'
// formula about the unit grey axis), and the colour a flat patch of the
// mosaic comes out in must have it; the grey level along the axis is not
// looked at. At 120 degrees red comes out green, as the wheel says.
std::array<double, 3> Chroma(const std::array<double, 3>& c) {
    const double mean = (c[0] + c[1] + c[2]) / 3;
    return {c[0] - mean, c[1] - mean, c[2] - mean};
}

std::array<double, 3> TurnedAboutGrey(const std::array<double, 3>& chroma, double degrees) {
    const double t = degrees * std::acos(-1.0) / 180, u = 1 / std::sqrt(3.0);
    // u x c, for the unit grey axis u = (1, 1, 1) / sqrt 3; c . u is 0.
    const std::array<double, 3> across = {u * (chroma[2] - chroma[1]), u * (chroma[0] - chroma[2]),
                                          u * (chroma[1] - chroma[0])};
    std::array<double, 3> out;
    for (int i = 0; i < 3; ++i) out[i] = chroma[i] * std::cos(t) + across[i] * std::sin(t);
    return out;
}

// The colour the middle of a flat patch of red r, green g and blue b comes
// out in, as red, green, blue.
std::array<double, 3> ConvertedPatch(int hue, const std::array<int, 3>& rgb) {
    constexpr ULONG w = 32, h = 16;
    Pipeline pipe(w, h);
    SetBayerPhase(pipe.get(), 2);  // RGGB
    SetColorCorrection(pipe.get(), 0);
    SetHue(pipe.get(), hue);
    std::vector<UCHAR> raw(w * h);
    for (ULONG r = 0; r < h; ++r)
        for (ULONG c = 0; c < w; ++c)
            raw[r * w + c] = static_cast<UCHAR>((r & 1) == 0 ? ((c & 1) == 0 ? rgb[0] : rgb[1])
                                                             : ((c & 1) == 0 ? rgb[1] : rgb[2]));
    pipe.Convert(raw, w);
    const UCHAR* px = pipe.Pixel(w / 2, h / 2);
    return {static_cast<double>(px[2]), static_cast<double>(px[1]), static_cast<double>(px[0])};
}

TEST(HueRotation, TurnsEachColourAboutTheGreyAxisTheWayOfTheColourWheel) {
    for (int hue : {40, 120, 250}) {
        for (const std::array<int, 3>& rgb :
             {std::array<int, 3>{170, 110, 80}, std::array<int, 3>{90, 160, 120},
              std::array<int, 3>{100, 110, 170}}) {
            const auto want =
                TurnedAboutGrey(Chroma({static_cast<double>(rgb[0]), static_cast<double>(rgb[1]),
                                        static_cast<double>(rgb[2])}),
                                hue);
            const auto got = Chroma(ConvertedPatch(hue, rgb));
            // The matrix is fixed point, in 64ths: a few levels either way.
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(got[i], want[i], 6) << "hue " << hue << ", colour " << rgb[0] << ","
                                                << rgb[1] << "," << rgb[2] << ", channel "
                                                << "RGB"[i];
        }
    }
    // Red at a third of the way round is green.
    const auto red = ConvertedPatch(120, {200, 60, 60});
    EXPECT_GT(red[1], red[0] + 100);
    EXPECT_GT(red[1], red[2] + 100);
}

TEST(MultiplyMatrix4Test, AccumulatesInOrderAndAllowsAliasing) {
    Matrix4 a = {{1, 2, 3, 4}, {0, 1, 0, 0}, {0, 0, 1, 0}, {5, 6, 7, 1}};
    Matrix4 b = {{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {1, 1, 1, 1}};
    MultiplyMatrix4(a, b, a);
    EXPECT_EQ(a[0][0], 1 * 2 + 4 * 1);
    EXPECT_EQ(a[0][1], 2 * 3 + 4 * 1);
    EXPECT_EQ(a[3][2], 7 * 4 + 1);
    // The left-to-right sum decides the last bit: (1e16 + 1) + -1e16 is 0.
    Matrix4 l = {{1e16, 1, -1e16, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    Matrix4 r = {{1, 0, 0, 0}, {1, 1, 0, 0}, {1, 0, 1, 0}, {0, 0, 0, 1}};
    Matrix4 o;
    MultiplyMatrix4(l, r, o);
    EXPECT_EQ(o[0][0], 0.0);
}

}  // namespace
