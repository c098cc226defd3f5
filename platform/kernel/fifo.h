// A first-in first-out queue that stops allocating once it has held its
// largest number of items: a vector read from a moving head, compacted when
// it would otherwise grow. The queues on the frame path (transfers waiting
// on an endpoint, completions waiting for the bus thread, frames waiting for
// the client) cycle through hundreds of items per frame; a std::deque would
// allocate and free a chunk every few dozen of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace kernel {

template <typename T>
class Fifo {
  public:
    bool empty() const { return head_ == items_.size(); }
    size_t size() const { return items_.size() - head_; }
    T& front() { return items_[head_]; }
    T& operator[](size_t i) { return items_[head_ + i]; }
    auto begin() { return items_.begin() + static_cast<std::ptrdiff_t>(head_); }
    auto end() { return items_.end(); }

    void push_back(T item) {
        if (head_ > 0 && items_.size() == items_.capacity()) {
            // Room at the front: move the live items down rather than grow.
            std::move(items_.begin() + static_cast<std::ptrdiff_t>(head_), items_.end(),
                      items_.begin());
            items_.resize(items_.size() - head_);
            head_ = 0;
        }
        items_.push_back(std::move(item));
    }

    void pop_front() {
        items_[head_] = T();  // a held reference is let go now, not at the next compaction
        if (++head_ == items_.size()) clear();
    }

    void erase(typename std::vector<T>::iterator at) {
        items_.erase(at);
        if (head_ == items_.size()) clear();
    }

    // Keeps the capacity.
    void clear() {
        items_.clear();
        head_ = 0;
    }

  private:
    std::vector<T> items_;
    size_t head_ = 0;
};

}  // namespace kernel
