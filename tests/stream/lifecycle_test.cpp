// The whole driver from device arrival to streaming and back, and the same
// cycle with each allocation failing in turn.
#include <gtest/gtest.h>

#include <chrono>

#include "host/camera_stack.h"
#include "platform/kernel/pool.h"
#include "tests/support/driver_tunables.h"
#include "tests/support/streaming_rig.h"

namespace {

using namespace std::chrono_literals;
constexpr ULONG kImage = 2560 * 1920 * 4;

// Arrival, properties, a pin through its states with frames, pause and run,
// stop, close, device stop, start again, removal. Returns how many frames
// came back filled; with `tolerant` set a failing step ends the cycle early
// instead of failing the test.
int Cycle(bool tolerant) {
    int filled = 0;
    {
        host::StackOptions o;
        o.stage = host::Stage::Added;
        o.simulatedFps = 0;
        o.keyPath = kernel::registry::CameraKeyPath(0);
        o.keepKeysOnClose = true;
        std::unique_ptr<host::CameraStack> stack;
        try {
            stack = host::CameraStack::Open(std::move(o));
        } catch (const host::StackError&) {
            EXPECT_TRUE(tolerant);
            return 0;
        }
        ks::HostedDevice* device = &stack->Device();
        NTSTATUS status;
        NTSTATUS started = device->Start();
        if (!tolerant) {
            EXPECT_EQ(started, STATUS_SUCCESS);
        }
        {
            auto filter = ks::Filter::Open(*device, u"GLOBAL", &status);
            if (filter) {
                CAMPROP_VALUE_S r{};
                r.Property = {PROPSETID_NorvikControl, CAMPROP_BRIGHTNESS, KSPROPERTY_TYPE_SET};
                r.Value = 280;
                CAMPROP_VALUE_S d = r;
                filter->Property(&r, sizeof r, &d, sizeof d);
                KS_DATARANGE_VIDEO range = OfferedDataRange;
                std::vector<uint8_t> format(152);
                ULONG written = 0;
                filter->Intersect(0, &range, sizeof range, format.data(), 152, &written);
                auto pin = filter->CreatePin(0, format.data(), 152, &status);
                if (!tolerant) {
                    EXPECT_NE(pin, nullptr);
                }
                if (pin) {
                    pin->UseClock(true);
                    NTSTATUS run = pin->SetState(KSSTATE_RUN);
                    if (!tolerant) {
                        EXPECT_EQ(run, STATUS_SUCCESS);
                    }
                    ClientFrame a(kImage), b(kImage);
                    pin->Submit(a.Header());
                    pin->Submit(b.Header());
                    auto wait = tolerant ? 400ms : 5000ms;
                    for (int i = 0; i < 2 && NT_SUCCESS(run); ++i) {
                        if (i == 1) {
                            pin->SetState(KSSTATE_PAUSE);
                            pin->SetState(KSSTATE_RUN);
                        }
                        KSSTREAM_HEADER* h = pin->WaitCompleted(wait);
                        if (h != nullptr && h->DataUsed == kImage) ++filled;
                        if (h != nullptr && h->DataUsed == 0) pin->Submit(h);
                    }
                    pin->SetState(KSSTATE_STOP);
                }
            }
        }
        device->Stop();
        device->Start();
        stack->Close();
    }
    return filled;
}

TEST(Lifecycle, ArrivalStreamingAndBackLeavesNothing) {
    EXPECT_GE(Cycle(false), 1);
    EXPECT_EQ(kernel::pool::TotalUsage().blocks, 0u) << kernel::pool::DescribeLive();
}

TEST(Lifecycle, EveryAllocationFailingInTurnEndsCleanly) {
    DriverTunables tunables;
    tunables.FrameTimeout(300);
    uint64_t before = kernel::pool::AllocationCount();
    Cycle(true);
    const uint64_t total = kernel::pool::AllocationCount() - before;
    ASSERT_GT(total, 100u);
    // Every allocation up to the first frames, then a sample of the rest:
    // the per-frame requests repeat the same few sites.
    std::vector<uint64_t> points;
    for (uint64_t n = 1; n <= 40; ++n) points.push_back(n);
    for (uint64_t n = 41; n <= total; n += total / 40 + 1) points.push_back(n);
    for (uint64_t n : points) {
        kernel::pool::FailNth(n);
        Cycle(true);
        kernel::pool::ClearFaults();
        ASSERT_EQ(kernel::pool::TotalUsage().blocks, 0u)
            << "allocation " << n << ": " << kernel::pool::DescribeLive();
        ASSERT_EQ(kernel::LiveIrps(), 0u) << n;
    }
}

}  // namespace
