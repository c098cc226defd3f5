// Arithmetic shared by every instruction set.
#include <cstdint>

#include "imaging/bayer.h"
#include "imaging/kernels.h"

void WhiteBalanceFromSums(ULONG sumR, ULONG sumG, ULONG sumB, LONG* red, LONG* green, LONG* blue) {
    if (sumR == 0 || sumG == 0 || sumB == 0) return;
    double s = static_cast<double>(sumG) + sumR + sumB;
    double e = s / sumG / 3.0;
    double r = s / sumR / 3.0 * 128.0 / e;
    double b = s / sumB / 3.0 * 128.0 / e;
    // A nearly empty channel asks for a huge gain. The kernels take the low
    // 16 bits of a gain, so 65536 would turn the channel black, and the
    // gains are copied back into the settings, whose range is 1..512: an
    // estimate is held to that range like a gain set by hand.
    auto limit = [](double g) {
        return g >= 512.0 ? LONG{512} : g < 1.0 ? LONG{1} : static_cast<LONG>(g);
    };
    *red = limit(r);
    *blue = limit(b);
    *green = 128;
}

bool ColorSumsFit16Bits(const ImageProcessor* ip) {
    auto mag = [ip](int i, int j) {
        LONG m = ip->frameMatrix[i][j];
        return static_cast<uint32_t>(m < 0 ? -static_cast<int64_t>(m) : m) & 0xFFFF;
    };
    for (int j = 0; j < 3; ++j)
        if (255 * (mag(0, j) + mag(1, j) + mag(2, j)) + mag(3, j) > 65535) return false;
    return true;
}
