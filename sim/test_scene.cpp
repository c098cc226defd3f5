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
constexpr int kDigitW = 60, kDigitH = 100, kDigitGap = 20,
              kDigitsLeft = 2560 - 6 * (kDigitW + kDigitGap) - 60, kDigitsTop = 1920 - 160;

bool InFrameNumber(uint32_t frame, int x, int y) {
    constexpr int kLeft = kDigitsLeft, kTop = kDigitsTop, kGap = kDigitGap;
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
constexpr SceneRgb kBallColor{250, 60, 30}, kDigitColor{255, 255, 255};

// A ball that crosses the lower band, 40 pixels a frame.
int BallX(uint32_t frame) {
    return static_cast<int>((frame * 40) % 2200) + 180;
}

SceneRgb Background(int x, int y);

}  // namespace

SceneRgb SceneColor(uint32_t frame, int x, int y) {
    int dx = x - BallX(frame), dy = y - kBallY;
    if (dx * dx + dy * dy <= kBallRadius * kBallRadius) return kBallColor;
    if (InFrameNumber(frame, x, y)) return kDigitColor;
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
    // Never destroyed: a camera's thread may still paint while the program
    // exits.
    static const auto* still = new std::vector<uint8_t>([] {
        std::vector<uint8_t> m(static_cast<size_t>(kSceneWidth) * kSceneHeight);
        for (int y = 0; y < kSceneHeight; ++y)
            for (int x = 0; x < kSceneWidth; ++x)
                m[static_cast<size_t>(y) * kSceneWidth + x] = Mosaic(Background(x, y), x, y);
        return m;
    }());
    return *still;
}

class LitStill {
  public:
    // Calls row(y) for every image row with the still, lit by `signal`,
    // copied into it.
    void Rows(double signal, uint8_t* (*row)(void* context, int y), void* context) {
        std::lock_guard<std::mutex> g(lock_);
        if (signal != signal_ || lit_.empty()) {
            uint8_t lut[256];
            LightCurve(signal, lut);
            const auto& still = StillMosaic();
            lit_.resize(still.size());
            for (size_t i = 0; i < still.size(); ++i) lit_[i] = lut[still[i]];
            signal_ = signal;
        }
        for (int y = 0; y < kSceneHeight; ++y)
            std::memcpy(row(context, y), lit_.data() + static_cast<size_t>(y) * kSceneWidth,
                        kSceneWidth);
    }

  private:
    std::mutex lock_;
    double signal_ = -1;
    std::vector<uint8_t> lit_;
};

// The still mosaic through the light curve last asked for, kept: a frame
// then costs a copy of it and the painting of its spans.
LitStill& Lit() {
    static LitStill* lit = new LitStill;
    return *lit;
}

// A digit's strokes as runs of its rows, columns relative to the digit.
struct DigitRun {
    int row, from, to;
};

const std::vector<DigitRun>& DigitRuns(int digit) {
    static const auto* runs = new std::vector<std::vector<DigitRun>>([] {  // never destroyed
        std::vector<std::vector<DigitRun>> all(10);
        for (int d = 0; d < 10; ++d)
            for (int y = 0; y < kDigitH; ++y)
                for (int x = 0; x < kDigitW;) {
                    if (!InDigit(d, x, y, kDigitW, kDigitH)) {
                        ++x;
                        continue;
                    }
                    const int from = x;
                    while (x < kDigitW && InDigit(d, x, y, kDigitW, kDigitH)) ++x;
                    all[static_cast<size_t>(d)].push_back({y, from, x});
                }
        return all;
    }());
    return (*runs)[static_cast<size_t>(digit)];
}

}  // namespace

void LightCurve(double signal, uint8_t lut[256]) {
    for (int v = 0; v < 256; ++v)
        lut[v] = static_cast<uint8_t>(std::clamp(v * signal + 0.5, 0.0, 255.0));
}

void MovingSpans(uint32_t frame, std::vector<SceneSpan>& spans) {
    spans.clear();
    // The ball: the pixels within its radius of its centre, row by row.
    const int ballX = BallX(frame);
    for (int dy = -kBallRadius; dy <= kBallRadius; ++dy) {
        const int y = kBallY + dy;
        if (y < 0 || y >= kSceneHeight) continue;
        int half = 0;
        while ((half + 1) * (half + 1) + dy * dy <= kBallRadius * kBallRadius) ++half;
        spans.push_back(
            {y, std::max(0, ballX - half), std::min(kSceneWidth, ballX + half + 1), kBallColor});
    }
    // The frame number's six digits, most significant first.
    uint32_t value = frame;
    int digits[6];
    for (int i = 5; i >= 0; --i, value /= 10) digits[i] = static_cast<int>(value % 10);
    const size_t firstDigitSpan = spans.size();
    for (int i = 0; i < 6; ++i) {
        const int left = kDigitsLeft + i * (kDigitW + kDigitGap);
        for (const DigitRun& r : DigitRuns(digits[i]))
            spans.push_back({kDigitsTop + r.row, left + r.from, left + r.to, kDigitColor});
    }
    // Rows top first, the digits of one row left to right (a sort that
    // allocates nothing: frames are made while streaming).
    std::sort(spans.begin() + static_cast<std::ptrdiff_t>(firstDigitSpan), spans.end(),
              [](const SceneSpan& a, const SceneSpan& b) {
                  return a.y != b.y ? a.y < b.y : a.x0 < b.x0;
              });
}

void PaintSpan(const SceneSpan& s, const uint8_t lut[256], int from, int to, uint8_t* at) {
    const int x0 = std::max(s.x0, from), x1 = std::min(s.x1, to);
    for (int x = x0; x < x1; ++x) at[x - from] = lut[Mosaic(s.color, x, s.y)];
}

void RenderStillRows(double signal, uint8_t* (*row)(void* context, int y), void* context) {
    Lit().Rows(signal, row, context);
}

void RenderMosaicRows(uint32_t frame, double signal, uint8_t* (*row)(void* context, int y),
                      void* context) {
    RenderStillRows(signal, row, context);
    uint8_t lut[256];
    LightCurve(signal, lut);
    std::vector<SceneSpan> spans;
    MovingSpans(frame, spans);
    for (const SceneSpan& s : spans) PaintSpan(s, lut, 0, kSceneWidth, row(context, s.y));
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
