// How often a delivered frame's data is copied on its way, stage by stage,
// counted from the copies themselves: one copy into the client's frame (the
// process dispatch's, with the flips), and none after it, neither in the
// client nor in the tool's writing of the frame.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "client/camera.h"
#include "client/camera_internal.h"
#include "sim/simulated_camera.h"
#include "tests/copies/counting_copies.h"
#include "tools/gathered_write.h"
#include "tools/video_formats.h"

namespace {

using namespace std::chrono_literals;

constexpr double kRawFrame = 2560.0 * 2080;  // a frame on the wire
constexpr double kRawImage = 2560.0 * 1920;  // its image lines
constexpr double kOutputFrame = 2560.0 * 1920 * 4;

TEST(FrameCopies, AFrameIsCopiedOnceIntoTheClientsFrameAndNotAgainOnItsWayOut) {
    norvik::OpenOptions o;
    o.simulatedFps = 30;
    o.raisePriority = false;
    o.lockDirectory = testing::TempDir() + "/copies-locks-" + std::to_string(::getpid());
    auto cam = norvik::Camera::Open(o);
    cam->StartStreaming(false, 3);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(cam->NextFrame(10s)) << i;
    const int devNull = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(devNull, 0);
    std::vector<uint8_t> planes(tools::Y4mFrameBytes(2560, 1920));
    sim::SimulatedCamera* camera = norvik::CameraAccess::Simulated(*cam);
    ASSERT_NE(camera, nullptr);
    const uint32_t sentBefore = camera->FramesDelivered();
    StartCountingCopies();
    constexpr int kFrames = 40;
    for (int i = 0; i < kFrames; ++i) {
        auto f = cam->NextFrame(10s);
        ASSERT_TRUE(f) << i;
        // As the tool writes them: BGRA rows gathered, then the y4m planes.
        ASSERT_EQ(tools::WriteGathered(devNull, nullptr, 0,
                                       {f->top, f->stride, static_cast<size_t>(f->width) * 4,
                                        static_cast<size_t>(f->height)}),
                  0);
        tools::BgraToI420(f->top, f->stride, f->width, f->height, planes.data());
        ASSERT_EQ(tools::WriteGathered(devNull, "FRAME\n", 6, {planes.data(), 0, planes.size(), 1}),
                  0);
    }
    const CopiedBytes c = StopCountingCopies();
    // Frames the reader was too slow for (a loaded machine) were sent and
    // captured too: the camera's own count of what it sent.
    const double sent = camera->FramesDelivered() - sentBefore;
    ::close(devNull);
    cam->StopStreaming();
    // In whole copies per frame; a frame under way while the count started
    // or stopped is the only slack.
    auto bytes = [&](ThreadKind k) { return static_cast<double>(c[k]); };
    // The camera's stand-in puts each frame it sends into the host's reads
    // once, as a camera's transfers land in memory.
    EXPECT_NEAR(bytes(ThreadKind::Camera) / kRawFrame / sent, 1.0, 0.1);
    // The capture thread puts the lines of each in order: into its scratch
    // buffer and back.
    EXPECT_NEAR(bytes(ThreadKind::Capture) / (2 * kRawImage) / sent, 1.0, 0.1);
    // The process dispatch copies the window into the working buffer, and
    // the image into the client's frame: one copy of the output frame, for
    // the frames delivered.
    // Frames in the buffers as the count starts and stops (three at most)
    // are the slack; one more copy of the output frame would be 1.0 more.
    EXPECT_NEAR((bytes(ThreadKind::Process) - kFrames * kRawImage) / kOutputFrame / kFrames, 1.0,
                0.2);
    // Nothing of the frame is copied by the bus, the client or the writer.
    EXPECT_LT(c[ThreadKind::Usb], 1024u * kFrames);
    EXPECT_LT(c[ThreadKind::Application], 1024u * kFrames)
        << bytes(ThreadKind::Application) / kOutputFrame / kFrames << " output frames a frame";
}

}  // namespace
