// BGRA to YUV4MPEG2.
#include "tools/video_formats.h"

#include <cstdio>

namespace tools {

std::string Y4mHeader(int width, int height, int rateNumerator, int rateDenominator) {
    char b[128];
    std::snprintf(b, sizeof b, "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\n",
                  width, height, rateNumerator, rateDenominator);
    return b;
}

size_t Y4mFrameBytes(int width, int height) {
    const size_t cw = (static_cast<size_t>(width) + 1) / 2,
                 ch = (static_cast<size_t>(height) + 1) / 2;
    return static_cast<size_t>(width) * static_cast<size_t>(height) + 2 * cw * ch;
}

namespace {

// 8-bit fixed point of the BT.601 limited-range matrix; the offsets keep
// every sum positive, so the shifts round to nearest.
inline uint8_t Luma(int r, int g, int b) {
    return static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}
inline uint8_t Cb(int r, int g, int b) {
    return static_cast<uint8_t>((-38 * r - 74 * g + 112 * b + 32896) >> 8);
}
inline uint8_t Cr(int r, int g, int b) {
    return static_cast<uint8_t>((112 * r - 94 * g - 18 * b + 32896) >> 8);
}

}  // namespace

void BgraToI420(const uint8_t* top, ptrdiff_t stride, int width, int height, uint8_t* out) {
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    uint8_t* yPlane = out;
    uint8_t* uPlane = out + static_cast<size_t>(width) * static_cast<size_t>(height);
    uint8_t* vPlane = uPlane + static_cast<size_t>(cw) * static_cast<size_t>(ch);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = top + static_cast<ptrdiff_t>(y) * stride;
        uint8_t* dst = yPlane + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x) dst[x] = Luma(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
    }
    for (int cy = 0; cy < ch; ++cy) {
        const int y0 = 2 * cy, rows = y0 + 1 < height ? 2 : 1;
        for (int cx = 0; cx < cw; ++cx) {
            const int x0 = 2 * cx, cols = x0 + 1 < width ? 2 : 1;
            int r = 0, g = 0, b = 0;
            for (int dy = 0; dy < rows; ++dy) {
                const uint8_t* p = top + static_cast<ptrdiff_t>(y0 + dy) * stride + 4 * x0;
                for (int dx = 0; dx < cols; ++dx) {
                    b += p[4 * dx];
                    g += p[4 * dx + 1];
                    r += p[4 * dx + 2];
                }
            }
            const int n = rows * cols;
            r = (r + n / 2) / n, g = (g + n / 2) / n, b = (b + n / 2) / n;
            uPlane[static_cast<size_t>(cy) * cw + cx] = Cb(r, g, b);
            vPlane[static_cast<size_t>(cy) * cw + cx] = Cr(r, g, b);
        }
    }
}

}  // namespace tools
