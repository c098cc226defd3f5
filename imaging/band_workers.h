// A few threads that convert bands of a frame's rows beside the thread that
// asked for the frame. They live as long as their ImageProcessor: a frame
// only hands them work and waits, nothing is created or allocated per frame.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "imaging/image_processor.h"

struct BandWorkers {
    using Work = void (*)(void* context, int band);

    // `helpers` threads besides the caller's.
    explicit BandWorkers(int helpers);
    ~BandWorkers();
    BandWorkers(const BandWorkers&) = delete;
    BandWorkers& operator=(const BandWorkers&) = delete;

    int Helpers() const { return static_cast<int>(threads_.size()); }
    // One processor view a band, made with the workers.
    ImageProcessor* Views() { return views_.data(); }
    // Runs work(context, b) for b in [0, bands): band 0 on the calling
    // thread, the others on the helpers (bands - 1 <= Helpers()); returns
    // when all are done.
    void Run(int bands, Work work, void* context);

  private:
    void Loop(int index);

    std::mutex lock_;
    std::condition_variable wake_, done_;
    unsigned long generation_ = 0;
    int bands_ = 0, pending_ = 0;
    Work work_ = nullptr;
    void* context_ = nullptr;
    bool stop_ = false;
    std::vector<std::thread> threads_;
    std::vector<ImageProcessor> views_;
};

// The default number of threads for a conversion: NORVIKCAM_THREADS when it
// is a number from 1 to 64, else one a core.
int DefaultConversionThreads();
