// Reading stored raw frames and converting them offline.
#include "tools/convert.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

#include "imaging/image_processor.h"
#include "tools/image_files.h"

namespace tools {
namespace {

using Error = std::runtime_error;

constexpr size_t kWireBytes = 2560u * 2080u, kImageBytes = 2560u * 1920u;

int64_t ParseInteger(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        // Decimal only: a leading zero is no octal, and 0x no hex.
        long long v = std::stoll(text, &used, 10);
        if (used != text.size()) throw std::invalid_argument(text);
        return v;
    } catch (const std::exception&) {
        throw std::invalid_argument(what + ": '" + text + "' is not a whole number");
    }
}

// Reads a file that may be a raw frame, checking what it is before reading
// a byte of it.
std::vector<uint8_t> ReadInput(const std::string& in) {
    struct stat st {};
    if (::stat(in.c_str(), &st) != 0)
        throw Error("cannot read " + in + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw Error(in + " is a folder, not a raw frame");
    if (!S_ISREG(st.st_mode)) throw Error(in + " is not a regular file: give a stored raw frame");
    if (static_cast<size_t>(st.st_size) > kWireBytes + 4096)
        throw Error(in + " is " + std::to_string(st.st_size) +
                    " bytes: too large for a raw frame (" + std::to_string(kWireBytes) +
                    " bytes at most)");
    std::ifstream file(in, std::ios::binary);
    if (!file) throw Error("cannot read " + in + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    if (!file.read(reinterpret_cast<char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size())))
        throw Error("cannot read " + in);
    return bytes;
}

// An 8-bit binary PGM: "P5", width, height, 255, with comments, in at most
// 1 KiB of header; the image no larger than the sensor's raw frame.
std::vector<uint8_t> ParsePgm(const std::vector<uint8_t>& bytes, const std::string& in, int* width,
                              int* height) {
    size_t at = 2;
    long long fields[3];
    for (long long& field : fields) {
        for (;;) {  // white space and comments
            while (at < bytes.size() && std::isspace(bytes[at])) ++at;
            if (at < bytes.size() && bytes[at] == '#') {
                while (at < bytes.size() && bytes[at] != '\n') ++at;
                continue;
            }
            break;
        }
        if (at >= bytes.size() || !std::isdigit(bytes[at]) || at > 1024)
            throw Error(in + ": not an 8-bit binary PGM");
        field = 0;
        while (at < bytes.size() && std::isdigit(bytes[at])) {
            field = field * 10 + (bytes[at++] - '0');
            if (field > 1000000)
                throw Error(in + ": PGM header numbers too large for a camera frame");
        }
    }
    if (at >= bytes.size() || !std::isspace(bytes[at]))
        throw Error(in + ": not an 8-bit binary PGM");
    ++at;
    if (fields[2] != 255)
        throw Error(in + ": only 8-bit PGM (maximum value 255) is a camera frame");
    if (fields[0] < 1 || fields[1] < 1 || fields[0] > 2560 || fields[1] > 2080)
        throw Error(in + ": a " + std::to_string(fields[0]) + "x" + std::to_string(fields[1]) +
                    " image is not a window of the 2560x1920 sensor");
    *width = static_cast<int>(fields[0]);
    *height = static_cast<int>(fields[1]);
    const size_t pixels = static_cast<size_t>(*width) * static_cast<size_t>(*height);
    if (bytes.size() - at < pixels) throw Error(in + ": PGM is cut short");
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                bytes.begin() + static_cast<long>(at + pixels));
}

}  // namespace

int32_t ParseNumber(const std::string& text, const std::string& what) {
    int64_t v = ParseInteger(text, what);
    if (v < INT32_MIN || v > INT32_MAX)
        throw std::invalid_argument(what + ": " + text + " is out of range");
    return static_cast<int32_t>(v);
}

std::pair<std::string, int32_t> ParseAssignment(const std::string& item) {
    auto eq = item.find('=');
    if (eq == std::string::npos || eq == 0)
        throw std::invalid_argument("expected NAME=VALUE, got '" + item + "'");
    std::string name = item.substr(0, eq);
    return {name, ParseNumber(item.substr(eq + 1), name)};
}

RawInput ReadRawInput(const std::string& in, const std::string& layout) {
    std::vector<uint8_t> bytes = ReadInput(in);
    RawInput r;
    const bool tiff = bytes.size() >= 4 &&
                      ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0) ||
                       (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == 42));
    if (tiff) {
        DngImage dng = ReadDng(in, 2560, 2080);
        r.width = dng.width;
        r.height = dng.height;
        r.image = std::move(dng.samples);
        r.bayerPhase = dng.bayerPhase;
        r.mirror = dng.info.mirrored;
        r.upsideDown = dng.info.upsideDown;
        for (const auto& [name, value] : dng.info.fields) r.settings.push_back(name + "=" + value);
    } else if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '5') {
        r.image = ParsePgm(bytes, in, &r.width, &r.height);
    } else if (layout == "image" && bytes.size() == kImageBytes) {
        r.image = std::move(bytes);
    } else if (layout == "wire" && bytes.size() == kWireBytes) {
        r.image.resize(kImageBytes);
        for (size_t k = 0; k < 960; ++k) {
            std::memcpy(&r.image[2 * k * 2560], &bytes[(5 + k) * 2560], 2560);
            std::memcpy(&r.image[(2 * k + 1) * 2560], &bytes[(1019 + k) * 2560], 2560);
        }
    } else {
        throw Error(in + ": " + std::to_string(bytes.size()) +
                    " bytes is not a raw frame (5324800 bytes in the camera's "
                    "layout, 4915200 with --layout image, a PGM or a DNG)");
    }
    return r;
}

Picture ConvertRawInput(const RawInput& input, const std::vector<std::string>& sets,
                        const std::vector<int32_t>& window) {
    const int width = input.width, height = input.height;
    int x = 0, y = 0, w = width, h = height;
    if (!window.empty()) {
        if (window.size() != 4) throw Error("a window is four numbers: X Y W H");
        // Wide arithmetic: any 32-bit value given is clamped, never overflows.
        const int64_t wx = window[0] + int64_t{window[0] & 1},
                      wy = window[1] + int64_t{window[1] & 1};
        x = static_cast<int>(std::clamp<int64_t>(wx, 0, std::max(0, width - 8)));
        y = static_cast<int>(std::clamp<int64_t>(wy, 0, std::max(0, height - 8)));
        w = window[2] <= 0 ? width - x : std::min(window[2], width - x);
        h = window[3] <= 0 ? height - y : std::min(window[3], height - y);
    }
    const int outWidth = w - (w & 7);
    if (outWidth <= 0 || h <= 0)
        throw Error(
            "the window gives no pixels: frames are the window's width rounded down to a multiple "
            "of 8");
    static const std::map<std::string, void (*)(ImageProcessor*, LONG)> setters = {
        {"color_enable", SetColorEnable}, {"white_balance", SetWhiteBalance},
        {"red_gain", SetRedGain},         {"green_gain", SetGreenGain},
        {"blue_gain", SetBlueGain},       {"color_correction", SetColorCorrection},
        {"brightness", SetBrightness},    {"contrast", SetContrast},
        {"saturation", SetSaturation},    {"hue", SetHue}};
    // Checked before the processor exists, so a bad one leaves nothing to free.
    std::vector<std::pair<void (*)(ImageProcessor*, LONG), int32_t>> apply;
    for (const auto& item : input.settings) {  // the file's own; those that are not processing
                                               // controls are not used here
        const std::string name = item.substr(0, item.find('='));
        if (auto it = setters.find(name); it != setters.end())
            apply.emplace_back(it->second, ParseAssignment(item).second);
    }
    for (const auto& item : sets) {
        auto [name, value] = ParseAssignment(item);
        auto it = setters.find(name);
        if (it == setters.end())
            throw Error("'" + name + "' is not a processing control (" +
                        "color_enable, white_balance, red_gain, ...)");
        apply.emplace_back(it->second, value);
    }
    const std::unique_ptr<ImageProcessor, void (*)(ImageProcessor*)> processor(
        CreateImageProcessor(), [](ImageProcessor* q) {
            if (q != nullptr) FreeImageProcessor(q);
        });
    ImageProcessor* p = processor.get();
    if (p == nullptr) throw Error("not enough memory to convert the frame");
    // The window's origin is even, so it starts on the file's pattern.
    SetBayerPhase(p, input.bayerPhase);
    for (const auto& [set, value] : apply) set(p, value);
    SetGeometry(p, static_cast<ULONG>(w), static_cast<ULONG>(h));
    AllocateWorkingBuffer(p);
    Picture out;
    out.width = outWidth;
    out.height = h;
    out.stride = static_cast<size_t>(w) * 4;
    out.bgra.resize(out.stride * static_cast<size_t>(h));
    p->outputBuffer = out.bgra.data();
    const BOOLEAN converted = ConvertFrame(p, input.image.data(), static_cast<ULONG>(y * width + x),
                                           static_cast<ULONG>(width));
    p->outputBuffer = nullptr;
    // (Its working buffer is the allocation that can fail.)
    if (!converted) throw Error("not enough memory to convert the frame");
    if (input.mirror)  // as the driver delivers a picture flipped left to right
        for (int row = 0; row < h; ++row) {
            auto* px =
                reinterpret_cast<uint32_t*>(&out.bgra[static_cast<size_t>(row) * out.stride]);
            std::reverse(px, px + outWidth);
        }
    if (input.upsideDown)  // and turned top to bottom
        for (int row = 0; row < h / 2; ++row)
            std::swap_ranges(
                out.bgra.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(row) * out.stride),
                out.bgra.begin() +
                    static_cast<ptrdiff_t>(static_cast<size_t>(row + 1) * out.stride),
                out.bgra.begin() +
                    static_cast<ptrdiff_t>(static_cast<size_t>(h - 1 - row) * out.stride));
    return out;
}

}  // namespace tools
