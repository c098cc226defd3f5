// A stream that runs for hours must not grow: once the first frames have
// sized every queue and free list, delivering a frame allocates nothing in
// the whole process (driver, platform stand-ins, simulated camera, client).
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/camera.h"
#include "client/camera_internal.h"
#include "tests/support/counting_new.h"

namespace {

using namespace std::chrono_literals;

TEST(SteadyState, DeliveringFramesAllocatesNothing) {
    norvik::OpenOptions o;
    o.simulatedFps = 0;
    o.lockDirectory = testing::TempDir() + "/steady-locks-" + std::to_string(::getpid());
    auto cam = norvik::CameraAccess::Open(o, {.cycle = 2});
    cam->SetWindow(0, 0, 640, 480);
    cam->StartStreaming(false, 3);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(cam->NextFrame(10s)) << i;
    const uint64_t before = HeapAllocations();
    constexpr int kFrames = 200;
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(cam->NextFrame(10s)) << i;
    const uint64_t during = HeapAllocations() - before;
    cam->StopStreaming();
    // A queue or free list that meets a new peak (a loaded machine makes
    // longer queues) grows once; anything made per frame shows as at least
    // one a frame, and per request as ~80 a frame.
    EXPECT_LT(during, kFrames / 2u) << during << " allocations over " << kFrames << " frames";
}

}  // namespace
