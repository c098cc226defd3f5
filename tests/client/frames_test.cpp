// Frames handed out without a copy: they are the client buffers the driver
// filled, top row first through their stride, held as long as the
// application wants, and given back when released.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "client/camera.h"
#include "platform/kernel/pool.h"
#include "tests/support/pixel_oracle.h"

namespace {

using namespace std::chrono_literals;

class Frames : public testing::Test {
  protected:
    void SetUp() override {
        norvik::OpenOptions o;
        o.simulatedFps = 0;
        o.lockDirectory = testing::TempDir() + "/frames-locks-" + std::to_string(::getpid());
        cam = norvik::Camera::Open(o);
        cam->SetWindow(0, 0, 640, 480);
    }
    std::unique_ptr<norvik::Camera> cam;
};

// The image the driver must have delivered for a raw window, at the
// camera's default settings, top row first: from the pixel oracle, which
// shares no code with the driver's conversion.
std::vector<uint8_t> Converted(const norvik::Frame& f) {
    const std::vector<uint8_t> raw(
        f.raw, f.raw + static_cast<size_t>(f.rawWidth) * static_cast<size_t>(f.rawHeight));
    return oracle::Convert(raw, f.rawWidth, f.rawHeight, f.rawWidth, oracle::Settings{}).bgra;
}

// The buffer is a bottom-up bitmap whatever the flips: read through its
// stride, the frame is its raw window's picture upright, and with flip_v the
// same picture upside down, as a user who sets it sees it.
TEST_F(Frames, AFrameIsTheDriversBottomUpBufferAndFlipVTurnsThePictureOver) {
    for (int flip : {0, 1}) {
        SCOPED_TRACE(flip);
        cam->Set("flip_v", flip);
        cam->StartStreaming(true, 3);
        auto f = cam->NextFrame(5s);
        ASSERT_TRUE(f);
        ASSERT_NE(f->raw, nullptr);
        EXPECT_EQ(f->stride, -640 * 4);
        EXPECT_EQ(f->flipV, flip == 1);
        const auto want = Converted(*f);
        for (int y = 0; y < f->height; y += 37) {
            const int from = flip ? f->height - 1 - y : y;
            ASSERT_EQ(
                std::memcmp(f->Row(y), want.data() + static_cast<size_t>(from) * 640 * 4, 640 * 4),
                0)
                << "row " << y;
        }
        f.reset();
        cam->StopStreaming();
    }
}

TEST_F(Frames, HeldFramesKeepTheirPixelsWhileTheDriverFillsTheOthers) {
    cam->StartStreaming(false, 3);
    auto a = cam->NextFrame(5s);
    ASSERT_TRUE(a);
    std::vector<uint8_t> kept(a->Row(0), a->Row(0) + 640 * 4);
    const int64_t first = a->pictureNumber;
    auto b = cam->NextFrame(5s);
    auto c = cam->NextFrame(5s);
    ASSERT_TRUE(b && c);
    EXPECT_EQ((std::set<const uint8_t*>{a->top, b->top, c->top}).size(),
              3u);  // three buffers, none copied
    // Every buffer is held: nothing can be delivered until one goes back.
    EXPECT_FALSE(cam->NextFrame(300ms));
    EXPECT_EQ(std::memcmp(a->Row(0), kept.data(), kept.size()), 0);
    EXPECT_EQ(a->pictureNumber, first);
    a->Release();
    EXPECT_EQ(a->top, nullptr);
    auto d = cam->NextFrame(5s);
    ASSERT_TRUE(d);
    EXPECT_GT(d->pictureNumber, c->pictureNumber);
    // Moving hands the buffer over; it goes back once.
    norvik::Frame moved = std::move(*d);
    EXPECT_EQ(d->top, nullptr);
    EXPECT_NE(moved.top, nullptr);
    d.reset();
    moved.Release();
    moved.Release();
    EXPECT_TRUE(cam->NextFrame(5s));
}

TEST_F(Frames, AFrameOutlivesTheStreamAndTheCamera) {
    cam->StartStreaming(true, 2);
    auto f = cam->NextFrame(5s);
    ASSERT_TRUE(f);
    std::vector<uint8_t> row(f->Row(479), f->Row(479) + 640 * 4);
    cam->StopStreaming();
    cam->Close();
    cam.reset();
    // Still the same pixels (the address sanitizer checks they are still there).
    EXPECT_EQ(std::memcmp(f->Row(479), row.data(), row.size()), 0);
    EXPECT_NE(f->raw, nullptr);
    f->Release();
}

TEST_F(Frames, TheNumberOfBuffersIsChecked) {
    EXPECT_THROW(cam->StartStreaming(false, 0), norvik::Error);
    EXPECT_THROW(cam->StartStreaming(false, 65), norvik::Error);
    cam->StartStreaming(false, 1);
    auto f = cam->NextFrame(5s);
    ASSERT_TRUE(f);
    EXPECT_FALSE(cam->NextFrame(200ms));  // the one buffer is held
    f->Release();
    EXPECT_TRUE(cam->NextFrame(5s));
}

}  // namespace
