// Frames for players: the YUV4MPEG2 stream that ffmpeg, ffplay and mpv read
// without being told the size or the rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tools {

// The stream header: 4:2:0 chroma centred between the luma samples (the
// "420jpeg" siting), progressive, square pixels, limited range BT.601.
std::string Y4mHeader(int width, int height, int rateNumerator, int rateDenominator);

// Bytes of one frame's planes (Y, then Cb, then Cr), the "FRAME\n" line aside.
size_t Y4mFrameBytes(int width, int height);

// Converts blue-green-red-alpha rows (the top row at `top`, rows `stride`
// bytes apart) to the three planes in `out`. Luma per pixel; each chroma
// sample from the average of the 2 x 2 pixels it covers (at an odd edge,
// of those there are). Integer BT.601 limited range, rounded to nearest.
void BgraToI420(const uint8_t* top, ptrdiff_t stride, int width, int height, uint8_t* out);

}  // namespace tools
