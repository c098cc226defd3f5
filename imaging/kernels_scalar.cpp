// The plain scalar reference: the same arithmetic as the vector kernels,
// one pixel at a time, kept to check them bit for bit.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "imaging/bayer.h"
#include "imaging/kernels.h"

namespace {

struct Rgb {
    int r, g, b;
};

struct Window {
    const UCHAR* p;
    int s;
    int operator()(int dy, int dx) const { return p[dy * s + dx]; }
};

int Round8(int sum) {
    return std::min((std::max(sum, 0) + 4) >> 3, 255);
}
int Round16(int sum) {
    return std::min((std::max(sum, 0) + 8) >> 4, 255);
}

int Cross(const Window& w) {
    return 4 * w(0, 0) + 2 * (w(-1, 0) + w(1, 0) + w(0, -1) + w(0, 1)) -
           (w(-2, 0) + w(2, 0) + w(0, -2) + w(0, 2));
}
int Diagonals(const Window& w) {
    return w(-1, -1) + w(-1, 1) + w(1, -1) + w(1, 1);
}
// The colour sits left and right of the centre.
int Horizontal(const Window& w) {
    return 10 * w(0, 0) + 8 * (w(0, -1) + w(0, 1)) - 2 * (w(0, -2) + w(0, 2)) - 2 * Diagonals(w) +
           (w(-2, 0) + w(2, 0));
}
// The colour sits above and below the centre.
int Vertical(const Window& w) {
    return 10 * w(0, 0) + 8 * (w(-1, 0) + w(1, 0)) - 2 * (w(-2, 0) + w(2, 0)) - 2 * Diagonals(w) +
           (w(0, -2) + w(0, 2));
}
// Blue at a red site or red at a blue one.
int Diagonal(const Window& w) {
    return 12 * w(0, 0) + 4 * Diagonals(w) - 3 * (w(-2, 0) + w(2, 0) + w(0, -2) + w(0, 2));
}

Rgb Interpolate(Site site, const Window& w) {
    switch (site) {
        case Site::Red:
            return {w(0, 0), Round8(Cross(w)), Round16(Diagonal(w))};
        case Site::Blue:
            return {Round16(Diagonal(w)), Round8(Cross(w)), w(0, 0)};
        case Site::GreenRedRow:
            return {Round16(Horizontal(w)), w(0, 0), Round16(Vertical(w))};
        case Site::GreenBlueRow:
            return {Round16(Vertical(w)), w(0, 0), Round16(Horizontal(w))};
    }
    return {0, 0, 0};
}

int Gain(int v, int g) {
    return std::min((v * g) >> 7, 255);
}

template <BayerPattern P, class Pixel>
void ForEachPixel(ImageProcessor* ip, Pixel&& pixel) {
    for (int r = 0; r < ip->workHeight; ++r) {
        const UCHAR* row = ip->workOrigin + static_cast<ptrdiff_t>(r) * ip->workStride;
        for (int c = 0; c < ip->workWidth; ++c)
            pixel(Interpolate(SiteOf(P, r & 1, c & 1), Window{row + c, ip->workStride}));
    }
}

template <BayerPattern P>
void ConvertColor(ImageProcessor* ip) {
    int gains[3] = {GainOf(ip->frameRedGain), GainOf(ip->frameGreenGain),
                    GainOf(ip->frameBlueGain)};
    unsigned mag[4][3];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) {
            LONG m = ip->frameMatrix[i][j];
            mag[i][j] = static_cast<unsigned>(m < 0 ? -static_cast<int64_t>(m) : m) & 0xFFFF;
        }
    UCHAR* out = ip->outputCursor;
    ForEachPixel<P>(ip, [&](Rgb v) {
        int in[3] = {Gain(v.r, gains[0]), Gain(v.g, gains[1]), Gain(v.b, gains[2])};
        int result[3];
        for (int j = 0; j < 3; ++j) {
            // The exact sums: at most 3 x 255 x 65535 + 65535, well inside
            // 32 bits, so neither accumulator can wrap or saturate.
            uint32_t pos = 0, neg = 0;
            (ip->framePositive[3][j] ? pos : neg) = mag[3][j];
            for (int i = 0; i < 3; ++i)
                (ip->framePositive[i][j] ? pos : neg) += static_cast<uint32_t>(in[i]) * mag[i][j];
            int o = static_cast<int>(pos >> 6) - static_cast<int>(neg >> 6);
            result[j] = std::min(std::max(o, 0), 255);
        }
        out[0] = static_cast<UCHAR>(result[2]);
        out[1] = static_cast<UCHAR>(result[1]);
        out[2] = static_cast<UCHAR>(result[0]);
        out[3] = 255;
        out += 4;
    });
}

template <BayerPattern P>
void ConvertGrey(ImageProcessor* ip) {
    int gr = GainOf(ip->frameRedGain), gg = GainOf(ip->frameGreenGain),
        gb = GainOf(ip->frameBlueGain);
    UCHAR* out = ip->outputCursor;
    ForEachPixel<P>(ip, [&](Rgb v) {
        int y = ((Gain(v.r, gr) * 77) >> 8) + ((Gain(v.g, gg) * 150) >> 8) +
                ((Gain(v.b, gb) * 29) >> 8);
        out[0] = out[1] = out[2] = static_cast<UCHAR>(y);
        out[3] = 255;
        out += 4;
    });
}

template <BayerPattern P>
void EstimateWhiteBalance(ImageProcessor* ip) {
    ULONG sr = 0, sg = 0, sb = 0;
    ForEachPixel<P>(ip, [&](Rgb v) {
        sr += static_cast<ULONG>(v.r);
        sg += static_cast<ULONG>(v.g);
        sb += static_cast<ULONG>(v.b);
    });
    ip->frameSums[0] = sr;
    ip->frameSums[1] = sg;
    ip->frameSums[2] = sb;
}

const KernelSet kScalar = {
    "scalar",
    {ConvertColor<GRBG>, ConvertColor<BGGR>, ConvertColor<RGGB>, ConvertColor<GBRG>},
    {ConvertGrey<GRBG>, ConvertGrey<BGGR>, ConvertGrey<RGGB>, ConvertGrey<GBRG>},
    {EstimateWhiteBalance<GRBG>, EstimateWhiteBalance<BGGR>, EstimateWhiteBalance<RGGB>,
     EstimateWhiteBalance<GBRG>},
};

}  // namespace

const KernelSet& ScalarKernels() {
    return kScalar;
}
