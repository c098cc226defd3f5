// Image files the tool writes: PNG (through libpng) and PGM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tools {

// Writes blue-green-red-alpha pixels as an 8-bit RGB PNG: `top` is the top
// row and each row lies `strideBytes` after the one above (negative for an
// image stored bottom-up). Throws std::runtime_error with the reason on
// failure; a partly written file is removed.
void WritePngBgra(const std::string& path, const uint8_t* top, int width, int height, ptrdiff_t strideBytes);

// Writes 8-bit grey samples as a binary PGM.
void WritePgm(const std::string& path, const uint8_t* grey, int width, int height, size_t strideBytes);

// Writes rows of raw bytes, rows `strideBytes` apart.
void WriteBytes(const std::string& path, const uint8_t* data, size_t rowBytes, size_t rows, size_t strideBytes);

// Every writer here writes a temporary file beside `path` and renames it into
// place once complete; on failure only that temporary file is removed.

}  // namespace tools
