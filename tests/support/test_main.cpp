// Test entry point: after every test the pool, the IRPs, the MDLs, the
// handles, the system threads and the streaming records (devices, filters,
// pins, object bags, processing threads) must all be back to zero.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/kernel/io.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/thread.h"
#include "platform/ks/ks_device.h"

namespace {

class LeakCheck : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { kernel::registry::Reset(); }
    void OnTestEnd(const testing::TestInfo& info) override {
        if (info.result()->Skipped()) return;
        kernel::pool::ClearFaults();
        // A system thread drops its own reference just after it signals its
        // end; give such a thread a moment to finish.
        for (int i = 0; i < 200 && kernel::LiveThreads() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(kernel::pool::TotalUsage().blocks, 0u)
            << "pool blocks left behind: " << kernel::pool::DescribeLive();
        EXPECT_EQ(kernel::LiveIrps(), 0u) << "IRPs left behind";
        EXPECT_EQ(kernel::LiveMdls(), 0u) << "MDLs left behind";
        EXPECT_EQ(kernel::OpenHandles(), 0u) << "handles left open";
        EXPECT_EQ(kernel::LiveThreads(), 0u) << "system threads left running";
        EXPECT_EQ(ks::DescribeLiveRecords(), "") << "streaming records left behind";
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
    return RUN_ALL_TESTS();
}
