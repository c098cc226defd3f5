// The writer pool of a burst capture.
#include "tools/burst_writer.h"

#include <pthread.h>

#include <algorithm>
#include <exception>

namespace tools {

BurstWriter::BurstWriter(int threads, size_t memoryLimitBytes) : limit_(memoryLimitBytes) {
    for (int i = 0; i < std::max(1, threads); ++i)
        threads_.emplace_back([this] {
            // Named for top -H; writers stay at normal priority.
            ::pthread_setname_np(::pthread_self(), "nv-writer");
            Worker();
        });
}

BurstWriter::~BurstWriter() {
    Finish();
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

bool BurstWriter::Reserve(size_t bytes) {
    std::lock_guard<std::mutex> g(lock_);
    if (!failure_.empty()) return false;
    // One frame always fits, however low the limit: a burst that cannot
    // hold two still writes every frame the writers keep up with.
    if (counts_.queued > 0 && counts_.bytesHeld + bytes > limit_) return false;
    counts_.bytesHeld += bytes;
    counts_.peakBytes = std::max(counts_.peakBytes, counts_.bytesHeld);
    ++counts_.queued;
    return true;
}

void BurstWriter::Unreserve(size_t bytes) {
    {
        std::lock_guard<std::mutex> g(lock_);
        counts_.bytesHeld -= std::min(bytes, counts_.bytesHeld);
        if (counts_.queued > 0) --counts_.queued;
    }
    idle_.notify_all();
}

void BurstWriter::Queue(size_t bytes, std::function<void()> work) {
    {
        std::lock_guard<std::mutex> g(lock_);
        queue_.push_back({bytes, std::move(work)});
    }
    wake_.notify_one();
}

void BurstWriter::Finish() {
    std::unique_lock<std::mutex> g(lock_);
    idle_.wait(g, [this] { return counts_.queued == 0; });
}

norvik::FrameMemory BurstWriter::TakeBuffer(size_t bytes) {
    {
        std::lock_guard<std::mutex> g(lock_);
        for (size_t i = 0; i < spares_.size(); ++i)
            if (spares_[i].size() == bytes) {
                norvik::FrameMemory b = std::move(spares_[i]);
                spares_.erase(spares_.begin() + static_cast<std::ptrdiff_t>(i));
                spareBytes_ -= bytes;
                return b;
            }
    }
    return norvik::FrameMemory(bytes);
}

void BurstWriter::GiveBack(norvik::FrameMemory buffer) {
    std::lock_guard<std::mutex> g(lock_);
    // The spares count against the limit with the frames still waiting
    // (this buffer's frame among them until its work returns).
    if (buffer.empty() || spareBytes_ + counts_.bytesHeld > limit_) return;
    spareBytes_ += buffer.size();
    spares_.push_back(std::move(buffer));
}

BurstWriter::Counts BurstWriter::GetCounts() {
    std::lock_guard<std::mutex> g(lock_);
    return counts_;
}

std::string BurstWriter::Failure() {
    std::lock_guard<std::mutex> g(lock_);
    return failure_;
}

void BurstWriter::Worker() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        Item item = std::move(queue_.front());
        queue_.pop_front();
        g.unlock();
        std::string error;
        bool ran = false;
        try {
            // After a failure the rest is let go unwritten: the capture is
            // ending with that failure.
            bool skip;
            {
                std::lock_guard<std::mutex> check(lock_);
                skip = !failure_.empty();
            }
            if (!skip) {
                item.work();
                ran = true;
            }
        } catch (const std::exception& e) {
            error = e.what();
        }
        item.work = nullptr;  // the frame's memory goes before it is counted free
        g.lock();
        if (!error.empty() && failure_.empty()) failure_ = error;
        if (ran) ++counts_.written;
        counts_.bytesHeld -= item.bytes;
        --counts_.queued;
        if (counts_.queued == 0) idle_.notify_all();
    }
}

}  // namespace tools
