// Image files the tool writes: PNG (through libpng), DNG (through libtiff)
// and PGM; and the DNG reader of the offline converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tools {

// Name-value pairs a file carries about its frame (PNG text chunks, the
// DNG's description).
using TextFields = std::vector<std::pair<std::string, std::string>>;

// Writes blue-green-red-alpha pixels as an 8-bit RGB PNG: `top` is the top
// row and each row lies `strideBytes` after the one above (negative for an
// image stored bottom-up). Throws std::runtime_error with the reason on
// failure; a partly written file is removed.
void WritePngBgra(const std::string& path, const uint8_t* top, int width, int height,
                  ptrdiff_t strideBytes, const TextFields& text = {});

// Converts blue-green-red-alpha rows to packed red-green-blue rows, the
// layout a PNG stores.
void BgraToRgb(const uint8_t* bgra, uint8_t* rgb, int pixels);

// What a DNG says about its frame besides the samples.
struct DngInfo {
    std::string make, model;
    std::string dateTime;           // "YYYY:MM:DD HH:MM:SS", the capture time
    int64_t pictureNumber = 0;      // the camera's frame number
    bool mirrored = false;          // the picture is the samples flipped left to right
    bool upsideDown = false;        // the picture is the samples turned top to bottom
    double neutral[3] = {1, 1, 1};  // the white balance as shot, red green blue
    TextFields fields;              // every other setting, in the description
};

// Writes 8-bit Bayer samples in the red-green / green-blue layout as an
// uncompressed DNG; rows lie `strideBytes` apart.
void WriteDng(const std::string& path, const uint8_t* samples, int width, int height,
              size_t strideBytes, const DngInfo& info);

struct DngImage {
    int width = 0, height = 0;
    int bayerPhase = 2;  // the converter's pattern number for the file's colour-filter pattern
    std::vector<uint8_t> samples;  // rows `width` apart
    DngInfo info;
};

// Reads an 8-bit colour-filter DNG as written by cameras of this kind: one
// plane, uncompressed, a 2 x 2 pattern, no larger than the sensor. Throws
// std::runtime_error naming what is wrong with any other file.
DngImage ReadDng(const std::string& path, int maxWidth, int maxHeight);

// Writes 8-bit grey samples as a binary PGM.
void WritePgm(const std::string& path, const uint8_t* grey, int width, int height,
              size_t strideBytes);

// Writes rows of raw bytes, rows `strideBytes` apart.
void WriteBytes(const std::string& path, const uint8_t* data, size_t rowBytes, size_t rows,
                size_t strideBytes);

// Every writer here writes a temporary file beside `path` and renames it into
// place once complete; on failure only that temporary file is removed.

}  // namespace tools
