// norvikcam as a user runs it: spawned as a process, with its own config
// directory.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "sim/test_scene.h"
#include "tests/support/streaming_rig.h"
#include "tests/tools/cli_fixture.h"

namespace {

TEST_F(Cli, ListsTheSimulatedCamera) {
    ASSERT_EQ(Run("list"), 0) << err;
    EXPECT_NE(out.find("sim"), std::string::npos);
}

TEST_F(Cli, CaptureWritesPngsOfTheWindowsSizeAndASummary) {
    ASSERT_EQ(Run("window 100 50 1001 600"), 0) << err;
    EXPECT_NE(out.find("frames 1000x600"), std::string::npos) << out;
    ASSERT_EQ(Run("capture -n 2 -o shot-%d.png --fps 0"), 0) << err;
    EXPECT_EQ(PngSize(dir / "shot-0.png"), (std::pair<uint32_t, uint32_t>{1000, 600}));
    EXPECT_EQ(PngSize(dir / "shot-1.png"), (std::pair<uint32_t, uint32_t>{1000, 600}));
    EXPECT_NE(err.find("captured 2 frames"), std::string::npos) << err;
    ASSERT_EQ(Run("info"), 0) << err;
    EXPECT_NE(out.find("window: x=100 y=50 width=1001 height=600"), std::string::npos) << out;
}

// The format info --json gives is that of the frames the camera delivers (a
// multiple of 8 wide), not the window's.
TEST_F(Cli, InfoAsJsonGivesTheFormatOfTheFramesCaptured) {
    ASSERT_EQ(Run("window 100 50 1001 600"), 0) << err;
    ASSERT_EQ(Run("capture -n 1 -o f-%d.png --fps 0"), 0) << err;
    const auto [width, height] = PngSize(dir / "f-0.png");
    ASSERT_EQ(Run("info --json"), 0) << err;
    const std::string format = "\"format\":{\"pixel\":\"BGRA\",\"width\":" + std::to_string(width) +
                               ",\"height\":" + std::to_string(height) +
                               ",\"bytes\":" + std::to_string(width * height * 4);
    EXPECT_NE(out.find(format), std::string::npos) << format << "\n" << out;
    EXPECT_NE(out.find("\"window\":{\"x\":100,\"y\":50,\"width\":1001,\"height\":600}"),
              std::string::npos)
        << out;
}

TEST_F(Cli, SetInOneRunGetInTheNext) {
    ASSERT_EQ(Run("set exposure=64 hue=300 flip_h=1"), 0) << err;
    EXPECT_EQ(out, "exposure=64\nhue=300\nflip_h=1\n");
    ASSERT_EQ(Run("get exposure hue flip_h"), 0) << err;
    EXPECT_EQ(out, "exposure=64\nhue=300\nflip_h=1\n");
    EXPECT_NE(Read(dir / "cfg" / "norvikcam" / "settings.reg").find("\"Exposure\"=dword:00000040"),
              std::string::npos);
}

TEST_F(Cli, StreamWritesRawFramesOfTheWindow) {
    ASSERT_EQ(Run("window 0 0 64 32"), 0) << err;
    ASSERT_EQ(Run("stream -n 3 --fps 0"), 0) << err;
    EXPECT_EQ(out.size(), 3u * 64 * 32 * 4);
}

TEST_F(Cli, ConvertGivesThePipelinesImage) {
    std::vector<uint8_t> image(2560 * 1920), wire(2560 * 2080, 0);
    sim::RenderMosaic(7, 1.0, image.data(), 2560);
    for (size_t k = 0; k < 960; ++k) {
        std::memcpy(&wire[(5 + k) * 2560], &image[2 * k * 2560], 2560);
        std::memcpy(&wire[(1019 + k) * 2560], &image[(2 * k + 1) * 2560], 2560);
    }
    std::ofstream(dir / "frame.raw", std::ios::binary)
        .write(reinterpret_cast<char*>(wire.data()), wire.size());
    std::ofstream(dir / "frame.img", std::ios::binary)
        .write(reinterpret_cast<char*>(image.data()), image.size());
    ASSERT_EQ(Run("convert frame.raw out.bgra --window 10 20 101 50"), 0) << err;
    auto reference = ReferenceImage(image, 101, 50, 10, 20);
    std::string got = Read(dir / "out.bgra");
    ASSERT_EQ(got.size(), 96u * 50 * 4);
    for (int r = 0; r < 50; ++r)
        ASSERT_EQ(std::memcmp(got.data() + r * 96 * 4, reference.data() + r * 101 * 4, 96 * 4), 0)
            << r;
    ASSERT_EQ(Run("convert frame.img out.png --layout image --set brightness=300"), 0) << err;
    EXPECT_EQ(PngSize(dir / "out.png"), (std::pair<uint32_t, uint32_t>{2560, 1920}));
}

TEST_F(Cli, ABrightFrameAtFullContrastAndBrightnessConvertsToWhite) {
    // The colour sums pass 16 bits here; held at 16 bits they once gave
    // coloured pixels where white is right.
    std::vector<uint8_t> wire(2560 * 2080, 250);
    std::ofstream(dir / "bright.raw", std::ios::binary)
        .write(reinterpret_cast<char*>(wire.data()), wire.size());
    ASSERT_EQ(Run("convert bright.raw bright.png --set contrast=20 --set brightness=510"), 0)
        << err;
    uint32_t w = 0;
    auto pixels = PngPixels(dir / "bright.png", &w);
    ASSERT_EQ(pixels.size(), 2560u * 1920 * 4);
    for (size_t i = 0; i < pixels.size(); i += 4 * 997)
        ASSERT_EQ((std::array<int, 3>{pixels[i], pixels[i + 1], pixels[i + 2]}),
                  (std::array<int, 3>{255, 255, 255}))
            << i;
}

TEST_F(Cli, ConvertOfACapturedRawFrameMatchesItsPng) {
    ASSERT_EQ(Run("window 300 200 1003 501"), 0) << err;
    ASSERT_EQ(Run("set brightness=300 saturation=15"), 0) << err;
    ASSERT_EQ(Run("capture -n 2 -o shot-%d.png --raw --raw-format pgm --fps 0"), 0) << err;
    const std::string pgm = Read(dir / "shot-1.pgm");
    ASSERT_EQ(pgm.substr(0, 16), "P5\n1003 501\n255\n");
    ASSERT_EQ(pgm.size(), 16u + 1003 * 501);
    ASSERT_EQ(Run("convert shot-1.pgm again.png --set brightness=300 --set saturation=15"), 0)
        << err;
    uint32_t w1 = 0, w2 = 0;
    auto captured = PngPixels(dir / "shot-1.png", &w1);
    auto converted = PngPixels(dir / "again.png", &w2);
    ASSERT_FALSE(captured.empty());
    EXPECT_EQ(w1, 1000u);
    EXPECT_EQ(w2, 1000u);
    EXPECT_TRUE(captured == converted);
    // Other settings give another picture: the match is not an accident.
    ASSERT_EQ(Run("convert shot-1.pgm plain.png"), 0) << err;
    EXPECT_FALSE(PngPixels(dir / "plain.png", &w2) == captured);
}

// A window with an odd origin converts as the camera would read it out: the
// camera says which even origin it keeps, and convert's window lands there.
TEST_F(Cli, ConvertPlacesAnOddWindowWhereTheCameraDoes) {
    ASSERT_EQ(Run("window 3 1 640 480"), 0) << err;
    ASSERT_EQ(Run("info"), 0) << err;
    int x = -1, y = -1;
    const size_t at = out.find("window: x=");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "window: x=%d y=%d", &x, &y), 2) << out;
    ASSERT_EQ(Run("window 0 0 0 0"), 0) << err;
    ASSERT_EQ(Run("capture -n 1 -o full-%d.png --raw --raw-format pgm --fps 0"), 0) << err;
    const auto convert = [&](int cx, int cy, const std::string& name) {
        EXPECT_EQ(Run("convert full-0.pgm " + name + " --window " + std::to_string(cx) + " " +
                      std::to_string(cy) + " 640 480"),
                  0)
            << err;
        uint32_t w = 0;
        return PngPixels(dir / name, &w);
    };
    const auto odd = convert(3, 1, "odd.png");
    ASSERT_FALSE(odd.empty());
    EXPECT_TRUE(odd == convert(x, y, "kept.png")) << "the camera keeps " << x << " " << y;
    EXPECT_FALSE(odd == convert(2, 0, "below.png"));  // the window's place shows in the picture
}

TEST_F(Cli, StreamFeedsFfmpeg) {
    ASSERT_EQ(std::system("ffmpeg -version > /dev/null 2>&1"), 0)
        << "ffmpeg is missing: scripts/deps.sh installs it";
    ASSERT_EQ(Run("window 0 0 320 240"), 0) << err;
    ASSERT_EQ(Run("stream -n 7 --fps 0 2> stream-err.txt | ffmpeg -hide_banner -f rawvideo "
                  "-pix_fmt bgra -s 320x240 "
                  "-i - -f framemd5 -"),
              0)
        << err;
    // One line per frame after the comment header.
    size_t frames = 0;
    for (size_t at = 0; (at = out.find('\n', at)) != std::string::npos; ++at)
        if (at + 1 < out.size() && out[at + 1] != '#') ++frames;
    EXPECT_EQ(frames, 7u) << out;
}

TEST_F(Cli, BadInputGetsOneClearLineAndAFailure) {
    struct Case {
        std::string args, says;
        int exit;  // 2: the command line itself is wrong
    };
    const Case cases[] = {
        {"get nonsense", "unknown control 'nonsense'", 2},
        {"set exposure=high", "'high' is not a whole number", 2},
        {"set sensor_width=3", "read-only", 2},
        {"capture -n 1 -o /nonexistent-dir/x.png --fps 0", "there is no folder /nonexistent-dir",
         1},
        {"info --device usb:1234:5678", "no camera with USB id 1234:5678 is attached", 1},
        {"info --device usb:12345", "not a USB device name", 2},
        {"info --device webcam0", "no camera 'webcam0'", 2},
        {"convert missing.raw out.png", "cannot read missing.raw", 1},
        {"set exposure", "expected NAME=VALUE", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.args), c.exit) << c.args;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.args << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.args << ": " << err;
    }
}

TEST_F(Cli, GarbledSettingsFileIsReportedAndLeftUntouched) {
    fs::create_directories(dir / "cfg" / "norvikcam");
    const std::string garbled = "this is not a registry export\n";
    std::ofstream(dir / "cfg" / "norvikcam" / "settings.reg") << garbled;
    EXPECT_EQ(Run("set hue=10"), 1);
    EXPECT_NE(err.find("does not parse"), std::string::npos) << err;
    EXPECT_NE(err.find(":1:"), std::string::npos) << err;
    EXPECT_EQ(Read(dir / "cfg" / "norvikcam" / "settings.reg"), garbled);
}

}  // namespace
