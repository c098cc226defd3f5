// The simulated camera's test scene: colour patches, gradients, an element
// that moves from frame to frame and the frame number, seen through an RGGB
// mosaic. The rendering is deterministic, so tests can render the same frame
// and compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr int kSceneWidth = 2560;
constexpr int kSceneHeight = 1920;

struct SceneRgb {
    uint8_t r, g, b;
};

// The scene's colour at a pixel of a frame, before the sensor.
SceneRgb SceneColor(uint32_t frameNumber, int x, int y);

// A run of one row, pixels x0 .. x1 - 1, that shows one colour where the
// still scene shows another: a stroke of the moving ball or of the frame
// number. A frame is the still scene with its spans painted over it.
struct SceneSpan {
    int y, x0, x1;
    SceneRgb color;
};
// The spans of one frame, rows top first (replacing what `spans` held).
void MovingSpans(uint32_t frameNumber, std::vector<SceneSpan>& spans);
// The light curve of a signal: a sample v is lit as lut[v].
void LightCurve(double signal, uint8_t lut[256]);
// Paints the part of a span between columns `from` and `to` (not included),
// lit by `lut`, through the mosaic: pixel x goes to at[x - from].
void PaintSpan(const SceneSpan& span, const uint8_t lut[256], int from, int to, uint8_t* at);
// The still scene's mosaic lit by `signal`, each image row y written where
// row(context, y) says: what every frame shows outside its spans.
void RenderStillRows(double signal, uint8_t* (*row)(void* context, int y), void* context);

// Renders the mosaic of one frame, image rows top first, `pitch` bytes apart.
// `signal` scales the light as exposure and gain do (1.0: the scene as it is).
void RenderMosaic(uint32_t frameNumber, double signal, uint8_t* rows, size_t pitch);
// The same, each image row y written where row(context, y) says.
void RenderMosaicRows(uint32_t frameNumber, double signal, uint8_t* (*row)(void* context, int y),
                      void* context);

}  // namespace sim
