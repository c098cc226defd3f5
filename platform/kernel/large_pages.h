// Large buffers (frames of many megabytes) in huge pages where the system
// offers them (transparent huge pages "always" or "madvise"): a fresh
// 19.7 MB buffer then costs ten page faults instead of some 4800, which on
// a virtual machine is the difference between 2 ms and 30 ms or more.
#pragma once

#include <cstddef>

namespace kernel {

// Fresh zero pages for `size` bytes, starting on a huge-page boundary (from
// 4 MB on; smaller buffers take ordinary pages); null when they cannot be
// had. Given back with UnmapLargeBuffer.
void* MapLargeBuffer(size_t size);
void UnmapLargeBuffer(void* buffer, size_t size);
// Asks for huge pages over the whole huge pages inside memory already
// mapped and not yet touched (a block of 4 MB or more from malloc).
void AdviseHugePages(void* buffer, size_t size);

}  // namespace kernel
