// Image files the tool writes: PNG (through libpng) and PGM.
#pragma once

#include <cstdint>
#include <string>

namespace tools {

// Writes blue-green-red-alpha pixels, rows `strideBytes` apart, top row
// first, as an 8-bit RGB PNG. Throws std::runtime_error with the reason on
// failure; a partly written file is removed.
void WritePngBgra(const std::string& path, const uint8_t* bgra, int width, int height, size_t strideBytes);

// Writes 8-bit grey samples as a binary PGM.
void WritePgm(const std::string& path, const uint8_t* grey, int width, int height, size_t strideBytes);

}  // namespace tools
