// The test scene.
#include "sim/test_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace sim {
namespace {

// Six by four patches of familiar colours, in the upper left.
constexpr SceneRgb kPatches[4][6] = {
    {{115, 82, 68},
     {194, 150, 130},
     {98, 122, 157},
     {87, 108, 67},
     {133, 128, 177},
     {103, 189, 170}},
    {{214, 126, 44}, {80, 91, 166}, {193, 90, 99}, {94, 60, 108}, {157, 188, 64}, {224, 163, 46}},
    {{56, 61, 150}, {70, 148, 73}, {175, 54, 60}, {231, 199, 31}, {187, 86, 149}, {8, 133, 161}},
    {{243, 243, 242},
     {200, 200, 200},
     {160, 160, 160},
     {122, 122, 121},
     {85, 85, 85},
     {52, 52, 52}},
};

constexpr int kPatchLeft = 80, kPatchTop = 80, kPatchSize = 180, kPatchGap = 20;

// Seven-segment digits, segments a..g as bits 0..6.
constexpr uint8_t kDigitSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

bool InDigit(int digit, int x, int y, int w, int h) {
    const int t = w / 5;  // stroke
    uint8_t s = kDigitSegments[digit];
    bool top = y < t, mid = std::abs(y - h / 2) < t / 2 + 1, bottom = y >= h - t;
    bool left = x < t, right = x >= w - t, upper = y < h / 2, lower = y >= h / 2;
    return ((s & 0x01) && top) || ((s & 0x02) && right && upper) ||
           ((s & 0x04) && right && lower) || ((s & 0x08) && bottom) ||
           ((s & 0x10) && left && lower) || ((s & 0x20) && left && upper) || ((s & 0x40) && mid);
}

// The frame number, six digits, lower right.
bool InFrameNumber(uint32_t frame, int x, int y) {
    constexpr int kDigitW = 60, kDigitH = 100, kGap = 20, kLeft = 2560 - 6 * (kDigitW + kGap) - 60,
                  kTop = 1920 - 160;
    if (y < kTop || y >= kTop + kDigitH || x < kLeft) return false;
    int i = (x - kLeft) / (kDigitW + kGap);
    int dx = (x - kLeft) % (kDigitW + kGap);
    if (i >= 6 || dx >= kDigitW) return false;
    uint32_t value = frame;
    for (int k = 5; k > i; --k) value /= 10;
    return InDigit(static_cast<int>(value % 10), dx, y - kTop, kDigitW, kDigitH);
}

}  // namespace

namespace {

constexpr int kBallY = 1350, kBallRadius = 110;
constexpr int kDigitsTop = 1920 - 160, kDigitsBottom = 1920 - 60;

// A ball that crosses the lower band, 40 pixels a frame.
int BallX(uint32_t frame) {
    return static_cast<int>((frame * 40) % 2200) + 180;
}

SceneRgb Background(int x, int y);

}  // namespace

SceneRgb SceneColor(uint32_t frame, int x, int y) {
    int dx = x - BallX(frame), dy = y - kBallY;
    if (dx * dx + dy * dy <= kBallRadius * kBallRadius) return {250, 60, 30};
    if (InFrameNumber(frame, x, y)) return {255, 255, 255};
    return Background(x, y);
}

namespace {

SceneRgb Background(int x, int y) {
    int px = x - kPatchLeft, py = y - kPatchTop;
    if (px >= 0 && py >= 0) {
        int col = px / (kPatchSize + kPatchGap), row = py / (kPatchSize + kPatchGap);
        if (col < 6 && row < 4 && px % (kPatchSize + kPatchGap) < kPatchSize &&
            py % (kPatchSize + kPatchGap) < kPatchSize)
            return kPatches[row][col];
    }
    // Right of the patches: a hue sweep over a vertical brightness ramp.
    if (x >= 1320 && y < 900) {
        double hue = (x - 1320) / 1240.0 * 6.0;
        double v = 1.0 - y / 1000.0;
        double f = hue - std::floor(hue);
        int sector = static_cast<int>(hue) % 6;
        double rgb[6][3] = {{1, f, 0},     {1 - f, 1, 0}, {0, 1, f},
                            {0, 1 - f, 1}, {f, 0, 1},     {1, 0, 1 - f}};
        auto c = [&](double k) {
            return static_cast<uint8_t>(std::clamp(k * v * 255.0, 0.0, 255.0));
        };
        return {c(rgb[sector][0]), c(rgb[sector][1]), c(rgb[sector][2])};
    }
    // A grey ramp from black to white across the middle band.
    if (y >= 950 && y < 1100) {
        auto g = static_cast<uint8_t>(x * 255 / 2559);
        return {g, g, g};
    }
    return {40, 48, 56};
}

// RGGB: red at even row and column, blue at odd row and column.
uint8_t Mosaic(SceneRgb c, int x, int y) {
    return (y & 1) == 0 ? ((x & 1) == 0 ? c.r : c.g) : ((x & 1) == 0 ? c.g : c.b);
}

// The still part of the scene, mosaicked once: a frame is this with the
// moving ball and the frame number painted over it.
const std::vector<uint8_t>& StillMosaic() {
    static const std::vector<uint8_t> still = [] {
        std::vector<uint8_t> m(static_cast<size_t>(kSceneWidth) * kSceneHeight);
        for (int y = 0; y < kSceneHeight; ++y)
            for (int x = 0; x < kSceneWidth; ++x)
                m[static_cast<size_t>(y) * kSceneWidth + x] = Mosaic(Background(x, y), x, y);
        return m;
    }();
    return still;
}

// The still mosaic through one signal's light curve, kept for the signal
// last asked for: a frame then costs a copy of it and the painting of what
// moves.
// The light curve of a signal.
void LightCurve(double signal, uint8_t lut[256]) {
    for (int v = 0; v < 256; ++v)
        lut[v] = static_cast<uint8_t>(std::clamp(v * signal + 0.5, 0.0, 255.0));
}

class LitStill {
  public:
    // Copies row y of the still, lit by `signal`, to `to`.
    void Row(double signal, int y, uint8_t* to) {
        std::lock_guard<std::mutex> g(lock_);
        if (signal != signal_ || lit_.empty()) {
            uint8_t lut[256];
            LightCurve(signal, lut);
            const auto& still = StillMosaic();
            lit_.resize(still.size());
            for (size_t i = 0; i < still.size(); ++i) lit_[i] = lut[still[i]];
            signal_ = signal;
        }
        std::memcpy(to, lit_.data() + static_cast<size_t>(y) * kSceneWidth, kSceneWidth);
    }

  private:
    std::mutex lock_;
    double signal_ = -1;
    std::vector<uint8_t> lit_;
};

LitStill& Lit() {
    static LitStill* lit = new LitStill;
    return *lit;
}

}  // namespace

void RenderMosaicRows(uint32_t frame, double signal, uint8_t* (*row)(void* context, int y),
                      void* context) {
    const int ballX = BallX(frame);
    // The frame number's six digits span these columns.
    constexpr int kDigitsLeft = 2560 - 6 * 80 - 60;
    uint8_t lut[256];
    LightCurve(signal, lut);
    for (int y = 0; y < kSceneHeight; ++y) {
        uint8_t* line = row(context, y);
        Lit().Row(signal, y, line);
        auto paint = [&](int from, int to) {
            for (int x = from; x < to; ++x) line[x] = lut[Mosaic(SceneColor(frame, x, y), x, y)];
        };
        if (std::abs(y - kBallY) <= kBallRadius)
            paint(std::max(0, ballX - kBallRadius), std::min(kSceneWidth, ballX + kBallRadius + 1));
        if (y >= kDigitsTop && y < kDigitsBottom) paint(kDigitsLeft, kSceneWidth);
    }
}

void RenderMosaic(uint32_t frame, double signal, uint8_t* rows, size_t pitch) {
    struct Rows {
        uint8_t* base;
        size_t pitch;
    } r{rows, pitch};
    RenderMosaicRows(
        frame, signal,
        [](void* c, int y) {
            auto* at = static_cast<Rows*>(c);
            return at->base + static_cast<size_t>(y) * at->pitch;
        },
        &r);
}

}  // namespace sim
