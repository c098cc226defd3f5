// The element as users reach it: GStreamer's own tools with the plugin from
// the build folder, OpenCV's GStreamer back end, and an installed prefix.
// The plugin loads into programs built without sanitizers, so these run in
// the plain build; the element's own tests run in every build.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/tools/cli_fixture.h"

namespace {

class Pipeline : public Cli {
  protected:
    void SetUp() override {
        if (std::string(NORVIK_SANITIZED) != "")
            GTEST_SKIP() << "the plugin cannot load into GStreamer's tools in a sanitizer build";
        Cli::SetUp();
    }
    // A shell line with the plugin from the build folder on GStreamer's path.
    int Gst(const std::string& line) {
        return Shell("export GST_PLUGIN_PATH=" NORVIK_PLUGIN_DIR "; " + line);
    }
};

TEST_F(Pipeline, InspectShowsTheElementItsCapsAndItsControls) {
    ASSERT_EQ(Gst("gst-inspect-1.0 norvikcamsrc"), 0) << err;
    for (const char* want : {"video/x-raw", "format: BGRA", "video/x-bayer", "format: rggb",
                             "framerate: 30/1", "device", "settings", "exposure", "global-gain",
                             "brightness", "flip-h", "stats", "Range: 0 - 510 Default: 255"})
        EXPECT_NE(out.find(want), std::string::npos) << want;
    // Each control says what it does, in its unit; an on/off one is a
    // boolean; inert and diagnostic ones are not offered.
    for (const char* want :
         {"hue                 : rotation of the colours' hue, in degrees",
          "flip-h              : pictures mirrored left to right", "Boolean. Default: false"})
        EXPECT_NE(out.find(want), std::string::npos) << want;
    for (const char* hidden : {"ex-trigger", "register-select", "agc ", "sensor-width"})
        EXPECT_EQ(out.find(hidden), std::string::npos) << hidden;
}

// The PNGs of a pipeline are the pictures the driver delivers: the same
// picture numbers captured by the tool are the same images.
TEST_F(Pipeline, LaunchWritesPngsOfTheSceneAsTheToolCapturesIt) {
    // The lower right corner: the frame number painted there changes every frame.
    ASSERT_EQ(Run("window 1920 1440 640 480"), 0) << err;
    ASSERT_EQ(Gst("gst-launch-1.0 -q norvikcamsrc num-buffers=30 ! "
                  "video/x-raw,width=640,height=480 ! videoconvert ! "
                  "pngenc ! multifilesink location=g-%02d.png"),
              0)
        << err;
    for (int i = 0; i < 30; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "g-%02d.png", i);
        ASSERT_EQ(PngSize(dir / name), (std::pair<uint32_t, uint32_t>{640, 480})) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "g-30.png"));  // num-buffers ends it
    // The tool then captures the same window (the one it set, which the
    // caps filter asked for and left as it was).
    ASSERT_EQ(Run("capture -n 6 -o t-%d.png --metadata t.csv"), 0) << err;
    std::istringstream rows(Read(dir / "t.csv"));
    std::string row;
    std::getline(rows, row);
    int compared = 0;
    while (std::getline(rows, row)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(row, m, std::regex(R"(^(t-\d\.png),(\d+),)"))) << row;
        const int picture = std::stoi(m[2]);
        if (picture < 1 || picture > 30) continue;
        char name[16];
        std::snprintf(name, sizeof name, "g-%02d.png",
                      picture - 1);  // the pipeline's first picture is number 1
        uint32_t w1 = 0, w2 = 0;
        const auto fromTool = PngPixels(dir / std::string(m[1]), &w1);
        ASSERT_FALSE(fromTool.empty());
        EXPECT_TRUE(fromTool == PngPixels(dir / name, &w2)) << m[1] << " against " << name;
        ++compared;
    }
    EXPECT_GE(compared, 4);
    uint32_t w = 0;  // and each picture is its own: the frame number differs
    EXPECT_FALSE(PngPixels(dir / "g-00.png", &w) == PngPixels(dir / "g-20.png", &w));
}

TEST_F(Pipeline, OpenCvReadsTheCameraThroughGStreamer) {
    ASSERT_EQ(Shell("/usr/bin/python3 -c 'import cv2'"), 0)
        << "python3-opencv is missing: scripts/deps.sh test installs it\n"
        << err;
    ASSERT_EQ(
        Gst("/usr/bin/python3 -c \"import cv2\n"
            "cap = cv2.VideoCapture('norvikcamsrc num-buffers=10 ! "
            "video/x-raw,width=640,height=480 ! "
            "videoconvert ! appsink', cv2.CAP_GSTREAMER)\n"
            "frames = [cap.read() for _ in range(5)]\n"
            "print(all(ok for ok, _ in frames), frames[0][1].shape, int(frames[0][1].mean()))\""),
        0)
        << err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(True \(480, 640, 3\) (\d+))")))
        << out << err;
    EXPECT_GT(std::stoi(m[1]), 5);  // a picture, not black
}

// cmake --install into a prefix of one's own: the tool, the plugin, the
// udev rule, the client library with its header and pkg-config file.
TEST_F(Pipeline, AnInstalledPrefixWorks) {
    const std::string prefix = (dir / "prefix").string();
    ASSERT_EQ(Shell("cmake --install " NORVIK_BUILD_DIR " --prefix " + prefix + " > install.log"),
              0)
        << err;
    ASSERT_EQ(Shell("cd " + prefix + " && find . -type f -o -type l | sort"), 0);
    const std::string files = out;
    for (const char* want : {"bin/norvikcam", "gstreamer-1.0/libgstnorvikcam.so",
                             "lib/udev/rules.d/60-norvikcam.rules", "include/norvikcam/camera.h",
                             "libnorvikcam.so", "pkgconfig/norvikcam.pc"})
        EXPECT_NE(files.find(want), std::string::npos) << want << " in\n" << files;
    ASSERT_EQ(
        Shell("export GST_PLUGIN_PATH=$(dirname $(find " + prefix +
              " -name libgstnorvikcam.so)); gst-inspect-1.0 norvikcamsrc | grep -c 'Filename.*" +
              prefix + "'"),
        0)
        << out << err;
    ASSERT_EQ(Shell(prefix + "/bin/norvikcam list"), 0) << err;
    EXPECT_NE(out.find("sim"), std::string::npos);
    // An application built from the installed header and library alone.
    {
        std::ofstream app(dir / "app.cpp");
        app << "#include <norvikcam/camera.h>\n#include <cstdio>\n"
               "int main() { auto cam = norvik::Camera::Open({}); cam->SetWindow(0, 0, 64, 48);\n"
               "  cam->StartStreaming(); auto f = cam->NextFrame(std::chrono::seconds(5));\n"
               "  std::printf(\"%dx%d\\n\", f ? f->width : 0, f ? f->height : 0); }\n";
    }
    ASSERT_EQ(Shell("export PKG_CONFIG_PATH=$(dirname $(find " + prefix +
                    " -name norvikcam.pc)); c++ -std=c++17 app.cpp $(pkg-config --cflags --libs "
                    "norvikcam) -o app && "
                    "LD_LIBRARY_PATH=$(dirname $(find " +
                    prefix + " -name libnorvikcam.so)) ./app"),
              0)
        << err;
    EXPECT_EQ(out, "64x48\n");
}

}  // namespace
