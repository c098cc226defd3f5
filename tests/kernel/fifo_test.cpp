// The frame path's queue: first in, first out through every pattern of
// pushes and pops, against std::deque as the oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <random>

#include "platform/kernel/fifo.h"

namespace {

TEST(Fifo, KeepsOrderThroughRandomPushesPopsAndErasesLikeADeque) {
    std::mt19937 rng(7);
    kernel::Fifo<int> fifo;
    std::deque<int> oracle;
    int next = 0;
    for (int step = 0; step < 20000; ++step) {
        const int op = static_cast<int>(rng() % 10);
        if (op < 5) {  // bursts of pushes let it fill and wrap at every size
            for (int k = static_cast<int>(rng() % 4); k >= 0; --k) {
                fifo.push_back(next);
                oracle.push_back(next++);
            }
        } else if (op < 9 && !oracle.empty()) {
            ASSERT_EQ(fifo.front(), oracle.front());
            fifo.pop_front();
            oracle.pop_front();
        } else if (!oracle.empty()) {
            const size_t at = rng() % oracle.size();
            fifo.erase(fifo.begin() + static_cast<std::ptrdiff_t>(at));
            oracle.erase(oracle.begin() + static_cast<std::ptrdiff_t>(at));
        }
        ASSERT_EQ(fifo.size(), oracle.size());
        ASSERT_EQ(fifo.empty(), oracle.empty());
        ASSERT_TRUE(std::equal(fifo.begin(), fifo.end(), oracle.begin(), oracle.end()))
            << "step " << step;
    }
}

// A popped item is let go at once: a transfer's last reference must not
// linger in the queue's storage.
TEST(Fifo, PopReleasesTheItem) {
    kernel::Fifo<std::shared_ptr<int>> fifo;
    auto a = std::make_shared<int>(1);
    auto b = std::make_shared<int>(2);
    fifo.push_back(a);
    fifo.push_back(b);
    fifo.pop_front();
    EXPECT_EQ(a.use_count(), 1);
    EXPECT_EQ(b.use_count(), 2);
    fifo.clear();
    EXPECT_EQ(b.use_count(), 1);
}

}  // namespace
