// The flips as a user sees them: flip_v=1 shows the picture upside down,
// flip_h=1 mirrored, both turned through 180 degrees, in every output of the
// tool, and the raw files say so to raw developers. The expected pictures
// are the unflipped capture of the same (unmoving) part of the scene, turned
// over here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/turned_picture.h"
#include "tests/tools/cli_fixture.h"

namespace {

constexpr int kW = 640,
              kH = 480;  // the upper left of the scene: colour patches, nothing that moves

using Flip = Cli;

std::vector<uint8_t> Turned(const std::vector<uint8_t>& picture, bool h, bool v, int bytes = 4) {
    return TurnedPicture(picture, kW, kH, h, v, bytes);
}

// The luma plane of the first frame of a YUV4MPEG2 stream.
std::vector<uint8_t> FirstLuma(const std::string& y4m) {
    const size_t frame = y4m.find("FRAME\n");
    if (frame == std::string::npos || y4m.size() < frame + 6 + kW * kH) return {};
    return std::vector<uint8_t>(y4m.begin() + static_cast<ptrdiff_t>(frame + 6),
                                y4m.begin() + static_cast<ptrdiff_t>(frame + 6 + kW * kH));
}

TEST_F(Flip, EveryOutputOfTheToolShowsTheFlipsAsAUserSetsThem) {
    ASSERT_EQ(Run("window 0 0 640 480"), 0) << err;
    std::vector<uint8_t> upright, uprightLuma;
    for (int h : {0, 1})
        for (int v : {0, 1}) {
            SCOPED_TRACE("flip_h=" + std::to_string(h) + " flip_v=" + std::to_string(v));
            const std::string tag = std::to_string(h) + std::to_string(v);
            ASSERT_EQ(Run("set flip_h=" + std::to_string(h) + " flip_v=" + std::to_string(v)), 0)
                << err;
            ASSERT_EQ(Run("capture -n 1 -o p" + tag + ".png --raw"), 0) << err;
            ASSERT_EQ(Shell("tool stream -n 1 > s" + tag + ".bgra"), 0) << err;
            ASSERT_EQ(Shell("tool stream -n 1 --format y4m > s" + tag + ".y4m"), 0) << err;
            uint32_t w = 0;
            const auto png = PngPixels(dir / ("p" + tag + ".png"), &w);
            ASSERT_EQ(w, static_cast<uint32_t>(kW));
            const std::string bgra = Read(dir / ("s" + tag + ".bgra"));
            const auto luma = FirstLuma(Read(dir / ("s" + tag + ".y4m")));
            ASSERT_EQ(luma.size(), static_cast<size_t>(kW * kH));
            if (h == 0 && v == 0) {
                upright = png;
                uprightLuma = luma;
                // The picture must differ from its turned forms, or this tests nothing.
                ASSERT_NE(Turned(upright, false, true), upright);
                ASSERT_NE(Turned(upright, true, false), upright);
            }
            const auto want = Turned(upright, h, v);
            EXPECT_TRUE(png == want) << "the PNG";
            EXPECT_TRUE(std::vector<uint8_t>(bgra.begin(), bgra.end()) == want)
                << "the BGRA stream";
            EXPECT_TRUE(luma == Turned(uprightLuma, h, v, 1)) << "the YUV4MPEG2 stream";
            // The raw frame is the sensor's window whatever the flips; the
            // DNG's orientation carries them, and the tool's converter
            // applies it (samples flipped as well would come out turned twice).
            ASSERT_EQ(Run("convert p" + tag + ".dng c" + tag + ".png"), 0) << err;
            EXPECT_TRUE(PngPixels(dir / ("c" + tag + ".png"), &w) == png) << "the DNG converted";
            ASSERT_EQ(Shell("tiffinfo p" + tag + ".dng"), 0) << err;
            const char* orientation[2][2] = {{"row 0 top, col 0 lhs", "row 0 bottom, col 0 lhs"},
                                             {"row 0 top, col 0 rhs", "row 0 bottom, col 0 rhs"}};
            EXPECT_NE(out.find(orientation[h][v]), std::string::npos) << out;
        }
}

}  // namespace
