// The simulated camera's scene as exposure and gain light it: each still
// sample v shows as v × signal, rounded and held to 0..255, whatever signal
// the frame before was lit with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "sim/test_scene.h"

namespace {

std::vector<uint8_t> Still(double signal) {
    std::vector<uint8_t> image(static_cast<size_t>(sim::kSceneWidth) * sim::kSceneHeight);
    sim::RenderStillRows(
        signal,
        [](void* context, int y) {
            return static_cast<uint8_t*>(context) + static_cast<size_t>(y) * sim::kSceneWidth;
        },
        image.data());
    return image;
}

TEST(Scene, EachFrameIsLitByItsOwnSignal) {
    const std::vector<uint8_t> asItIs = Still(1.0);  // a signal of 1 lights nothing up or down
    const auto lit = [&](double signal) {
        std::vector<uint8_t> want(asItIs.size());
        for (size_t i = 0; i < asItIs.size(); ++i)
            want[i] =
                static_cast<uint8_t>(std::clamp(std::floor(asItIs[i] * signal + 0.5), 0.0, 255.0));
        return want;
    };
    for (double signal : {0.5, 2.0, 1.0, 0.25}) {
        const std::vector<uint8_t> got = Still(signal);
        const std::vector<uint8_t> want = lit(signal);
        size_t wrong = 0;
        for (size_t i = 0; i < got.size(); ++i) wrong += got[i] != want[i];
        EXPECT_EQ(wrong, 0u) << "signal " << signal;
    }
}

}  // namespace
