// A stream that runs for hours must not grow: once the first frames have
// sized every queue and free list, delivering a frame allocates nothing in
// the whole process (driver, platform stand-ins, simulated camera, client).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "client/camera.h"

namespace {
std::atomic<uint64_t> newCalls{0};
}

void* operator new(size_t n) {
    newCalls.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace std::chrono_literals;

TEST(SteadyState, DeliveringFramesAllocatesNothing) {
    norvik::OpenOptions o;
    o.simulatedFps = 0;
    o.simulatedCycle = 2;
    o.lockDirectory = testing::TempDir() + "/steady-locks";
    auto cam = norvik::Camera::Open(o);
    cam->SetWindow(0, 0, 640, 480);
    cam->StartStreaming(false, 3);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(cam->NextFrame(10s)) << i;
    const uint64_t before = newCalls.load();
    constexpr int kFrames = 200;
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(cam->NextFrame(10s)) << i;
    const uint64_t during = newCalls.load() - before;
    cam->StopStreaming();
    // A queue that meets a new longest run doubles once; anything per frame
    // or per request shows as hundreds.
    EXPECT_LE(during, 8u) << during << " allocations over " << kFrames << " frames";
}

}  // namespace
