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

// One pass over each pair of rows: the four lumas of a 2 x 2 block and its
// chroma from the same loads (at an odd edge, from the pixels there are).
void BgraToI420(const uint8_t* top, ptrdiff_t stride, int width, int height, uint8_t* out) {
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    uint8_t* yPlane = out;
    uint8_t* uPlane = out + static_cast<size_t>(width) * static_cast<size_t>(height);
    uint8_t* vPlane = uPlane + static_cast<size_t>(cw) * static_cast<size_t>(ch);
    const int pairs = width / 2;
    for (int cy = 0; cy < ch; ++cy) {
        const int y0 = 2 * cy;
        const bool two = y0 + 1 < height;
        const uint8_t* a = top + static_cast<ptrdiff_t>(y0) * stride;
        const uint8_t* b = two ? a + stride : a;
        uint8_t* ya = yPlane + static_cast<size_t>(y0) * static_cast<size_t>(width);
        uint8_t* yb = ya + width;  // written only with a second row
        uint8_t* u = uPlane + static_cast<size_t>(cy) * static_cast<size_t>(cw);
        uint8_t* v = vPlane + static_cast<size_t>(cy) * static_cast<size_t>(cw);
        for (int cx = 0; cx < pairs; ++cx) {
            const uint8_t* p = a + 8 * cx;
            const uint8_t* q = b + 8 * cx;
            ya[2 * cx] = Luma(p[2], p[1], p[0]);
            ya[2 * cx + 1] = Luma(p[6], p[5], p[4]);
            int bl = p[0] + p[4], g = p[1] + p[5], r = p[2] + p[6];
            if (two) {
                yb[2 * cx] = Luma(q[2], q[1], q[0]);
                yb[2 * cx + 1] = Luma(q[6], q[5], q[4]);
                bl += q[0] + q[4], g += q[1] + q[5], r += q[2] + q[6];
                r = (r + 2) >> 2, g = (g + 2) >> 2, bl = (bl + 2) >> 2;
            } else {
                r = (r + 1) >> 1, g = (g + 1) >> 1, bl = (bl + 1) >> 1;
            }
            u[cx] = Cb(r, g, bl);
            v[cx] = Cr(r, g, bl);
        }
        if ((width & 1) != 0) {
            const int x = width - 1;
            const uint8_t* p = a + 4 * x;
            const uint8_t* q = b + 4 * x;
            ya[x] = Luma(p[2], p[1], p[0]);
            int bl = p[0], g = p[1], r = p[2];
            if (two) {
                yb[x] = Luma(q[2], q[1], q[0]);
                bl += q[0], g += q[1], r += q[2];
                r = (r + 1) >> 1, g = (g + 1) >> 1, bl = (bl + 1) >> 1;
            }
            u[pairs] = Cb(r, g, bl);
            v[pairs] = Cr(r, g, bl);
        }
    }
}

}  // namespace tools
