// An independent pixel oracle: the conversion of a raw window into BGRA,
// written pixel by pixel from the camera's rules alone (the four Bayer
// patterns, the five 5 x 5 filters as literal tables, the border rules, the
// gains, the colour matrix with signed entries, the luma weights and the
// white-balance estimate). It shares no code with imaging/; the tests hold
// the driver's conversion, every instruction set of it, against this.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace oracle {

using Matrix = std::array<std::array<int32_t, 4>, 4>;

// The device's fixed-point matrix at its default settings (colour
// correction on, brightness 255, contrast and saturation 10, hue 0).
inline constexpr Matrix kDefaultMatrix = {
    {{87, -16, -6, 0}, {-14, 90, -20, 0}, {-9, -10, 91, 0}, {0, 0, 0, 64}}};
inline constexpr Matrix kIdentity = {{{64, 0, 0, 0}, {0, 64, 0, 0}, {0, 0, 64, 0}, {0, 0, 0, 64}}};

struct Settings {
    int phase = 2;  // 0 GRBG, 1 BGGR, 2 RGGB, anything else GBRG
    int32_t red = 128, green = 128, blue = 128;
    Matrix matrix = kDefaultMatrix;
    bool colour = true;
    bool estimate = false;
};

struct Result {
    std::vector<uint8_t> bgra;             // width x height, top row first
    int32_t red = 0, green = 0, blue = 0;  // the gains the frame was converted with
};

namespace detail {

// The filters, centre at [2][2], rows from two above to two below.
constexpr int kGreenAtRedOrBlue[5][5] = {
    {0, 0, -1, 0, 0}, {0, 0, 2, 0, 0}, {-1, 2, 4, 2, -1}, {0, 0, 2, 0, 0}, {0, 0, -1, 0, 0}};
constexpr int kColourBesideLeftRight[5][5] = {
    {0, 0, 1, 0, 0}, {0, -2, 0, -2, 0}, {-2, 8, 10, 8, -2}, {0, -2, 0, -2, 0}, {0, 0, 1, 0, 0}};
constexpr int kColourBesideUpDown[5][5] = {
    {0, 0, -2, 0, 0}, {0, -2, 8, -2, 0}, {1, 0, 10, 0, 1}, {0, -2, 8, -2, 0}, {0, 0, -2, 0, 0}};
constexpr int kOppositeColour[5][5] = {
    {0, 0, -3, 0, 0}, {0, 4, 0, 4, 0}, {-3, 0, 12, 0, -3}, {0, 4, 0, 4, 0}, {0, 0, -3, 0, 0}};

// 'R', 'G' or 'B' at (row, column) of a pattern.
inline char Colour(int phase, int row, int col) {
    static const char* const kPatterns[4] = {"GRBG", "BGGR", "RGGB", "GBRG"};
    const char* p = kPatterns[phase >= 0 && phase <= 2 ? phase : 3];
    return p[(row & 1) * 2 + (col & 1)];
}

// The window line a border line copies. Windows of 8 or more: the top and
// left mirror about line 0, the bottom repeats lines H-4 and H-3, the right
// mirrors about the last column. Smaller windows: the same line where it
// exists, else the nearest line of the same parity, else line 0.
inline int Source(int i, int n, bool rows) {
    if (i >= 0 && i < n) return i;
    int preferred = i < 0 ? -i : rows ? i - 4 : 2 * (n - 1) - i;
    if (n >= 8) return preferred;
    if (preferred >= 0 && preferred < n) return preferred;
    for (int d = 2; d <= n + 2; d += 2) {
        int c = i < 0 ? i + d : i - d;
        if (c >= 0 && c < n) return c;
    }
    return 0;
}

struct Window {
    const std::vector<uint8_t>& raw;
    int width, height, pitch;
    int At(int r, int c) const {
        const int row = Source(r, height, true);
        return raw[static_cast<size_t>(row) * pitch + Source(c, width, false)];
    }
    int Apply(const int (&f)[5][5], int r, int c, int shift) const {
        int sum = 0;
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx) sum += f[dy + 2][dx + 2] * At(r + dy, c + dx);
        return std::min(255, (std::max(sum, 0) + (1 << (shift - 1))) >> shift);
    }
};

inline std::array<int, 3> Interpolate(const Window& w, int phase, int r, int c) {
    const char here = Colour(phase, r, c);
    const int v = w.At(r, c);
    if (here == 'G') {
        // Which colour sits left and right of this green, which above and below.
        const char beside = Colour(phase, r, c + 1);
        const int lr = w.Apply(kColourBesideLeftRight, r, c, 4),
                  ud = w.Apply(kColourBesideUpDown, r, c, 4);
        return beside == 'R' ? std::array<int, 3>{lr, v, ud} : std::array<int, 3>{ud, v, lr};
    }
    const int g = w.Apply(kGreenAtRedOrBlue, r, c, 3), other = w.Apply(kOppositeColour, r, c, 4);
    return here == 'R' ? std::array<int, 3>{v, g, other} : std::array<int, 3>{other, g, v};
}

inline int Gain(int v, int32_t gain) {
    const int64_t g = static_cast<uint32_t>(gain) & 0xFFFF;
    return static_cast<int>(std::min<int64_t>(255, (v * g) >> 7));
}

}  // namespace detail

// Converts the window whose top-left pixel is raw[0], rows `pitch` apart.
inline Result Convert(const std::vector<uint8_t>& raw, int width, int height, int pitch,
                      const Settings& s) {
    using namespace detail;
    const Window w{raw, width, height, pitch};
    Result out;
    out.red = s.red, out.green = s.green, out.blue = s.blue;
    if (s.estimate) {
        uint64_t sum[3] = {0, 0, 0};
        for (int r = 0; r < height; ++r)
            for (int c = 0; c < width; ++c) {
                auto v = Interpolate(w, s.phase, r, c);
                for (int k = 0; k < 3; ++k) sum[k] += static_cast<uint64_t>(v[k]);
            }
        if (sum[0] != 0 && sum[1] != 0 && sum[2] != 0) {
            const double all = static_cast<double>(sum[1]) + static_cast<double>(sum[0]) +
                               static_cast<double>(sum[2]);
            const double e = all / static_cast<double>(sum[1]) / 3.0;
            auto gain = [&](uint64_t channel) {
                const double g = all / static_cast<double>(channel) / 3.0 * 128.0 / e;
                return g >= 512.0 ? 512 : g < 1.0 ? 1 : static_cast<int32_t>(g);
            };
            out.red = gain(sum[0]);
            out.blue = gain(sum[2]);
            out.green = 128;
        }
    }
    out.bgra.resize(static_cast<size_t>(width) * height * 4);
    uint8_t* px = out.bgra.data();
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c, px += 4) {
            auto v = Interpolate(w, s.phase, r, c);
            const int in[3] = {Gain(v[0], out.red), Gain(v[1], out.green), Gain(v[2], out.blue)};
            int result[3];
            if (s.colour) {
                for (int j = 0; j < 3; ++j) {
                    // Positive and negative weights summed apart, each sum
                    // shifted before the difference.
                    int64_t pos = 0, neg = 0;
                    auto add = [&](int32_t m, int64_t x) {
                        const int64_t magnitude = (m < 0 ? -static_cast<int64_t>(m) : m) & 0xFFFF;
                        (m > 0 ? pos : neg) += magnitude * x;
                    };
                    add(s.matrix[3][j], 1);
                    for (int i = 0; i < 3; ++i) add(s.matrix[i][j], in[i]);
                    result[j] =
                        static_cast<int>(std::clamp<int64_t>((pos >> 6) - (neg >> 6), 0, 255));
                }
            } else {
                const int y = ((in[0] * 77) >> 8) + ((in[1] * 150) >> 8) + ((in[2] * 29) >> 8);
                result[0] = result[1] = result[2] = y;
            }
            px[0] = static_cast<uint8_t>(result[2]);
            px[1] = static_cast<uint8_t>(result[1]);
            px[2] = static_cast<uint8_t>(result[0]);
            px[3] = 255;
        }
    return out;
}

}  // namespace oracle
