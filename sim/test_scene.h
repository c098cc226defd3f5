// The simulated camera's test scene: colour patches, gradients, an element
// that moves from frame to frame and the frame number, seen through an RGGB
// mosaic. The rendering is deterministic, so tests can render the same frame
// and compare.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

constexpr int kSceneWidth = 2560;
constexpr int kSceneHeight = 1920;

struct SceneRgb {
    uint8_t r, g, b;
};

// The scene's colour at a pixel of a frame, before the sensor.
SceneRgb SceneColor(uint32_t frameNumber, int x, int y);

// Renders the mosaic of one frame, image rows top first, `pitch` bytes apart.
// `signal` scales the light as exposure and gain do (1.0: the scene as it is).
void RenderMosaic(uint32_t frameNumber, double signal, uint8_t* rows, size_t pitch);
// The same, each image row y written where row(context, y) says.
void RenderMosaicRows(uint32_t frameNumber, double signal, uint8_t* (*row)(void* context, int y),
                      void* context);

}  // namespace sim
