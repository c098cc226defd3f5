// The replaced operator new that counts every allocation of the process, and
// those of each thread. Alone in its file, so the compiler never sees it
// paired with a delete it inlined elsewhere.
#include "tests/support/counting_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> newCalls{0};
thread_local uint64_t threadNewCalls = 0;
}  // namespace

uint64_t HeapAllocations() {
    return newCalls.load();
}

uint64_t ThreadHeapAllocations() {
    return threadNewCalls;
}

void* operator new(size_t n) {
    newCalls.fetch_add(1, std::memory_order_relaxed);
    ++threadNewCalls;
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
