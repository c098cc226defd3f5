// A picture's rows to a file or a pipe in a few large writes: one writev of
// up to IOV_MAX rows at a time, in the order they are given, with no copy
// and no stdio. Every consumer of the frame path pays for what happens here
// once a frame, so a frame is never written a row at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tools {

// Rows of `rowBytes` bytes, the first at `first`, each `stride` bytes after
// the one before it (negative for a bottom-up buffer written top first).
struct Rows {
    const uint8_t* first = nullptr;
    ptrdiff_t stride = 0;
    size_t rowBytes = 0;
    size_t count = 0;
};

// Writes `head` (may be empty) and then the rows to `fd`, going on after
// short writes and EINTR. 0, or the errno of the write that failed; EINTR
// when `stop` (may be null) says so between two writes, so a signal ends
// it even while a reader holds the pipe up.
int WriteGathered(int fd, const void* head, size_t headBytes, const Rows& rows,
                  bool (*stop)() = nullptr);

}  // namespace tools
