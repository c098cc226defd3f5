// Cameras as an application meets them: each keeps its own settings, in its
// own file, however many a process opens; every failure says what kind it is;
// what the application asks for at stream start is what the driver does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/camera.h"
#include "client/camera_internal.h"
#include "sim/simulated_camera.h"
#include "tests/support/wait_until.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Cameras : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::path(testing::TempDir()) /
              ("cameras-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    norvik::OpenOptions Options(const std::string& device, const std::string& settings) {
        norvik::OpenOptions o;
        o.device = device;
        o.settingsPath = settings.empty() ? std::string() : (dir / settings).string();
        o.lockDirectory = (dir / "locks").string();
        o.simulatedFps = 0;
        return o;
    }
    std::string Text(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The value a settings file holds for one camera, or -1: the file's own
    // text, read here, not through the registry stand-in.
    long Stored(const std::string& file, const std::string& identity, const std::string& name) {
        const std::string text = Text(file);
        const std::string key = "\\" + identity + "\\Settings]";
        const size_t at = text.find(key);
        if (at == std::string::npos) return -1;
        const size_t end = text.find("\n[", at);
        const size_t v = text.find("\"" + name + "\"=dword:", at);
        if (v == std::string::npos || (end != std::string::npos && v > end)) return -1;
        return std::stol(text.substr(v + name.size() + 9, 8), nullptr, 16);
    }

    fs::path dir;
};

// Two cameras open at once, each bound to its own file: closing one and then
// changing the other lands in the other's file only.
TEST_F(Cameras, TwoCamerasInOneProcessKeepTheirOwnSettingsFiles) {
    auto a = norvik::Camera::Open(Options("sim", "a.reg"));
    auto b = norvik::Camera::Open(Options("sim:1", "b.reg"));
    EXPECT_EQ(a->Identity(), "sim");
    EXPECT_EQ(b->Identity(), "sim-1");
    b->Set("exposure", 123);
    b->Close();
    a->Set("exposure", 300);
    a->Close();
    EXPECT_EQ(Stored("a.reg", "sim", "Exposure"), 300);
    EXPECT_EQ(Stored("b.reg", "sim-1", "Exposure"), 123);
    EXPECT_EQ(Stored("a.reg", "sim-1", "Exposure"), -1);
    EXPECT_EQ(Stored("b.reg", "sim", "Exposure"), -1);
    // Opened again, each reads back its own.
    a = norvik::Camera::Open(Options("sim", "a.reg"));
    b = norvik::Camera::Open(Options("sim:1", "b.reg"));
    EXPECT_EQ(a->Get("exposure"), 300);
    EXPECT_EQ(b->Get("exposure"), 123);
}

// The common case: both cameras share the one settings file; each save
// merges its own key into it and leaves the other's.
TEST_F(Cameras, TwoCamerasShareOneSettingsFileWithoutLosingEachOthersKeys) {
    auto a = norvik::Camera::Open(Options("sim", "shared.reg"));
    auto b = norvik::Camera::Open(Options("sim:1", "shared.reg"));
    a->Set("hue", 7);
    b->Set("hue", 200);
    a->Close();
    b->Set("brightness", 90);
    b->Close();
    EXPECT_EQ(Stored("shared.reg", "sim", "Hue"), 7);
    EXPECT_EQ(Stored("shared.reg", "sim-1", "Hue"), 200);
    EXPECT_EQ(Stored("shared.reg", "sim-1", "Brightness"), 90);
}

// A camera with no file keeps its settings for that open only, and another
// camera's file is never touched by it.
TEST_F(Cameras, ACameraWithoutAFileLeavesEveryFileAlone) {
    auto a = norvik::Camera::Open(Options("sim", "a.reg"));
    a->Set("contrast", 15);
    a->Close();
    const std::string before = Text("a.reg");
    auto mem = norvik::Camera::Open(Options("sim", ""));
    EXPECT_NE(mem->Get("contrast"), 15);  // not read from a file it was not given
    mem->Set("contrast", 16);
    mem->Close();
    EXPECT_EQ(Text("a.reg"), before);
    mem = norvik::Camera::Open(Options("sim", ""));
    EXPECT_NE(mem->Get("contrast"), 16);  // gone with its open
}

template <typename F>
norvik::ErrorKind KindOf(F&& f) {
    try {
        f();
    } catch (const norvik::Error& e) {
        return e.Kind();
    }
    ADD_FAILURE() << "no error";
    return norvik::ErrorKind::Io;
}

TEST_F(Cameras, EveryFailureSaysItsKind) {
    auto a = norvik::Camera::Open(Options("sim", ""));
    // Another open of the same camera: the lock is held.
    EXPECT_EQ(KindOf([&] { norvik::Camera::Open(Options("sim", "")); }), norvik::ErrorKind::Busy);
    EXPECT_EQ(KindOf([&] { norvik::Camera::Open(Options("sim:99", "")); }),
              norvik::ErrorKind::InvalidArgument);
    EXPECT_EQ(KindOf([&] { norvik::Camera::Open(Options("webcam", "")); }),
              norvik::ErrorKind::InvalidArgument);
    EXPECT_EQ(KindOf([&] { a->Set("no_such_control", 1); }), norvik::ErrorKind::InvalidArgument);
    EXPECT_EQ(KindOf([&] { a->Set("sensor_width", 1); }), norvik::ErrorKind::InvalidArgument);
    EXPECT_EQ(KindOf([&] { a->StartStreaming(false, 0); }), norvik::ErrorKind::InvalidArgument);
    EXPECT_EQ(KindOf([&] { a->NextFrame(10ms); }), norvik::ErrorKind::InvalidArgument);
    // A second start, with other buffers, is refused rather than ignored.
    a->StartStreaming();
    EXPECT_EQ(KindOf([&] { a->StartStreaming(false, 5); }), norvik::ErrorKind::InvalidArgument);
    EXPECT_TRUE(a->NextFrame(30s));
    a->StopStreaming();
    a->Close();
    EXPECT_EQ(KindOf([&] { a->Get("hue"); }), norvik::ErrorKind::Closed);
    EXPECT_EQ(KindOf([&] { a->StartStreaming(); }), norvik::ErrorKind::Closed);
    EXPECT_EQ(KindOf([&] { a->GetWindow(); }), norvik::ErrorKind::Closed);
    // A settings file that does not parse.
    std::ofstream(dir / "bad.reg") << "this is not a settings file\n";
    EXPECT_EQ(KindOf([&] { norvik::Camera::Open(Options("sim", "bad.reg")); }),
              norvik::ErrorKind::Io);
    // A camera unplugged while streaming.
    auto cam = norvik::CameraAccess::Open(Options("sim", ""), {.unplugAfter = 2});
    cam->StartStreaming();
    EXPECT_EQ(KindOf([&] {
                  for (int i = 0; i < 100; ++i) cam->NextFrame(2s);
              }),
              norvik::ErrorKind::Unplugged);
    EXPECT_EQ(KindOf([&] { cam->Set("hue", 3); }), norvik::ErrorKind::Unplugged);
    EXPECT_EQ(KindOf([&] { cam->Get("hue"); }), norvik::ErrorKind::Unplugged);
}

// A camera unplugged while it is being opened says unplugged, not a failure
// of some other kind. The unplug comes from a thread of its own a moment
// after the camera is plugged in, so an open may also finish first: opens
// are tried until one has met the unplug.
TEST_F(Cameras, ACameraUnpluggedWhileItOpensSaysUnplugged) {
    int failed = 0;
    for (int attempt = 0; attempt < 200 && failed == 0; ++attempt) {
        try {
            norvik::CameraAccess::Open(Options("sim", ""), {.removeAfter = 1us});
        } catch (const norvik::Error& e) {
            ++failed;
            EXPECT_EQ(e.Kind(), norvik::ErrorKind::Unplugged) << e.what();
        }
    }
    EXPECT_EQ(failed, 1) << "no open met the unplug";
}

// The drop count is the gaps in the picture numbers the application saw:
// frames the camera sent while the application took none.
TEST_F(Cameras, TheDropCountIsTheGapsInThePictureNumbersSeen) {
    auto cam = norvik::CameraAccess::Open(Options("sim", ""), {});
    sim::SimulatedCamera& sim = *norvik::CameraAccess::Simulated(*cam);
    cam->StartStreaming(false, 2);
    std::vector<int64_t> seen;
    for (int round = 0; round < 3; ++round) {
        auto f = cam->NextFrame(30s);
        ASSERT_TRUE(f);
        seen.push_back(f->pictureNumber);
        // Both buffers fill while the application looks away; the camera's
        // later frames have nowhere to go.
        const uint32_t sent = sim.FramesDelivered();
        ASSERT_TRUE(WaitUntil([&] { return sim.FramesDelivered() >= sent + 6; }));
        for (int i = 0; i < 2; ++i) {
            auto g = cam->NextFrame(30s);
            ASSERT_TRUE(g);
            seen.push_back(g->pictureNumber);
        }
    }
    cam->StopStreaming();
    uint64_t gaps = 0;
    for (size_t i = 1; i < seen.size(); ++i) {
        ASSERT_GT(seen[i], seen[i - 1]);
        gaps += static_cast<uint64_t>(seen[i] - seen[i - 1] - 1);
    }
    EXPECT_GT(gaps, 0u) << "no frame was dropped: the test saw nothing to count";
    EXPECT_EQ(cam->Stats().dropped, gaps);
}

// The simulated cameras are sim:0 to sim:15, as the README names them.
TEST_F(Cameras, TheSimulatedCamerasAreSim0ToSim15) {
    EXPECT_NO_THROW(norvik::Camera::Open(Options("sim:15", "")));
    try {
        norvik::Camera::Open(Options("sim:16", ""));
        ADD_FAILURE() << "sim:16 opened";
    } catch (const norvik::Error& e) {
        EXPECT_EQ(e.Kind(), norvik::ErrorKind::InvalidArgument);
        EXPECT_NE(std::string(e.what()).find("sim:0 to sim:15"), std::string::npos) << e.what();
    }
}

// A port that is disabled (the driver resets it) still has its camera on it;
// only one that is no longer connected has lost it.
TEST_F(Cameras, ACameraOnADisabledPortIsThereAndOneOnADisconnectedPortIsUnplugged) {
    auto cam = norvik::CameraAccess::Open(Options("sim", ""), {});
    sim::SimulatedCamera& sim = *norvik::CameraAccess::Simulated(*cam);
    sim.SetPort(true, false);
    EXPECT_NO_THROW(cam->Set("hue", 7));
    EXPECT_EQ(cam->Get("hue"), 7);
    sim.SetPort(false, false);
    EXPECT_EQ(KindOf([&] { cam->Get("hue"); }), norvik::ErrorKind::Unplugged);
}

int ThreadsOfThisProcess() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// The conversion runs on the number of threads asked for at stream start:
// the process has that many more threads while streaming (its helpers are
// made at the first frame).
TEST_F(Cameras, FramesAreConvertedOnTheThreadsAskedFor) {
    auto cam = norvik::Camera::Open(Options("sim", ""));
    cam->SetWindow(0, 0, 640, 480);
    int counts[2] = {};
    const int asked[2] = {1, 5};
    for (int i = 0; i < 2; ++i) {
        cam->StartStreaming(false, 3, asked[i]);
        for (int f = 0; f < 3; ++f) ASSERT_TRUE(cam->NextFrame(5s));
        counts[i] = ThreadsOfThisProcess();
        cam->StopStreaming();
    }
    EXPECT_EQ(counts[1] - counts[0], 4)
        << "threads with 1 asked: " << counts[0] << ", with 5: " << counts[1];
}

// A time-out of 0 polls: a frame that is there is taken, and none is
// waited for.
TEST_F(Cameras, ATimeOutOf0TakesAFrameThatIsThere) {
    auto cam = norvik::Camera::Open(Options("sim", "p.reg"));
    cam->SetWindow(0, 0, 640, 480);
    cam->StartStreaming(false, 2);
    std::optional<norvik::Frame> frame;
    for (const auto end = std::chrono::steady_clock::now() + 60s;
         !frame && std::chrono::steady_clock::now() < end;)
        frame = cam->NextFrame(0ms);
    ASSERT_TRUE(frame) << "no frame was ever there to take";
    std::optional<norvik::Frame> second = cam->NextFrame(30s);
    ASSERT_TRUE(second);
    // Both buffers held: nothing can be there.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(cam->NextFrame(0ms));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s) << "a time-out of 0 waited";
    frame.reset();
    second.reset();
    cam->Close();
}

// A window that gives no picture is refused and the old one kept; a
// settings file holding one is refused at open, naming the file and values.
TEST_F(Cameras, AWindowWithoutAPictureIsRefusedAndChangesNothing) {
    auto cam = norvik::Camera::Open(Options("sim", "w.reg"));
    cam->SetWindow(64, 32, 640, 480);
    EXPECT_EQ(KindOf([&] { cam->SetWindow(0, 0, 4, 4); }), norvik::ErrorKind::InvalidArgument);
    const norvik::Window w = cam->GetWindow();
    EXPECT_EQ(w.x, 64);
    EXPECT_EQ(w.width, 640);
    EXPECT_EQ(w.outputHeight, 480);
    cam->StartStreaming();
    EXPECT_EQ(KindOf([&] { cam->StartStreaming(false, 5); }), norvik::ErrorKind::InvalidArgument);
    ASSERT_TRUE(cam->NextFrame(5s));
    cam->Close();
    EXPECT_EQ(Stored("w.reg", "sim", "RoiW"), 640);

    std::string text = Text("w.reg");
    const size_t at = text.find("\"RoiW\"=dword:");
    ASSERT_NE(at, std::string::npos);
    text.replace(at + 13, 8, "00000004");
    std::ofstream(dir / "w.reg", std::ios::binary) << text;
    try {
        norvik::Camera::Open(Options("sim", "w.reg"));
        ADD_FAILURE() << "opened with a window of no picture";
    } catch (const norvik::Error& e) {
        EXPECT_EQ(e.Kind(), norvik::ErrorKind::InvalidArgument);
        EXPECT_NE(std::string(e.what()).find((dir / "w.reg").string()), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("\"RoiW\"=4"), std::string::npos) << e.what();
    }
}

// The window an application reads back is the one frames carry.
TEST_F(Cameras, TheWindowReadBackIsTheFramesWindow) {
    auto cam = norvik::Camera::Open(Options("sim", ""));
    cam->SetWindow(3, 5, 100, 100);  // fitted: corner (4, 6), output 96 wide
    norvik::Window w = cam->GetWindow();
    EXPECT_EQ(w.x, 4);
    EXPECT_EQ(w.y, 6);
    EXPECT_EQ(w.width, 100);
    EXPECT_EQ(w.outputWidth, 96);
    EXPECT_EQ(w.outputHeight, 100);
    cam->StartStreaming();
    auto f = cam->NextFrame(5s);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->width, 96);
    EXPECT_EQ(f->height, 100);
    w = cam->GetWindow();
    EXPECT_EQ(w.outputWidth, 96);
}

}  // namespace
