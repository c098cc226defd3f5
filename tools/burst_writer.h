// Writes a burst of frames on a pool of threads while the capture goes on:
// the capture thread hands over each frame's copy with the work that writes
// it, and is told at once when the memory the waiting frames hold would
// pass the limit, so it can let that frame go instead of falling behind
// the camera.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/camera.h"
#include "platform/kernel/fifo.h"

namespace tools {

class BurstWriter {
  public:
    BurstWriter(int threads, size_t memoryLimitBytes);
    ~BurstWriter();  // waits for the queued work
    BurstWriter(const BurstWriter&) = delete;
    BurstWriter& operator=(const BurstWriter&) = delete;

    // Sets aside `bytes` for a frame about to be copied; false, with nothing
    // set aside, when that would pass the limit or a write has failed. Each
    // reservation is followed by exactly one Queue of the same size, or by
    // Unreserve where the frame could not be made ready.
    bool Reserve(size_t bytes);
    void Unreserve(size_t bytes);
    // Queues the work that writes the reserved frame; the bytes are free
    // again once it has run.
    void Queue(size_t bytes, std::function<void()> work);
    // Waits until every queued piece of work has run.
    void Finish();
    // A buffer of `bytes` bytes for a frame's copy: one a written frame gave
    // back (its old contents still in it), or a new one. Recycled, a long
    // burst faults no fresh pages a frame on the thread that takes frames.
    norvik::FrameMemory TakeBuffer(size_t bytes);
    // Gives a written frame's buffer back (kept while the spares stay
    // within the memory limit).
    void GiveBack(norvik::FrameMemory buffer);

    struct Counts {
        uint64_t written = 0;  // work that ran to the end
        size_t queued = 0;     // waiting or running
        size_t bytesHeld = 0;  // what they hold
        size_t peakBytes = 0;  // the most ever held at once
    };
    Counts GetCounts();
    // The first write that failed (its exception's message), or empty.
    std::string Failure();
    size_t Limit() const { return limit_; }

  private:
    struct Item {
        size_t bytes = 0;
        std::function<void()> work;
    };
    void Worker();

    const size_t limit_;
    std::mutex lock_;
    std::condition_variable wake_, idle_;
    kernel::Fifo<Item> queue_;
    Counts counts_;
    bool stopping_ = false;
    std::string failure_;
    std::vector<std::thread> threads_;
    std::vector<norvik::FrameMemory> spares_;
    size_t spareBytes_ = 0;
};

}  // namespace tools
