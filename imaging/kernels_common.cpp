// Arithmetic shared by every instruction set, and the kernel selection.
#include <atomic>
#include <limits>

#include "imaging/bayer.h"
#include "imaging/kernels.h"

void WhiteBalanceFromSums(ULONG sumR, ULONG sumG, ULONG sumB, LONG* red, LONG* green, LONG* blue) {
    if (sumR == 0 || sumG == 0 || sumB == 0) return;
    double s = static_cast<double>(sumG) + sumR + sumB;
    double e = s / sumG / 3.0;
    double r = s / sumR / 3.0 * 128.0 / e;
    double b = s / sumB / 3.0 * 128.0 / e;
    // A nearly empty channel could ask for a gain beyond 32 bits; the
    // kernels use 16 bits of it anyway, so it is held at the largest value
    // rather than converted out of range.
    constexpr double kMax = std::numeric_limits<LONG>::max();
    *red = r >= kMax ? std::numeric_limits<LONG>::max() : static_cast<LONG>(r);
    *blue = b >= kMax ? std::numeric_limits<LONG>::max() : static_cast<LONG>(b);
    *green = 128;
}

namespace {
std::atomic<const KernelSet*> active{nullptr};
}

const KernelSet& KernelsFor(KernelIsa isa) { return isa == KernelIsa::Scalar ? ScalarKernels() : Sse2Kernels(); }

const KernelSet& ActiveKernels() {
    const KernelSet* k = active.load(std::memory_order_acquire);
    // x86-64 always has SSE2.
    return k != nullptr ? *k : Sse2Kernels();
}

void SelectKernels(KernelIsa isa) { active.store(&KernelsFor(isa), std::memory_order_release); }
