// A picture's rows written into a pipe whose reader takes them a little at a
// time, while signals without SA_RESTART keep interrupting the writer: the
// writes come back short or with EINTR, and every byte still arrives once,
// in order.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "tools/gathered_write.h"

namespace {

std::atomic<int> interruptions{0};

void CountInterruption(int) {
    interruptions.fetch_add(1, std::memory_order_relaxed);
}

TEST(GatheredWrite, ASlowReaderGetsEveryRowThoughSignalsInterruptTheWriter) {
    // Bottom-up with padding at each row's end, as a client frame is laid out.
    constexpr size_t kRowBytes = 1000, kStride = 1024, kRows = 3000;
    std::vector<uint8_t> picture(kStride * kRows);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 131 + i / 7);
    const std::string head = "P6 1000 3000\n";
    std::vector<uint8_t> want(head.begin(), head.end());
    for (size_t r = kRows; r-- > 0;) {
        const uint8_t* row = picture.data() + r * kStride;
        want.insert(want.end(), row, row + kRowBytes);
    }

    struct sigaction quiet {
    }, before{};
    quiet.sa_handler = CountInterruption;
    sigemptyset(&quiet.sa_mask);
    quiet.sa_flags = 0;  // no SA_RESTART: a blocked write returns early
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &before), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);

    std::vector<uint8_t> got;
    std::thread reader([&] {
        uint8_t chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n > 0)
                got.insert(got.end(), chunk, chunk + n);
            else if (n == 0 || errno != EINTR)
                return;
        }
    });
    const pthread_t writer = ::pthread_self();
    std::atomic<bool> written{false};
    std::thread interrupter([&] {
        while (!written.load()) {
            ::pthread_kill(writer, SIGUSR1);
            std::this_thread::yield();
        }
    });
    const int status = tools::WriteGathered(fds[1], head.data(), head.size(),
                                            {picture.data() + (kRows - 1) * kStride,
                                             -static_cast<ptrdiff_t>(kStride), kRowBytes, kRows});
    written = true;
    interrupter.join();
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    ::sigaction(SIGUSR1, &before, nullptr);

    EXPECT_EQ(status, 0);
    EXPECT_GT(interruptions.load(), 0);  // the writes were in fact interrupted
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "the bytes arrived out of order or some twice";
}

}  // namespace
