// Offline conversion of stored raw frames: reading them (the camera's own
// layout, the image layout, PGM, DNG) and converting them through the
// driver's image pipeline. Every failure is a std::runtime_error whose
// message names the file and what is wrong with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tools {

// "NAME=VALUE" with a decimal whole number that fits 32 bits; `what` names
// the value in the message. Throws std::invalid_argument otherwise.
int32_t ParseNumber(const std::string& text, const std::string& what);
std::pair<std::string, int32_t> ParseAssignment(const std::string& item);

struct RawInput {
    int width = 2560, height = 1920;
    std::vector<uint8_t> image;         // one byte a sample, rows `width` apart, top row first
    int bayerPhase = 2;                 // the colour-filter pattern, as the converter numbers it
    bool mirror = false;                // the picture is the samples flipped left to right
    bool upsideDown = false;            // the picture is the samples turned top to bottom
    std::vector<std::string> settings;  // NAME=VALUE the file carries (a DNG's)
};

// Reads a stored raw frame; `layout` says how a headerless file of the full
// frame's size is laid out: "wire" (the camera's) or "image".
RawInput ReadRawInput(const std::string& path, const std::string& layout);

struct Picture {
    int width = 0, height = 0;  // what the driver would deliver
    std::vector<uint8_t> bgra;  // top row first, rows `stride` bytes apart
    size_t stride = 0;
};

// Converts a window of the input (x, y, width, height; empty: all of it; a
// width or height of 0 or less: as large as fits) with the file's settings
// and then `sets` (NAME=VALUE processing controls) applied.
Picture ConvertRawInput(const RawInput& input, const std::vector<std::string>& sets,
                        const std::vector<int32_t>& window);

}  // namespace tools
