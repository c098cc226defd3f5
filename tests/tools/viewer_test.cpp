// The viewer's HTTP side against the simulated camera, without a browser:
// every endpoint, the token, the paths it will not serve, oversized and
// malformed requests, and a bounded number of live pictures.
#include <gtest/gtest.h>
#include <httplib.h>
#include <png.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "client/camera_internal.h"
#include "sim/simulated_camera.h"
#include "tests/support/turned_picture.h"
#include "tests/support/wait_until.h"
#include "tools/image_files.h"
#include "tools/viewer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A picture can take seconds to come on a loaded machine under a sanitizer:
// a client that gave up on it would look like a viewer that stalled.
constexpr std::chrono::seconds kReadTimeout = kGenerousWait / 2;

class Viewer : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("norvikcam-viewer-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        norvik::OpenOptions o;
        o.simulatedFps = 30;
        o.lockDirectory = (dir / "locks").string();
        cam = norvik::Camera::Open(o);
        tools::ViewerOptions v;
        v.port = 0;
        v.snapshotDirectory = (dir / "snaps").string();
        v.maxViewers = 2;
        std::promise<std::string> url;
        auto ready = url.get_future();
        run = std::async(std::launch::async, [this, v, &url] {
            tools::RunViewer(
                *cam, v, [this] { return stop.load(); },
                [&url](const std::string& u) { url.set_value(u); });
        });
        ASSERT_EQ(ready.wait_for(20s), std::future_status::ready);
        const std::string u = ready.get();  // http://127.0.0.1:PORT/
        port = std::stoi(u.substr(u.rfind(':') + 1));
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(kReadTimeout);
        auto page = client->Get("/");
        ASSERT_TRUE(page);
        const size_t at = page->body.find("const token = \"");
        ASSERT_NE(at, std::string::npos);
        token = page->body.substr(at + 15, 32);
        // Wait for the first frame.
        EXPECT_TRUE(WaitUntil([this] { return Number(State(), "picture") != 0; }));
    }
    void TearDown() override {
        stop = true;
        if (run.valid()) run.get();
        client.reset();
        cam->Close();
        fs::remove_all(dir);
    }

    std::string State() {
        auto r = client->Get("/state");
        return r && r->status == 200 ? r->body : "";
    }
    static long long Number(const std::string& json, const std::string& name) {
        const size_t at = json.find("\"" + name + "\":");
        return at == std::string::npos ? 0 : std::stoll(json.substr(at + name.size() + 3));
    }
    httplib::Result Post(const std::string& path, const std::string& body, bool withToken = true) {
        httplib::Headers h;
        if (withToken) h.emplace("X-Norvik-Token", token);
        return client->Post(path.c_str(), h, body, "application/x-www-form-urlencoded");
    }
    // The first picture of the live stream, decoded: width and height.
    std::pair<int, int> FirstStreamPicture() {
        std::string got;
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(kReadTimeout);
        c.Get("/stream.mjpg", [&](const char* data, size_t n) {
            got.append(data, n);
            const size_t head = got.find("\r\n\r\n");
            if (head == std::string::npos) return true;
            const size_t length = std::stoul(got.substr(got.find("Content-Length: ") + 16));
            return got.size() < head + 4 + length;  // stop once the first picture is in
        });
        const size_t head = got.find("\r\n\r\n");
        if (head == std::string::npos) return {0, 0};
        tjhandle d = tjInitDecompress();
        int w = 0, h = 0, sub = 0, space = 0;
        const auto* jpeg = reinterpret_cast<const unsigned char*>(got.data() + head + 4);
        const int bad = tjDecompressHeader3(d, jpeg, got.size() - head - 4, &w, &h, &sub, &space);
        tjDestroy(d);
        return bad ? std::pair<int, int>{0, 0} : std::pair<int, int>{w, h};
    }

    fs::path dir;
    std::unique_ptr<norvik::Camera> cam;
    std::atomic<bool> stop{false};
    std::future<void> run;
    int port = 0;
    std::unique_ptr<httplib::Client> client;
    std::string token;
};

TEST_F(Viewer, ThePageTheStateTheHistogramAndTheLivePicture) {
    const std::string state = State();
    EXPECT_GT(Number(state, "picture"), 0);
    EXPECT_NE(state.find("\"name\":\"exposure\",\"min\":0,\"max\":1014,\"default\":64"),
              std::string::npos)
        << state;
    auto page = client->Get("/");
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"),
              std::string::npos);
    EXPECT_EQ(page->body.find("http"), std::string::npos)
        << "the page fetches nothing from elsewhere";
    auto hist = client->Get("/histogram");
    ASSERT_TRUE(hist);
    // 1280 x 960 preview pixels counted per channel.
    long long total = 0;
    const std::string red = hist->body.substr(hist->body.find('[') + 1);
    for (size_t at = 0; at < red.find(']');) {
        total += std::stoll(red.substr(at));
        at = red.find(',', at);
        if (at == std::string::npos) break;
        ++at;
    }
    EXPECT_EQ(total, 1280 * 960);
    // The picture: a JPEG at half the full frame's size.
    EXPECT_EQ(FirstStreamPicture(), (std::pair<int, int>{1280, 960}));
}

TEST_F(Viewer, ChangesNeedTheTokenAndBadOnesChangeNothing) {
    const long long before = Number(State(), "picture") >= 0 ? cam->Get("brightness") : 0;
    auto refused = Post("/control", "name=brightness&value=" + std::to_string(before + 100), false);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    EXPECT_EQ(cam->Get("brightness"), before);
    EXPECT_EQ(Post("/snapshot", "", false)->status, 403);
    EXPECT_EQ(Post("/window", "x=0&y=0&width=64&height=64", false)->status, 403);
    // Malformed, unknown, read-only or oversized: refused with a reason.
    EXPECT_EQ(Post("/control", "name=brightness&value=lots")->status, 400);
    EXPECT_EQ(Post("/control", "name=no_such_control&value=1")->status, 400);
    EXPECT_EQ(Post("/control", "value=1")->status, 400);
    EXPECT_EQ(Post("/window", "x=1&y=2")->status, 400);
    EXPECT_EQ(Post("/control", "name=brightness&value=" + std::string(100000, '1'))->status, 413);
    EXPECT_EQ(cam->Get("brightness"), before);
    // With the token: done, and read back.
    auto ok = Post("/control", "name=brightness&value=400");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->body, "{\"value\":400}");
    EXPECT_EQ(cam->Get("brightness"), 400);
}

TEST_F(Viewer, OnlyItsOwnPathsAreServed) {
    std::ofstream(dir / "secret.txt") << "x";
    for (const char* path : {"/../secret.txt", "/files/../secret.txt", "/files/snapshot-1.png",
                             "/etc/passwd", "/files/secret.txt", "/stream.mjpg/../state"})
        EXPECT_EQ(client->Get(path)->status, 404) << path;
    EXPECT_EQ(client->Delete("/state")->status, 404);
}

TEST_F(Viewer, TheWindowWhiteBalanceAndSnapshotAreCarriedOut) {
    auto window = Post("/window", "x=320&y=240&width=640&height=480");
    ASSERT_TRUE(window);
    ASSERT_EQ(window->status, 200) << window->body;
    const auto w = cam->GetWindow();
    EXPECT_EQ(w.width, 640);
    EXPECT_EQ(w.height, 480);
    EXPECT_EQ(FirstStreamPicture(), (std::pair<int, int>{640, 480}));

    EXPECT_EQ(Post("/whitebalance", "")->status, 200);
    EXPECT_EQ(cam->Get("white_balance"), 0);  // estimated, then kept

    auto snap = Post("/snapshot", "");
    ASSERT_TRUE(snap);
    ASSERT_EQ(snap->status, 200) << snap->body;
    const size_t at = snap->body.find("/files/");
    const std::string png = snap->body.substr(at, snap->body.find('"', at) - at);
    auto file = client->Get(png.c_str());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200);
    EXPECT_NE(file->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
    EXPECT_EQ(file->body.substr(1, 3), "PNG");
    std::ifstream saved(dir / "snaps" / fs::path(png).filename(), std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(saved)), {}), file->body);
    // The raw window beside it is a frame of the scene, byte for byte: one
    // of the last the simulated camera rendered, cut to the window.
    const auto dngPath = dir / "snaps" / fs::path(png).filename().replace_extension(".dng");
    const tools::DngImage dng = tools::ReadDng(dngPath.string(), 2560, 1920);
    ASSERT_EQ(dng.width, 640);
    ASSERT_EQ(dng.height, 480);
    sim::SimulatedCamera& sim = *norvik::CameraAccess::Simulated(*cam);
    bool found = false;
    const uint32_t last = sim.FramesDelivered();
    for (uint32_t n = last; n + 40 > last && n > 0 && !found; --n) {
        const auto scene = sim.ExpectedImage(n - 1);
        bool same = true;
        for (int row = 0; row < 480 && same; ++row)
            same = std::memcmp(&scene[static_cast<size_t>(240 + row) * 2560 + 320],
                               &dng.samples[static_cast<size_t>(row) * 640], 640) == 0;
        found = same;
    }
    EXPECT_TRUE(found) << "the snapshot's raw window is none of the last 40 frames of the scene";
}

// A PNG's pixels as blue-green-red-alpha, top row first (empty when it does
// not decode).
std::vector<uint8_t> PngPixels(const std::string& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return {};
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
    return pixels;
}

// The flips set from the page turn the snapshot's picture as the tool's
// capture is turned: upside down, then through 180 degrees.
TEST_F(Viewer, FlipsSetFromThePageTurnTheSnapshot) {
    ASSERT_EQ(Post("/window", "x=0&y=0&width=640&height=480")->status,
              200);  // colour patches: nothing moves there
    auto snapshot = [this] {
        auto snap = Post("/snapshot", "");
        if (!snap || snap->status != 200) return std::vector<uint8_t>{};
        const size_t at = snap->body.find("/files/");
        auto file = client->Get(snap->body.substr(at, snap->body.find('"', at) - at).c_str());
        return file ? PngPixels(file->body) : std::vector<uint8_t>{};
    };
    const auto upright = snapshot();
    ASSERT_EQ(upright.size(), 640u * 480 * 4);
    ASSERT_NE(TurnedPicture(upright, 640, 480, false, true), upright);
    for (auto [h, v] : {std::pair{0, 1}, std::pair{1, 1}}) {
        ASSERT_EQ(Post("/control", "name=flip_h&value=" + std::to_string(h))->status, 200);
        ASSERT_EQ(Post("/control", "name=flip_v&value=" + std::to_string(v))->status, 200);
        const auto want = TurnedPicture(upright, 640, 480, h != 0, v != 0);
        bool turned = false;  // a frame converted before the change may come first
        for (int i = 0; i < 20 && !turned; ++i) turned = snapshot() == want;
        EXPECT_TRUE(turned) << "flip_h=" << h << " flip_v=" << v;
    }
}

// Waits (not timed: a sanitizer build converts a few frames a second) until
// the flag is set.
bool WaitFor(const std::atomic<bool>& flag) {
    return WaitUntil([&flag] { return flag.load(); });
}

TEST_F(Viewer, LivePicturesAreBoundedAndAStalledViewerStallsNobody) {
    // A viewer that takes its first bytes and then reads nothing more.
    httplib::Client slow("127.0.0.1", port);
    slow.set_read_timeout(kReadTimeout);
    std::atomic<bool> stalledIn{false}, release{false};
    auto stalled = std::async(std::launch::async, [&] {
        slow.Get("/stream.mjpg", [&](const char*, size_t) {
            stalledIn = true;
            while (!release) std::this_thread::sleep_for(10ms);
            return false;
        });
    });
    ASSERT_TRUE(WaitFor(stalledIn));
    // Another one still gets pictures, and the camera goes on.
    EXPECT_EQ(FirstStreamPicture(), (std::pair<int, int>{1280, 960}));
    const long long picture = Number(State(), "picture");
    EXPECT_TRUE(WaitUntil([&] { return Number(State(), "picture") > picture + 5; }));
    release = true;
    stalled.get();

    // Two at once is this viewer's limit: with two watching, a third is
    // turned away. (The stalled viewer's connection counts until the
    // server's write to it times out: a watcher turned away meanwhile tries
    // again.)
    httplib::Client first("127.0.0.1", port), second("127.0.0.1", port);
    first.set_read_timeout(kReadTimeout);
    second.set_read_timeout(kReadTimeout);
    std::atomic<bool> holding{true}, firstIn{false}, secondIn{false};
    auto watch = [&holding](httplib::Client* c, std::atomic<bool>* in) {
        return std::async(std::launch::async, [&holding, c, in] {
            for (int tries = 0; tries < 100 && holding; ++tries) {
                int status = 0;
                c->Get(
                    "/stream.mjpg",
                    [&status](const httplib::Response& r) {
                        status = r.status;
                        return true;
                    },
                    [&holding, in, &status](const char*, size_t) {
                        if (status == 200) *in = true;
                        return status == 200 && holding.load();
                    });
                if (status == 200) return;
                std::this_thread::sleep_for(200ms);
            }
        });
    };
    auto a = watch(&first, &firstIn);
    auto b = watch(&second, &secondIn);
    ASSERT_TRUE(WaitFor(firstIn));
    ASSERT_TRUE(WaitFor(secondIn));
    httplib::Client third("127.0.0.1", port);
    third.set_read_timeout(kReadTimeout);
    int thirdStatus = 0;
    third.Get(
        "/stream.mjpg",
        [&](const httplib::Response& r) {
            thirdStatus = r.status;
            return true;
        },
        [](const char*, size_t) { return false; });  // enough to know, and no waiting on a stream
    EXPECT_EQ(thirdStatus, 503);
    holding = false;
    a.get();
    b.get();
}

TEST(ViewerOptions, ListenAddressesParseAndBadOnesAreRefused) {
    tools::ViewerOptions o;
    tools::ParseListen("0.0.0.0:9000", &o);
    EXPECT_EQ(o.host, "0.0.0.0");
    EXPECT_EQ(o.port, 9000);
    tools::ParseListen("[::1]:0", &o);
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.port, 0);
    tools::ParseListen(":8081", &o);
    EXPECT_EQ(o.port, 8081);
    EXPECT_THROW(tools::ParseListen("host:99999", &o), norvik::Error);
    EXPECT_THROW(tools::ParseListen("host:http", &o), norvik::Error);
    EXPECT_THROW(tools::ParseListen("[::1", &o), norvik::Error);
    EXPECT_TRUE(tools::IsLoopback("127.0.0.1"));
    EXPECT_FALSE(tools::IsLoopback("0.0.0.0"));
}

TEST_F(Viewer, ASecondViewerOnTheSamePortIsRefused) {
    norvik::OpenOptions o;
    o.simulatedFps = 30;
    o.lockDirectory = (dir / "locks-second").string();
    auto second = norvik::Camera::Open(o);
    tools::ViewerOptions v;
    v.port = port;
    std::string said;
    bool listening = false;
    try {
        tools::RunViewer(
            *second, v, [] { return true; }, [&](const std::string&) { listening = true; });
    } catch (const std::exception& e) {
        said = e.what();
    }
    EXPECT_FALSE(listening);
    EXPECT_NE(said.find("address in use"), std::string::npos) << said;
    // The first one still serves every page.
    for (int i = 0; i < 8; ++i) {
        auto page = client->Get("/");
        ASSERT_TRUE(page);
        EXPECT_NE(page->body.find(token), std::string::npos);
    }
}

}  // namespace
