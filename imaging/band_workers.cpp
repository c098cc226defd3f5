// The band workers: each helper waits for a new generation of work, runs
// its band and reports back; the caller runs band 0 meanwhile.
#include "imaging/band_workers.h"

#include <cstdio>
#include <cstdlib>

#include "platform/kernel/frame_path.h"

BandWorkers::BandWorkers(int helpers) : views_(static_cast<size_t>(helpers) + 1) {
    threads_.reserve(static_cast<size_t>(helpers));
    for (int i = 0; i < helpers; ++i) threads_.emplace_back([this, i] { Loop(i); });
}

BandWorkers::~BandWorkers() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void BandWorkers::Run(int bands, Work work, void* context) {
    if (bands > Helpers() + 1) bands = Helpers() + 1;
    if (bands > 1) {
        std::lock_guard<std::mutex> g(lock_);
        work_ = work;
        context_ = context;
        bands_ = bands;
        pending_ = bands - 1;
        ++generation_;
        wake_.notify_all();
    }
    work(context, 0);
    if (bands > 1) {
        std::unique_lock<std::mutex> g(lock_);
        done_.wait(g, [this] { return pending_ == 0; });
    }
}

void BandWorkers::Loop(int index) {
    const kernel::FramePathThread onPath("nv-convert");
    unsigned long seen = 0;
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        const int band = index + 1;
        if (band >= bands_) continue;  // not needed this time
        Work work = work_;
        void* context = context_;
        g.unlock();
        work(context, band);
        g.lock();
        if (--pending_ == 0) done_.notify_all();
    }
}

int DefaultConversionThreads() {
    if (const char* v = std::getenv("NORVIKCAM_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (end != v && *end == 0 && n >= 1 && n <= 64) return static_cast<int>(n);
        // Said once, as for NORVIKCAM_KERNELS: a setting dropped silently
        // looks like one that took.
        static const bool warned = [v] {
            std::fprintf(stderr,
                         "NORVIKCAM_THREADS=%s: not a thread count 1..64; using one a core\n", v);
            return true;
        }();
        (void)warned;
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores > 64 ? 64 : static_cast<int>(cores);
}
