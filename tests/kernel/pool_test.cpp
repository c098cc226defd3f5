// The pool verifier: tags, double frees, overruns, usage and injected failures.
#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/kernel/pool.h"

namespace {

constexpr ULONG kTagA = PoolTag("Tsta");
constexpr ULONG kTagB = PoolTag("Tstb");

TEST(PoolVerifier, FreeUnderAnotherTagStopsNamingBothTags) {
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
            ExFreePoolWithTag(p, kTagB);
        },
        "BAD_POOL_CALLER: block tagged 'Tsta' freed with tag 'Tstb'");
}

TEST(PoolVerifier, DoubleFreeStopsNamingTheTag) {
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
            ExFreePoolWithTag(p, kTagA);
            ExFreePoolWithTag(p, kTagA);
        },
        "block tagged 'Tsta' freed twice");
}

TEST(PoolVerifier, WritePastTheEndStopsAtFree) {
    EXPECT_DEATH(
        {
            auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagA));
            // The verifier's guard lies right behind the block; a one-byte
            // overrun is what it exists to catch.
            p[10] = 0;
            ExFreePoolWithTag(p, kTagA);
        },
        "block tagged 'Tsta' of 10 bytes was written past its end");
}

TEST(PoolVerifier, FreeOfAForeignAddressStops) {
    static int notPool;
    EXPECT_DEATH(ExFreePool(&notPool), "not a pool block");
}

TEST(PoolUsage, CountsLiveBlocksAndBytesPerTag) {
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTagA);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
    EXPECT_EQ(kernel::pool::TagUsage(kTagA).blocks, 2u);
    EXPECT_EQ(kernel::pool::TagUsage(kTagA).bytes, 128u);
    EXPECT_EQ(kernel::pool::TagUsage(kTagB).bytes, 7u);
    EXPECT_NE(kernel::pool::DescribeLive().find("'Tsta' 2 block(s) 128 bytes"), std::string::npos);
    ExFreePoolWithTag(a, kTagA);
    ExFreePool(b);  // the untagged free accepts any tag
    ExFreePoolWithTag(c, kTagB);
    EXPECT_EQ(kernel::pool::TagUsage(kTagA).blocks, 0u);
    EXPECT_EQ(kernel::pool::TotalUsage().bytes, 0u);
}

TEST(PoolUsage, FreshBlocksAreNotZeroed) {
    // Callers must clear what they rely on; a zero block would hide that.
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
    EXPECT_NE(p[0], 0);
    ExFreePoolWithTag(p, kTagA);
}

// Small blocks are handed out again after their free. A reused block is a new
// block: fresh garbage, its own guard and tag, the old address live again,
// and a second free of it is still caught.
TEST(PoolUsage, ReusedBlocksAreFreshBlocks) {
    std::vector<void*> first;
    for (int i = 0; i < 64; ++i) first.push_back(ExAllocatePoolWithTag(NonPagedPool, 40, kTagA));
    for (void* p : first) {
        std::memset(p, 0, 40);
        ExFreePoolWithTag(p, kTagA);
    }
    for (int i = 0; i < 64; ++i) {
        auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 24, kTagB));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p[0], 0xCD);
        EXPECT_EQ(p[23], 0xCD);
        EXPECT_EQ(kernel::pool::TagUsage(kTagB).bytes, 24u);
        ExFreePoolWithTag(p, kTagB);
    }
    EXPECT_EQ(kernel::pool::TagUsage(kTagA).blocks, 0u);
    EXPECT_EQ(kernel::pool::TagUsage(kTagB).blocks, 0u);
    EXPECT_TRUE(kernel::pool::UsageByTag().empty()) << kernel::pool::DescribeLive();
    EXPECT_DEATH(
        {
            for (int i = 0; i < 1000; ++i) {
                auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 24, kTagB));
                ExFreePoolWithTag(p, kTagB);
                if (i == 999) ExFreePoolWithTag(p, kTagB);
            }
        },
        "block tagged 'Tstb' freed twice");
    EXPECT_DEATH(
        {
            auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 24, kTagB));
            ExFreePoolWithTag(p, kTagB);
            p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 20, kTagA));
            p[20] = 0;  // inside the old block's size, past the new one's
            ExFreePoolWithTag(p, kTagA);
        },
        "block tagged 'Tsta' of 20 bytes was written past its end");
}

TEST(PoolFaults, FailsTheNthAllocationOnly) {
    kernel::pool::FailNth(2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePool(first);
    ExFreePool(third);
}

TEST(PoolFaults, FailsOneTagAfterSkipping) {
    kernel::pool::FailTag(kTagB, 1);
    void* b1 = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    void* b2 = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(b1, nullptr);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b2, nullptr);
    kernel::pool::ClearFaults();
    void* b3 = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(b3, nullptr);
    ExFreePool(b1);
    ExFreePool(a);
    ExFreePool(b3);
}

TEST(PoolFaults, RandomFailuresRepeatForTheSameSeed) {
    auto pattern = [] {
        kernel::pool::FailRandom(1234, 0.5);
        std::string s;
        for (int i = 0; i < 64; ++i) {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
            s += p ? '1' : '0';
            if (p) ExFreePool(p);
        }
        kernel::pool::ClearFaults();
        return s;
    };
    std::string first = pattern();
    EXPECT_EQ(first, pattern());
    EXPECT_NE(first.find('0'), std::string::npos);
    EXPECT_NE(first.find('1'), std::string::npos);
}

}  // namespace

namespace {

constexpr ULONG kSpecialTag = PoolTag("Tspc");

TEST(PoolVerifier, RefusesZeroBytesAndTagsThatAreNotFourPrintableCharacters) {
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 0, kSpecialTag),
                 "BAD_POOL_CALLER: a zero-byte pool allocation");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 8, 0), "is not four printable characters");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("ab\x01z")),
                 "is not four printable characters");
}

TEST(PoolVerifier, AWriteBeforeTheStartIsCaughtAtTheFreeByTheHeader) {
    EXPECT_DEATH(
        {
            auto* p =
                static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 40, kSpecialTag));
            p[-32] = 0;  // the first byte of the header in front of the block
            ExFreePoolWithTag(const_cast<UCHAR*>(p), kSpecialTag);
        },
        "header of a pool block was overwritten");
}

// The special pool: each block against an inaccessible page.
class SpecialPoolTest : public testing::Test {
  protected:
    void TearDown() override { kernel::pool::SetSpecialPool(kernel::pool::Special::Off); }
};

TEST_F(SpecialPoolTest, BlocksWorkAsOrdinaryOnesAndAreCountedAndFreed) {
    kernel::pool::SetSpecialPool(kernel::pool::Special::Overruns);
    for (SIZE_T size : {SIZE_T{1}, SIZE_T{100}, SIZE_T{4096}, SIZE_T{5000}, SIZE_T{5324800}}) {
        auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kSpecialTag));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        std::memset(p, 0x5A, size);  // every byte of it is there
        EXPECT_EQ(kernel::pool::TagUsage(kSpecialTag).bytes, size);
        ExFreePoolWithTag(p, kSpecialTag);
    }
    EXPECT_EQ(kernel::pool::TagUsage(kSpecialTag).blocks, 0u);
    kernel::pool::SetSpecialPool(kernel::pool::Special::Underruns);
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 100, kSpecialTag));
    std::memset(p, 1, 100);
    ExFreePoolWithTag(p, kSpecialTag);
}

TEST_F(SpecialPoolTest, AnOverrunAnUnderrunAndAUseAfterFreeFaultOnTheAccess) {
    // No message: the access itself ends the process, as on the platform.
    EXPECT_DEATH(
        {
            kernel::pool::SetSpecialPool(kernel::pool::Special::Overruns);
            auto* p = static_cast<volatile UCHAR*>(
                ExAllocatePoolWithTag(NonPagedPool, 4096, kSpecialTag));
            p[4096] = 1;
            std::fprintf(stderr, "not caught\n");
        },
        testing::Not(testing::HasSubstr("not caught")));
    EXPECT_DEATH(
        {
            kernel::pool::SetSpecialPool(kernel::pool::Special::Underruns);
            auto* p =
                static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, kSpecialTag));
            p[-1] = 1;
            std::fprintf(stderr, "not caught\n");
        },
        testing::Not(testing::HasSubstr("not caught")));
    EXPECT_DEATH(
        {
            kernel::pool::SetSpecialPool(kernel::pool::Special::Overruns);
            auto* p =
                static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, kSpecialTag));
            ExFreePoolWithTag(const_cast<UCHAR*>(p), kSpecialTag);
            std::fprintf(stderr, "read %d: not caught\n", p[0]);
        },
        testing::Not(testing::HasSubstr("not caught")));
    // Within the 16-byte rounding the page does not reach: the guard
    // pattern catches it at the free.
    EXPECT_DEATH(
        {
            kernel::pool::SetSpecialPool(kernel::pool::Special::Overruns);
            auto* p =
                static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 100, kSpecialTag));
            p[100] = 1;
            ExFreePoolWithTag(const_cast<UCHAR*>(p), kSpecialTag);
        },
        "written past its end");
}

}  // namespace
