// A picture turned over as the flips say, computed in the test from the
// picture itself: the truth the flipped outputs of every front end are held
// to.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// `picture` is width x height pixels of `bytes` bytes, top row first.
inline std::vector<uint8_t> TurnedPicture(const std::vector<uint8_t>& picture, int width,
                                          int height, bool flipH, bool flipV, int bytes = 4) {
    std::vector<uint8_t> out(picture.size());
    const auto b = static_cast<size_t>(bytes);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int sy = flipV ? height - 1 - y : y, sx = flipH ? width - 1 - x : x;
            std::memcpy(&out[(static_cast<size_t>(y) * static_cast<size_t>(width) +
                              static_cast<size_t>(x)) *
                             b],
                        &picture[(static_cast<size_t>(sy) * static_cast<size_t>(width) +
                                  static_cast<size_t>(sx)) *
                                 b],
                        b);
        }
    return out;
}
