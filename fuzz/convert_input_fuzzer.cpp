// The offline converter's inputs: any bytes as a stored raw frame (PGM, DNG
// or headerless), with any window and layout, read and converted as
// `norvikcam convert` does. A bad file must be refused with a message.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tools/convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first 9 bytes choose the window and the layout; the rest is the file.
    if (size < 9) return 0;
    std::vector<int32_t> window;
    if (data[0] & 1) {
        for (int i = 0; i < 4; ++i) {
            int16_t v;
            std::memcpy(&v, data + 1 + 2 * i, 2);
            // Small values mostly, the extremes sometimes.
            window.push_back((data[0] & 2) ? (v < 0 ? INT32_MIN - (v + 1) : INT32_MAX - v) : v);
        }
    }
    const std::string layout = (data[0] & 4) ? "image" : "wire";
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/norvikcam-fuzz-" +
               std::to_string(::getpid()) + "-frame";
    }();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + 9), static_cast<std::streamsize>(size - 9));
    try {
        const tools::RawInput input = tools::ReadRawInput(path, layout);
        const tools::Picture picture = tools::ConvertRawInput(input, {}, window);
        if (picture.width <= 0 || picture.height <= 0 ||
            picture.bgra.size() < picture.stride * picture.height)
            std::abort();
    } catch (const std::runtime_error&) {
        // refused, with a message
    }
    return 0;
}
