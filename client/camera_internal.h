// What this project's own tests, benchmarks and tools reach beneath the
// public API: the simulated camera behind a Camera, and its test knobs. Not
// installed: applications see only camera.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "client/camera.h"

namespace sim {
class SimulatedCamera;
}

namespace norvik {

struct SimulatedKnobs {
    // Shows this many scene frames over and over (0: frame k shows scene
    // frame k); tests that compare frames use it.
    uint32_t cycle = 0;
    // Unplugged during the frame after this many have been delivered (0:
    // never); tests of applications use it.
    uint32_t unplugAfter = 0;
    // Unplugged this long after it is plugged in, whatever is happening then
    // (0: never); the soak tests use it.
    std::chrono::microseconds removeAfter{0};
};

struct CameraAccess {
    static std::unique_ptr<Camera> Open(const OpenOptions& options, const SimulatedKnobs& knobs);
    // The simulated camera behind this one (null for a real camera).
    static sim::SimulatedCamera* Simulated(Camera& camera);
};

}  // namespace norvik
