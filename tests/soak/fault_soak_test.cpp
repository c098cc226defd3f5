// The whole lifecycle under allocation failures: open (device add and
// start), filter and pin creation, acquire, run, frames, a property change
// while streaming, stop, run again, stop, close (remove), with one
// allocation failed at each site in turn. Every run must end cleanly (a
// clear error or success, no hang), leave no pool block, IRP, MDL, handle or
// thread behind, and the next clean run must work.
//
// Then the camera unplugged at random moments of the same lifecycle,
// stalled and broken frames at random requests, and every writable control
// set from two threads while frames stream.
//
// The suite runs a seeded sample of each; the long form, by hand:
//   NORVIK_SOAK_ALL=1        fail every allocation site
//   NORVIK_SOAK_SEED=N       another sample
//   NORVIK_SOAK_COUNT=N      allocation sites sampled (default 20)
//   NORVIK_SOAK_REMOVALS=N   surprise removals (default 12)
//   NORVIK_SOAK_FRAMES=N     stalled and broken frames (default 12)
//   NORVIK_SOAK_HAMMER_S=N   seconds of property hammering (default 2)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "client/camera.h"
#include "client/camera_internal.h"
#include "platform/kernel/io.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"
#include "sim/simulated_camera.h"
#include "tests/support/camera_rig.h"
#include "tests/support/driver_tunables.h"
#include "tests/support/frame_transfer_rig.h"
#include "tests/support/wait_until.h"
#include "usb/frame_transfer.h"

namespace {

using namespace std::chrono_literals;

uint64_t EnvNumber(const char* name, uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 0) : otherwise;
}

std::mt19937_64 SeededRandom(uint64_t salt) {
    return std::mt19937_64(EnvNumber("NORVIK_SOAK_SEED", 20261207) + salt);
}

struct Outcome {
    int frames = 0;
    std::string error;  // empty: the whole cycle ran
};

// A frame waited for `frameWait`: a cycle without faults must see all six
// however loaded the machine is; one with a fault may see none, and must not
// take long to say so.
Outcome Lifecycle(const std::string& locks, std::chrono::milliseconds frameWait = 60s) {
    Outcome out;
    try {
        norvik::OpenOptions o;
        o.simulatedFps = 0;
        o.lockDirectory = locks;
        auto cam = norvik::Camera::Open(o);
        cam->SetWindow(0, 0, 320, 240);
        for (int run = 0; run < 2; ++run) {
            cam->StartStreaming(false, 3);
            for (int i = 0; i < 3; ++i)
                if (cam->NextFrame(frameWait)) ++out.frames;
            if (run == 0) cam->Set("brightness", 300);
            cam->StopStreaming();
        }
        cam->Close();
    } catch (const std::exception& e) {
        out.error = e.what();
        if (out.error.empty()) out.error = "an error without a message";
    }
    return out;
}

// Everything the platform hands out, back to zero; a system thread may take
// a moment to drop its last reference after it ends.
std::string Leftovers() {
    for (int i = 0; i < 200 && kernel::LiveThreads() != 0; ++i) std::this_thread::sleep_for(5ms);
    std::string s;
    if (kernel::pool::TotalUsage().blocks != 0) s += "pool: " + kernel::pool::DescribeLive() + "; ";
    if (kernel::LiveIrps() != 0) s += std::to_string(kernel::LiveIrps()) + " IRPs; ";
    if (kernel::LiveMdls() != 0) s += std::to_string(kernel::LiveMdls()) + " MDLs; ";
    if (kernel::OpenHandles() != 0) s += std::to_string(kernel::OpenHandles()) + " handles; ";
    if (kernel::LiveThreads() != 0) s += std::to_string(kernel::LiveThreads()) + " threads; ";
    return s;
}

TEST(FaultSoak, EveryAllocationSiteFailedInTurnEndsCleanly) {
    const std::string locks = testing::TempDir() + "/soak-locks-" + std::to_string(::getpid());
    // A clean cycle counts the allocations a lifecycle makes.
    const uint64_t before = kernel::pool::AllocationCount();
    Outcome clean = Lifecycle(locks);
    ASSERT_EQ(clean.error, "");
    ASSERT_EQ(clean.frames, 6);
    const uint64_t sites = kernel::pool::AllocationCount() - before;
    ASSERT_GT(sites, 100u);
    ASSERT_EQ(Leftovers(), "");

    std::vector<uint64_t> chosen;
    if (std::getenv("NORVIK_SOAK_ALL") != nullptr) {
        for (uint64_t k = 1; k <= sites; ++k) chosen.push_back(k);
    } else {
        std::mt19937_64 rng = SeededRandom(0);
        const uint64_t count = EnvNumber("NORVIK_SOAK_COUNT", 20);
        std::set<uint64_t> pick;
        // Start-up and the first frame's requests, where failures change the
        // most, always; the rest a sample.
        for (uint64_t k = 1; k <= std::min<uint64_t>(sites, 40); ++k) pick.insert(k);
        while (pick.size() < std::min<uint64_t>(sites, 40 + count)) pick.insert(1 + rng() % sites);
        chosen.assign(pick.begin(), pick.end());
    }
    int failedCycles = 0;
    for (uint64_t k : chosen) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(sites) +
                     " failed");
        kernel::pool::FailNth(k);
        auto run = std::async(std::launch::async, [&] { return Lifecycle(locks, 2s); });
        if (run.wait_for(kGenerousWait) != std::future_status::ready) {
            ADD_FAILURE() << "the lifecycle hung";
            std::abort();  // its threads cannot be left running into the next run
        }
        const Outcome failed = run.get();
        kernel::pool::ClearFaults();
        if (!failed.error.empty()) ++failedCycles;
        ASSERT_EQ(Leftovers(), "")
            << "after: " << (failed.error.empty() ? "success" : failed.error);
        // The next cycle without failures works in full.
        const Outcome next = Lifecycle(locks);
        ASSERT_EQ(next.error, "");
        ASSERT_EQ(next.frames, 6);
        ASSERT_EQ(Leftovers(), "");
    }
    std::printf(
        "failed %zu of %llu allocation sites in turn; %d lifecycles ended with an error, the rest "
        "ran\n",
        chosen.size(), static_cast<unsigned long long>(sites), failedCycles);
}

// The camera unplugged at a random moment of a lifecycle at the camera's
// own pace: during the device's start, the stream's start, a frame, a
// property request, the stop or the close. The client is told the camera
// was unplugged (no other error, no wait for a time-out), the stop and close
// end soon after the removal, and nothing is left behind.
TEST(FaultSoak, SurpriseRemovalAtRandomMomentsEndsPromptlyAndCleanly) {
    using Clock = std::chrono::steady_clock;
    const std::string locks = testing::TempDir() + "/soak-locks-" + std::to_string(::getpid());
    std::mt19937_64 rng = SeededRandom(1);
    enum Phase { Start, StreamStart, Frames, Stop, Close, After, kPhases };
    const char* const kNames[] = {"device start", "stream start", "frames and properties",
                                  "stop",         "close",        "after the close"};
    struct Marks {
        Clock::time_point at[kPhases];
    };
    // One lifecycle; the moment of each phase's start goes into `marks`.
    auto lifecycle = [&](std::chrono::microseconds removeAfter, Marks& marks, std::string& error,
                         std::optional<Clock::time_point>& removedAt, Clock::time_point& ended) {
        std::unique_ptr<norvik::Camera> cam;
        try {
            norvik::OpenOptions o;
            o.simulatedFps = 30;
            o.lockDirectory = locks;
            marks.at[Start] = Clock::now();
            cam = norvik::CameraAccess::Open(o, {.removeAfter = removeAfter});
            marks.at[StreamStart] = Clock::now();
            cam->SetWindow(0, 0, 640, 480);
            cam->StartStreaming(false, 3);
            marks.at[Frames] = Clock::now();
            for (int i = 0; i < 4; ++i) {
                if (!cam->NextFrame(2s)) throw std::runtime_error("no frame within 2 s");
                cam->Set("brightness", 100 + i);
            }
            marks.at[Stop] = Clock::now();
            cam->StopStreaming();
            marks.at[Close] = Clock::now();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (cam) {
            removedAt = norvik::CameraAccess::Simulated(*cam)->RemovedAt();
            try {
                cam->StopStreaming();
                cam->Close();
            } catch (const std::exception& e) {
                if (error.empty()) error = e.what();
            }
        }
        ended = Clock::now();
        marks.at[After] = ended;
    };

    // A lifecycle without a removal sets the span the moments are drawn from.
    Marks clean{};
    std::string error;
    std::optional<Clock::time_point> removedAt;
    Clock::time_point ended;
    lifecycle(0us, clean, error, removedAt, ended);
    ASSERT_EQ(error, "");
    ASSERT_FALSE(removedAt.has_value());
    const auto span =
        std::chrono::duration_cast<std::chrono::microseconds>(ended - clean.at[Start]);

    const uint64_t count = EnvNumber("NORVIK_SOAK_REMOVALS", 12);
    int perPhase[kPhases] = {};
    Clock::duration worst{};
    for (uint64_t i = 0; i < count; ++i) {
        const auto delay =
            std::chrono::microseconds(1 + rng() % static_cast<uint64_t>(span.count()));
        SCOPED_TRACE("removal " + std::to_string(i) + " after " + std::to_string(delay.count()) +
                     " us");
        Marks marks{};
        error.clear();
        removedAt.reset();
        auto run = std::async(std::launch::async,
                              [&] { lifecycle(delay, marks, error, removedAt, ended); });
        if (run.wait_for(kGenerousWait) != std::future_status::ready) {
            ADD_FAILURE() << "the lifecycle hung";
            std::abort();
        }
        // Removed during the device's start, the open fails before the
        // simulated camera can be asked when; the delay says it.
        const Clock::time_point removal = removedAt.value_or(marks.at[Start] + delay);
        int phase = 0;
        while (phase + 1 < kPhases && marks.at[phase + 1] != Clock::time_point{} &&
               marks.at[phase + 1] <= removal)
            ++phase;
        if (!removedAt && error.empty())
            phase = After;  // the whole cycle ran before the moment came
        ++perPhase[phase];
        if (!error.empty()) {
            EXPECT_EQ(error, "the camera was unplugged") << "in the " << kNames[phase];
        }
        if (phase != After) {
            worst = std::max(worst, ended - removal);
            // A hang or a frame time-out (3 s) would show here; the figure
            // printed below is the one to watch.
            EXPECT_LT(ended - removal, 2s) << "in the " << kNames[phase];
        }
        ASSERT_EQ(Leftovers(), "");
    }
    std::printf("%llu surprise removals:", static_cast<unsigned long long>(count));
    for (int p = 0; p < kPhases; ++p) std::printf(" %s %d;", kNames[p], perPhase[p]);
    std::printf(" largest removal-to-closed time %.1f ms\n",
                std::chrono::duration<double, std::milli>(worst).count());
}

// A frame stalled at a random one of its 82 requests, a read failing or
// coming back short there, or the begin marker refused: the frame is given
// up, every request it made comes back from the bus and is freed, and the
// next frame is the scene byte for byte.
class BrokenFrames : public testing::Test {
  protected:
    void SetUp() override {
        // A short time-out keeps the stalls quick; the quiet spell of a
        // drain stays long enough for a sanitized, loaded machine.
        tunables.DrainQuiet(1000);
        ASSERT_EQ(frames.Prepare(), STATUS_SUCCESS);
    }
    CameraDevice& C() { return rig.Camera(); }
    CameraRig rig;
    FrameTransferRig frames{rig.Sim(), rig.Bus(), rig.Camera(), ReportTestFailure};
    // Last: the defaults are back before the camera goes.
    DriverTunables tunables;
};

TEST_F(BrokenFrames, EachIsGivenUpWithEveryRequestBackAndTheNextFrameIsWhole) {
    using Kind = sim::Exchange::Kind;
    std::mt19937_64 rng = SeededRandom(2);
    const uint64_t count = EnvNumber("NORVIK_SOAK_FRAMES", 12);
    const ULONG frame = C().RawFrameSize;
    const ULONG requests = (frame + 65535) / 65536;
    ASSERT_EQ(requests, 82u);
    // A refused marker is sent again after its pipe is cleared, and the
    // begin marker's result is not examined: a frame whose begin marker was
    // refused still comes. A command pipe that refuses everything gives none.
    const char* const kNames[] = {"a stall", "a failed read", "a short read",
                                  "the begin marker refused", "every marker refused"};
    int tried[5] = {};
    for (uint64_t i = 0; i < count; ++i) {
        const int kind = static_cast<int>(rng() % 5);
        const ULONG k = static_cast<ULONG>(rng() % requests);
        SCOPED_TRACE(std::string(kNames[kind]) + " at request " + std::to_string(k));
        ++tried[kind];
        rig.Sim().ClearRecord();
        tunables.FrameTimeout(300);
        switch (kind) {
            case 0:
                rig.Sim().StallFrameAfter(k * 65536 +
                                          static_cast<ULONG>(rng() % 65536) % (frame - k * 65536));
                break;
            case 1:
                rig.Sim().SkipFrameReads(static_cast<int>(k));
                rig.Sim().FailTransfers(0x86, 1, USBD_STATUS_XACT_ERROR);
                break;
            case 2:
                rig.Sim().SkipFrameReads(static_cast<int>(k));
                rig.Sim().ShortTransfers(0x86, 1,
                                         static_cast<ULONG>(rng() % 65536) % (frame - k * 65536));
                break;
            case 3:
                rig.Sim().FailTransfers(0x01, 1, USBD_STATUS_STALL_PID);
                break;
            case 4:
                rig.Sim().FailTransfers(0x01, 1000, USBD_STATUS_STALL_PID);
                break;
        }
        const bool whole = frames.Capture();
        if (kind == 3 && whole) {
            EXPECT_TRUE(frames.HoldsLastFrame());
        } else {
            EXPECT_FALSE(whole);
        }
        frames.CheckSettled();
        // Every read the frame submitted was completed to the driver once. A
        // drain of what an earlier frame given up may have left (the pipe is
        // clean only after a quiet read, which a slow machine may not have
        // reached) adds reads of its own, which CheckSettled holds to
        // completion too.
        size_t submitted = 0;
        for (const auto& e : rig.Sim().Record())
            if (e.kind == Kind::In && e.endpoint == 0x86 && e.status == STATUS_PENDING) ++submitted;
        EXPECT_GE(submitted, requests);
        EXPECT_EQ(C().TransferDoneCount, static_cast<LONG>(requests));
        rig.Sim().ClearFaults();
        tunables.FrameTimeout(kDefaultFrameTimeoutMs);
        ASSERT_TRUE(frames.Capture());
        ASSERT_TRUE(frames.HoldsLastFrame());
    }
    std::printf("%llu broken frames:", static_cast<unsigned long long>(count));
    for (int k = 0; k < 5; ++k) std::printf(" %s %d;", kNames[k], tried[k]);
    std::printf("\n");
}

// Every writable control set at random values, in and out of its range,
// from two threads while frames stream (the thread sanitizer build is where
// this counts). Each request ends with success or a clear refusal, frames
// keep coming, and afterwards every control reads back within its range.
TEST(FaultSoak, EveryWritableControlSetFromTwoThreadsWhileStreaming) {
    const std::string locks = testing::TempDir() + "/soak-locks-" + std::to_string(::getpid());
    norvik::OpenOptions o;
    o.simulatedFps = 0;
    o.lockDirectory = locks;
    auto cam = norvik::Camera::Open(o);
    cam->SetWindow(0, 0, 320, 240);
    cam->StartStreaming(false, 3);
    std::vector<norvik::ControlInfo> writable;
    for (const auto& c : norvik::Camera::Controls())
        // An external trigger would stop the frames this test counts on.
        if (c.writable && c.name != "ex_trigger") writable.push_back(c);
    ASSERT_GT(writable.size(), 10u);
    const auto seconds = std::chrono::seconds(EnvNumber("NORVIK_SOAK_HAMMER_S", 2));
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sets{0}, refused{0};
    std::vector<std::string> errors(2);
    auto hammer = [&](int t) {
        std::mt19937_64 rng = SeededRandom(3 + static_cast<uint64_t>(t));
        while (!stop) {
            const auto& c = writable[rng() % writable.size()];
            const int64_t lo = c.hasRange ? c.minimum - 5 : -5, hi = c.hasRange ? c.maximum + 5 : 5;
            const auto value = static_cast<int32_t>(
                lo + static_cast<int64_t>(rng() % static_cast<uint64_t>(hi - lo + 1)));
            try {
                cam->Set(c.name, value);
                ++sets;
            } catch (const norvik::Error& e) {
                // A refusal names the control; anything else is a fault.
                if (std::string(e.what()).find(c.name) == std::string::npos)
                    errors[static_cast<size_t>(t)] = e.what();
                ++refused;
            }
        }
    };
    std::thread a(hammer, 0), b(hammer, 1);
    uint64_t frames = 0;
    const auto until = std::chrono::steady_clock::now() + seconds;
    while (std::chrono::steady_clock::now() < until)
        if (cam->NextFrame(3s)) ++frames;
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(errors[0], "");
    EXPECT_EQ(errors[1], "");
    EXPECT_GT(frames, 0u);
    for (const auto& c : writable) {
        // Switches too: the client refuses any value but 0 and 1.
        if (!c.hasRange) continue;
        const int32_t v = cam->Get(c.name);
        EXPECT_GE(v, c.minimum) << c.name;
        EXPECT_LE(v, c.maximum) << c.name;
    }
    // The sensor holds what the driver reports: each change's two register
    // writes went together.
    const int32_t exposure = cam->Get("exposure"), gain = cam->Get("global_gain");
    sim::SimulatedCamera& sensor = *norvik::CameraAccess::Simulated(*cam);
    EXPECT_EQ(sensor.SensorRegister(0xA0).value_or(0xFFFF) |
                  (sensor.SensorRegister(0xA1).value_or(0) & 0x0F) << 8,
              static_cast<uint32_t>(1014 - exposure));
    EXPECT_EQ(sensor.SensorRegister(2).value_or(0xFFFF) | sensor.SensorRegister(3).value_or(0) << 8,
              static_cast<uint32_t>(gain));
    cam->StopStreaming();
    cam->Close();
    EXPECT_EQ(Leftovers(), "");
    std::printf(
        "%lld s of property hammering: %llu sets, %llu refused, %llu frames\n",
        static_cast<long long>(seconds.count()), static_cast<unsigned long long>(sets.load()),
        static_cast<unsigned long long>(refused.load()), static_cast<unsigned long long>(frames));
}

}  // namespace
