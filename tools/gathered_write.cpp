// Gathered writes of a picture's rows.
#include "tools/gathered_write.h"

#include <limits.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace tools {

int WriteGathered(int fd, const void* head, size_t headBytes, const Rows& rows, bool (*stop)()) {
    constexpr size_t kBatch = IOV_MAX;
    iovec batch[kBatch];
    size_t next = 0;  // the next row not yet in a batch
    bool headDone = headBytes == 0;
    while (!headDone || next < rows.count) {
        size_t n = 0;
        if (!headDone) batch[n++] = {const_cast<void*>(head), headBytes};
        for (; n < kBatch && next < rows.count; ++n, ++next)
            batch[n] = {
                const_cast<uint8_t*>(rows.first + static_cast<ptrdiff_t>(next) * rows.stride),
                rows.rowBytes};
        headDone = true;
        // Written in full before the next batch: a short write leaves the
        // rest of this one.
        iovec* at = batch;
        size_t left = n;
        while (left > 0) {
            if (stop != nullptr && stop()) return EINTR;
            const ssize_t w = ::writev(fd, at, static_cast<int>(std::min<size_t>(left, kBatch)));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            auto done = static_cast<size_t>(w);
            while (left > 0 && done >= at->iov_len) {
                done -= at->iov_len;
                ++at;
                --left;
            }
            if (left > 0) {
                at->iov_base = static_cast<uint8_t*>(at->iov_base) + done;
                at->iov_len -= done;
            }
        }
    }
    return 0;
}

}  // namespace tools
