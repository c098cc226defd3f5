// norvikcam: list cameras, read and change controls, capture frames to PNG,
// stream raw BGRA to standard output, convert stored raw frames offline.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "client/camera.h"
#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "tools/image_files.h"

namespace {

using norvik::Error;

std::string DefaultSettingsPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base = xdg && *xdg ? xdg : std::filesystem::path(home ? home : ".") / ".config";
    return (base / "norvikcam" / "settings.reg").string();
}

int32_t ParseNumber(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        long long v = std::stoll(text, &used, 0);
        if (used != text.size() || v < INT32_MIN || v > UINT32_MAX) throw std::invalid_argument(text);
        return static_cast<int32_t>(v);
    } catch (const std::exception&) {
        throw Error(what + ": '" + text + "' is not a number");
    }
}

std::pair<std::string, int32_t> ParseAssignment(const std::string& item) {
    auto eq = item.find('=');
    if (eq == std::string::npos || eq == 0) throw Error("expected NAME=VALUE, got '" + item + "'");
    std::string name = item.substr(0, eq);
    return {name, ParseNumber(item.substr(eq + 1), name)};
}

// The '%d'-style pattern of a capture with one frame's number in it.
std::string FrameName(const std::string& pattern, int n) {
    if (pattern.find('%') == std::string::npos) {
        auto dot = pattern.rfind('.');
        std::string stem = dot == std::string::npos ? pattern : pattern.substr(0, dot);
        std::string ext = dot == std::string::npos ? "" : pattern.substr(dot);
        char buf[32];
        std::snprintf(buf, sizeof buf, "-%04d", n);
        return stem + buf + ext;
    }
    std::vector<char> buf(pattern.size() + 64);
    std::snprintf(buf.data(), buf.size(), pattern.c_str(), n);
    return buf.data();
}

void Progress(int done, int total, double fps) {
    if (!isatty(STDERR_FILENO)) return;
    const int width = 30;
    int filled = total > 0 ? done * width / total : width;
    std::fprintf(stderr, "\r[%s%s] %d/%d  %.1f fps ", std::string(static_cast<size_t>(filled), '=').c_str(),
                 std::string(static_cast<size_t>(width - filled), ' ').c_str(), done, total, fps);
    if (done == total) std::fprintf(stderr, "\n");
}

struct Common {
    std::string device = "sim";
    std::string settings;
    std::string trace;
    double fps = 30;
    norvik::OpenOptions Options() const {
        return {device, settings.empty() ? DefaultSettingsPath() : settings, trace, fps};
    }
};

std::unique_ptr<norvik::Camera> OpenCamera(const Common& c) {
    auto options = c.Options();
    std::filesystem::create_directories(std::filesystem::path(options.settingsPath).parent_path());
    return norvik::Camera::Open(options);
}

int Info(const Common& c) {
    auto cam = OpenCamera(c);
    auto w = cam->GetWindow();
    std::printf("camera: %s\n", c.device.c_str());
    std::printf("format: RGB32 (BGRA) %dx%d, %d bytes a frame, 30 frames/s\n", w.outputWidth, w.outputHeight,
                w.outputWidth * w.outputHeight * 4);
    std::printf("window: x=%d y=%d width=%d height=%d (sensor 2560x1920)\n", w.x, w.y, w.width, w.height);
    std::printf("controls:\n");
    for (const auto& ctl : norvik::Camera::Controls()) {
        int32_t v = cam->Get(ctl.name);
        std::printf("  %-18s (int) : value=%d", ctl.name.c_str(), v);
        if (ctl.hasRange) std::printf(" min=%d max=%d", ctl.minimum, ctl.maximum);
        if (ctl.hasRange && ctl.defaultValue != 0) std::printf(" default=%d", ctl.defaultValue);
        if (!ctl.writable) std::printf(" flags=read-only");
        std::printf("\n");
    }
    return 0;
}

// The raw image's file beside a frame's PNG: the same name ending in .pgm.
std::string RawName(const std::string& png) {
    auto dot = png.rfind('.');
    auto slash = png.rfind('/');
    bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExt ? png.substr(0, dot) : png) + ".pgm";
}

int Capture(const Common& c, int count, const std::string& pattern, double timeoutSeconds, bool raw) {
    if (count <= 0) throw Error("-n must be at least 1");
    auto cam = OpenCamera(c);
    cam->StartStreaming(raw);
    auto start = std::chrono::steady_clock::now();
    int written = 0;
    while (written < count) {
        auto frame = cam->NextFrame(std::chrono::milliseconds(static_cast<int>(timeoutSeconds * 1000)));
        if (!frame) {
            if (cam->Stats().timeouts >= 3) throw Error("no frames from the camera (3 time-outs in a row)");
            continue;
        }
        std::string name = FrameName(pattern, written);
        tools::WritePngBgra(name, frame->bgra.data(), frame->width, frame->height, static_cast<size_t>(frame->width) * 4);
        if (raw) {
            if (frame->raw.empty()) throw Error("frame " + std::to_string(written) + " came without its raw image");
            tools::WritePgm(RawName(name), frame->raw.data(), frame->rawWidth, frame->rawHeight,
                            static_cast<size_t>(frame->rawWidth));
        }
        ++written;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Progress(written, count, written / (seconds > 0 ? seconds : 1));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto& st = cam->Stats();
    cam->StopStreaming();
    std::fprintf(stderr, "captured %d frames in %.2f s (%.1f fps), dropped %llu, time-outs %llu\n", written, seconds,
                 written / (seconds > 0 ? seconds : 1), static_cast<unsigned long long>(st.dropped),
                 static_cast<unsigned long long>(st.timeouts));
    return 0;
}

int Stream(const Common& c, int count) {
    if (isatty(STDOUT_FILENO)) throw Error("standard output is a terminal: pipe the frames into a program (see --help)");
    auto cam = OpenCamera(c);
    auto w = cam->GetWindow();
    if (count > 0)
        std::fprintf(stderr, "streaming %d frames of %dx%d BGRA to standard output\n", count, w.outputWidth, w.outputHeight);
    else
        std::fprintf(stderr, "streaming %dx%d BGRA frames to standard output until interrupted\n", w.outputWidth, w.outputHeight);
    cam->StartStreaming();
    int sent = 0;
    while (count <= 0 || sent < count) {
        auto frame = cam->NextFrame(std::chrono::seconds(5));
        if (!frame) throw Error("no frames from the camera");
        if (std::fwrite(frame->bgra.data(), 1, frame->bgra.size(), stdout) != frame->bgra.size()) {
            if (std::ferror(stdout)) break;  // the reader went away
        }
        ++sent;
    }
    std::fflush(stdout);
    return 0;
}

// Offline conversion through the same pipeline the driver uses.
int Convert(const std::string& in, const std::string& out, const std::string& layout,
            const std::vector<std::string>& sets, const std::vector<int32_t>& window) {
    std::ifstream file(in, std::ios::binary);
    if (!file) throw Error("cannot read " + in);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    int width = 2560, height = 1920;
    std::vector<uint8_t> image;  // image rows in order, `width` apart
    if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '5') {
        std::string header(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
        int maxval = 0, used = 0;
        if (std::sscanf(header.c_str(), "P5 %d %d %d%n", &width, &height, &maxval, &used) != 3 || maxval != 255 ||
            width <= 0 || height <= 0)
            throw Error(in + ": not an 8-bit binary PGM");
        size_t offset = static_cast<size_t>(used) + 1;
        if (bytes.size() < offset + static_cast<size_t>(width) * height) throw Error(in + ": PGM is cut short");
        image.assign(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset) + width * height);
    } else if (layout == "image" && bytes.size() == 2560u * 1920u) {
        image = bytes;
    } else if (layout == "wire" && bytes.size() == 2560u * 2080u) {
        image.resize(2560u * 1920u);
        for (size_t k = 0; k < 960; ++k) {
            std::memcpy(&image[2 * k * 2560], &bytes[(5 + k) * 2560], 2560);
            std::memcpy(&image[(2 * k + 1) * 2560], &bytes[(1019 + k) * 2560], 2560);
        }
    } else {
        throw Error(in + ": " + std::to_string(bytes.size()) + " bytes is not a raw frame (5324800 bytes in the camera's "
                    "layout, 4915200 with --layout image, or a PGM)");
    }
    int x = 0, y = 0, w = width, h = height;
    if (!window.empty()) {
        x = window[0] + (window[0] & 1), y = window[1] + (window[1] & 1);
        x = std::clamp(x, 0, std::max(0, width - 8)), y = std::clamp(y, 0, std::max(0, height - 8));
        w = window[2] <= 0 ? width - x : std::min(window[2], width - x);
        h = window[3] <= 0 ? height - y : std::min(window[3], height - y);
    }
    const int outWidth = w - (w & 7);
    ImageProcessor* p = CreateImageProcessor();
    SetBayerPhase(p, 2);
    static const std::map<std::string, void (*)(ImageProcessor*, LONG)> setters = {
        {"color_enable", SetColorEnable}, {"white_balance", SetWhiteBalance}, {"red_gain", SetRedGain},
        {"green_gain", SetGreenGain},     {"blue_gain", SetBlueGain},         {"color_correction", SetColorCorrection},
        {"brightness", SetBrightness},    {"contrast", SetContrast},          {"saturation", SetSaturation},
        {"hue", SetHue}};
    for (const auto& item : sets) {
        auto [name, value] = ParseAssignment(item);
        auto it = setters.find(name);
        if (it == setters.end()) {
            FreeImageProcessor(p);
            throw Error("'" + name + "' is not a processing control (" + "color_enable, white_balance, red_gain, ...)");
        }
        it->second(p, value);
    }
    SetGeometry(p, static_cast<ULONG>(w), static_cast<ULONG>(h));
    AllocateWorkingBuffer(p);
    std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
    p->outputBuffer = bgra.data();
    ConvertFrame(p, image.data(), static_cast<ULONG>(y * width + x), static_cast<ULONG>(width));
    p->outputBuffer = nullptr;
    FreeImageProcessor(p);
    if (out.size() >= 5 && out.substr(out.size() - 5) == ".bgra") {
        std::ofstream o(out, std::ios::binary);
        for (int r = 0; r < h && o; ++r) o.write(reinterpret_cast<char*>(&bgra[static_cast<size_t>(r) * w * 4]), outWidth * 4);
        if (!o) throw Error("cannot write " + out);
    } else {
        tools::WritePngBgra(out, bgra.data(), outWidth, h, static_cast<size_t>(w) * 4);
    }
    std::fprintf(stderr, "converted %s (%dx%d) to %s\n", in.c_str(), outWidth, h, out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"norvikcam: capture from the Norvik 2560x1920 raw-Bayer camera"};
    app.require_subcommand(1);
    Common common;
    auto addCommon = [&](CLI::App* sub) {
        sub->add_option("--device", common.device, "camera to open (see 'norvikcam list')")->capture_default_str();
        sub->add_option("--settings", common.settings, "settings file (.reg); default " + DefaultSettingsPath());
        sub->add_option("--trace", common.trace, "write the USB traffic to this pcap file (Wireshark opens it)");
        sub->add_option("--fps", common.fps, "frame rate of the simulated camera (0: as fast as it can)")
            ->capture_default_str();
    };
    auto* list = app.add_subcommand("list", "list the cameras that can be opened");
    auto* info = app.add_subcommand("info", "show the format, the window and every control");
    addCommon(info);
    std::vector<std::string> names;
    auto* get = app.add_subcommand("get", "print controls");
    get->add_option("NAME", names, "control names, e.g. exposure hue")->required();
    addCommon(get);
    std::vector<std::string> assignments;
    auto* set = app.add_subcommand("set", "change controls");
    set->add_option("NAME=VALUE", assignments, "e.g. exposure=64 flip_h=1")->required();
    addCommon(set);
    std::vector<std::string> windowArgs;
    auto* window = app.add_subcommand("window", "set the readout window");
    window->add_option("X Y W H", windowArgs, "left, top, width, height (0 width or height: as large as fits)")
        ->expected(4)
        ->required();
    addCommon(window);
    int count = 1;
    std::string pattern = "frame-%04d.png";
    double timeout = 5;
    auto* capture = app.add_subcommand("capture", "capture frames to PNG files");
    capture->add_option("-n,--count", count, "number of frames")->capture_default_str();
    capture->add_option("-o,--output", pattern, "file name pattern with %d for the frame number")->capture_default_str();
    capture->add_option("--timeout", timeout, "seconds to wait for a frame")->capture_default_str();
    bool raw = false;
    capture->add_flag("--raw", raw, "also write each frame's raw image (the window, 8 bits) as a .pgm beside its PNG");
    addCommon(capture);
    int streamCount = 0;
    auto* stream = app.add_subcommand(
        "stream", "raw BGRA frames, top row first, to standard output: | ffmpeg -f rawvideo -pix_fmt bgra -s WxH -i - out.mkv");
    stream->add_option("-n,--count", streamCount, "number of frames (0: until interrupted)")->capture_default_str();
    addCommon(stream);
    std::string in, out, layout = "wire";
    std::vector<std::string> convertSets;
    std::vector<int32_t> convertWindow;
    auto* convert = app.add_subcommand("convert", "convert a stored raw frame to PNG or BGRA");
    convert->add_option("IN", in, "raw frame: camera layout (5324800 bytes), image layout, or PGM")->required();
    convert->add_option("OUT", out, "output .png, or .bgra for raw pixels")->required();
    convert->add_option("--layout", layout, "wire (the camera's) or image")->check(CLI::IsMember({"wire", "image"}))
        ->capture_default_str();
    convert->add_option("--set", convertSets, "processing control NAME=VALUE");
    convert->add_option("--window", convertWindow, "X Y W H")->expected(4);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    try {
        if (*list) {
            for (const auto& cam : norvik::ListCameras()) std::printf("%-6s %s\n", cam.device.c_str(), cam.description.c_str());
            return 0;
        }
        if (*info) return Info(common);
        if (*get) {
            for (const auto& n : names) norvik::Camera::Control(n);  // a bad name fails before the camera opens
            auto cam = OpenCamera(common);
            for (const auto& n : names) std::printf("%s=%d\n", n.c_str(), cam->Get(n));
            return 0;
        }
        if (*set) {
            std::vector<std::pair<std::string, int32_t>> parsed;
            for (const auto& a : assignments) {
                parsed.push_back(ParseAssignment(a));
                norvik::Camera::Control(parsed.back().first);
            }
            auto cam = OpenCamera(common);
            for (const auto& [n, v] : parsed) {
                cam->Set(n, v);
                std::printf("%s=%d\n", n.c_str(), cam->Get(n));
            }
            return 0;
        }
        if (*window) {
            int32_t v[4];
            for (int i = 0; i < 4; ++i) v[i] = ParseNumber(windowArgs[static_cast<size_t>(i)], "window");
            auto cam = OpenCamera(common);
            cam->SetWindow(v[0], v[1], v[2], v[3]);
            auto w = cam->GetWindow();
            std::printf("window: x=%d y=%d width=%d height=%d, frames %dx%d\n", w.x, w.y, w.width, w.height,
                        w.outputWidth, w.outputHeight);
            return 0;
        }
        if (*capture) return Capture(common, count, pattern, timeout, raw);
        if (*stream) return Stream(common, streamCount);
        if (*convert) return Convert(in, out, layout, convertSets, convertWindow);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvikcam: %s\n", e.what());
        return 1;
    }
    return 0;
}
