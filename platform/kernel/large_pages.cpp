// Large buffers in huge pages.
#include "platform/kernel/large_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace kernel {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t RoundUp(size_t n) {
    return (n + kHugePage - 1) & ~(kHugePage - 1);
}

constexpr size_t kPage = 4096;

// Below this a buffer takes ordinary pages: rounded to a huge page, a small
// window's copy would hold 2 MB for a few kilobytes.
constexpr size_t kWorthHugePages = size_t{4} << 20;

size_t Length(size_t size) {
    return size >= kWorthHugePages ? RoundUp(size) : (size + kPage - 1) & ~(kPage - 1);
}

}  // namespace

void* MapLargeBuffer(size_t size) {
    if (size == 0) return nullptr;
    if (size < kWorthHugePages) {
        void* p = ::mmap(nullptr, Length(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    const size_t length = RoundUp(size);
    // Mapped a huge page larger, then trimmed to start on a boundary.
    void* p = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    if (aligned > start) ::munmap(p, aligned - start);
    const size_t tail = (start + length + kHugePage) - (aligned + length);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void UnmapLargeBuffer(void* buffer, size_t size) {
    if (buffer != nullptr) ::munmap(buffer, Length(size));
}

void AdviseHugePages(void* buffer, size_t size) {
    if (size < kWorthHugePages) return;
    const auto start = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t first = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    const uintptr_t end = (start + size) & ~(uintptr_t{kHugePage} - 1);
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

}  // namespace kernel
