// norvikcam: list cameras, read and change controls, capture frames to PNG,
// stream raw BGRA to standard output, convert stored raw frames offline.
//
// Exit codes: 0 success, 1 failure (with one line saying why), 2 a command
// line that does not parse, 128 + the signal for an interrupted capture or
// stream (130 for Ctrl-C, 143 for SIGTERM). A stream whose reader closed the
// pipe has done its job and exits 0.
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "client/camera.h"
#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "tools/image_files.h"

#ifndef NORVIKCAM_VERSION
#define NORVIKCAM_VERSION "0.4"
#endif

namespace {

using norvik::Error;

// --- interruption ---

std::atomic<int> interrupted{0};

extern "C" void OnSignal(int signal) { interrupted.store(signal); }

// Ctrl-C and SIGTERM end a capture or a stream between frames, cleanly; a
// reader that closes the pipe shows up as EPIPE on the next write.
void InstallSignalHandlers() {
    struct sigaction a {};
    a.sa_handler = OnSignal;
    sigemptyset(&a.sa_mask);
    sigaction(SIGINT, &a, nullptr);
    sigaction(SIGTERM, &a, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Past a file-size limit a write fails with EFBIG and is reported like
    // any other write error, instead of killing the tool mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
}

int InterruptedExit() { return 128 + interrupted.load(); }

// --- text ---

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string DefaultSettingsPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base = xdg && *xdg ? xdg : std::filesystem::path(home ? home : ".") / ".config";
    return (base / "norvikcam" / "settings.reg").string();
}

int64_t ParseInteger(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        long long v = std::stoll(text, &used, 0);
        if (used != text.size()) throw std::invalid_argument(text);
        return v;
    } catch (const std::exception&) {
        throw Error(what + ": '" + text + "' is not a whole number");
    }
}

int32_t ParseNumber(const std::string& text, const std::string& what) {
    int64_t v = ParseInteger(text, what);
    if (v < INT32_MIN || v > INT32_MAX) throw Error(what + ": " + text + " is out of range");
    return static_cast<int32_t>(v);
}

std::pair<std::string, int32_t> ParseAssignment(const std::string& item) {
    auto eq = item.find('=');
    if (eq == std::string::npos || eq == 0) throw Error("expected NAME=VALUE, got '" + item + "'");
    std::string name = item.substr(0, eq);
    return {name, ParseNumber(item.substr(eq + 1), name)};
}

void CheckRange(double v, double low, double high, const std::string& what, bool lowOpen = false) {
    if (!std::isfinite(v) || v < low || v > high || (lowOpen && v == low)) {
        char b[160];
        std::snprintf(b, sizeof b, "%s must be %s %g and at most %g", what.c_str(), lowOpen ? "above" : "at least", low,
                      high);
        throw Error(b);
    }
}

// --- output file names ---

// The -o pattern: a file name with at most one placeholder, %d or %0Nd
// (N up to 9), in the file name part. Nothing else is read as a format.
class OutputPattern {
public:
    explicit OutputPattern(const std::string& pattern) : pattern_(pattern) {
        const auto slash = pattern.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
        const std::string file = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
        if (file.empty()) throw Error("-o '" + pattern + "' names a folder: give a file name, e.g. shot-%03d.png");
        if (dir.find('%') != std::string::npos)
            throw Error("-o '" + pattern + "': the frame number (%d) belongs in the file name, not the folder");
        dir_ = dir;
        for (size_t i = 0; i < file.size(); ++i) {
            if (file[i] != '%') continue;
            size_t j = i + 1;
            bool zero = j < file.size() && file[j] == '0';
            if (zero) ++j;
            size_t digits = j;
            while (j < file.size() && std::isdigit(static_cast<unsigned char>(file[j]))) ++j;
            if (j >= file.size() || file[j] != 'd' || (j - digits) > 1 || (zero && j == digits))
                throw Error("-o '" + pattern + "': '" + file.substr(i, std::min<size_t>(j + 1, file.size()) - i) +
                            "' is not a frame-number placeholder; write %d, or %03d for 000, 001, ...");
            if (placeholder_) throw Error("-o '" + pattern + "': only one %d placeholder is allowed");
            placeholder_ = true;
            width_ = j > digits ? file[digits] - '0' : 0;
            prefix_ = file.substr(0, i);
            suffix_ = file.substr(j + 1);
            i = j;
        }
        if (!placeholder_) {
            // Without a placeholder the number goes before the extension of
            // the file name (never a dot in the folder).
            const auto dot = file.rfind('.');
            const bool ext = dot != std::string::npos && dot > 0;
            prefix_ = (ext ? file.substr(0, dot) : file) + "-";
            suffix_ = ext ? file.substr(dot) : "";
            width_ = 4;
        }
    }

    // A single frame without a placeholder is written under the name given.
    std::string Name(int n, int count) const {
        if (!placeholder_ && count == 1) return pattern_;
        char number[32];
        std::snprintf(number, sizeof number, "%0*d", width_, n);
        return dir_ + prefix_ + number + suffix_;
    }

private:
    std::string pattern_, dir_, prefix_, suffix_;
    bool placeholder_ = false;
    int width_ = 0;
};

// The raw image's file beside a frame's PNG: the same name ending in .pgm.
std::string RawName(const std::string& png) {
    auto dot = png.rfind('.');
    auto slash = png.rfind('/');
    bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExt ? png.substr(0, dot) : png) + ".pgm";
}

void Progress(int done, int total, double fps) {
    if (!isatty(STDERR_FILENO)) return;
    const int width = 30;
    int filled = total > 0 ? done * width / total : width;
    std::fprintf(stderr, "\r[%s%s] %d/%d  %.1f fps ", std::string(static_cast<size_t>(filled), '=').c_str(),
                 std::string(static_cast<size_t>(width - filled), ' ').c_str(), done, total, fps);
    if (done == total) std::fprintf(stderr, "\n");
}

// --- the camera ---

struct Common {
    std::string device = "sim";
    std::string settings;
    std::string trace;
    double fps = 30;
    double wait = 0;
    bool json = false;
    int threads = 0;  // conversion threads, 0: one a core
    int buffers = 3;  // client buffers while streaming

    void Check() const {
        CheckRange(fps, 0, 1000, "--fps");
        CheckRange(wait, 0, 86400, "--wait");
        CheckRange(threads, 0, 64, "--threads");
        CheckRange(buffers, 1, 64, "--buffers");
    }
    norvik::OpenOptions Options() const {
        return {device, settings.empty() ? DefaultSettingsPath() : settings, trace, fps, wait, ""};
    }
};

std::unique_ptr<norvik::Camera> OpenCamera(const Common& c) {
    c.Check();
    auto options = c.Options();
    // A plain relative name has no folder to make.
    const auto parent = std::filesystem::path(options.settingsPath).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) throw Error("cannot make the settings folder " + parent.string() + ": " + ec.message());
    }
    return norvik::Camera::Open(options);
}

// Controls that the camera keeps but that do nothing.
const std::set<std::string> kInert = {"clock", "agc", "aec", "ex_trigger"};
// Controls the driver reads as unsigned: a negative value would wrap to a huge one.
const std::set<std::string> kUnsigned = {"exposure", "global_gain", "timeout", "register_select"};
// Defaults of the controls whose range the camera does not publish.
const std::map<std::string, int32_t> kOtherDefaults = {{"timeout", 3000},     {"flip_h", 0},
                                                      {"flip_v", 0},         {"color_enable", 1},
                                                      {"white_balance", 0},  {"color_correction", 1}};

std::string Range(const norvik::ControlInfo& c) {
    return std::to_string(c.minimum) + ".." + std::to_string(c.maximum);
}

int Info(const Common& c) {
    auto cam = OpenCamera(c);
    auto w = cam->GetWindow();
    const auto& controls = norvik::Camera::Controls();
    std::vector<int32_t> values;
    for (const auto& ctl : controls) values.push_back(cam->Get(ctl.name));
    const std::string identity = cam->Identity();
    cam->Close();
    if (c.json) {
        std::printf("{\"camera\":%s,\"identity\":%s,\"format\":{\"pixel\":\"BGRA\",\"width\":%d,\"height\":%d,"
                    "\"bytes\":%d,\"fps\":30},\"window\":{\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d},\"controls\":[",
                    Json(c.device).c_str(), Json(identity).c_str(), w.outputWidth, w.outputHeight,
                    w.outputWidth * w.outputHeight * 4, w.x, w.y, w.width, w.height);
        for (size_t i = 0; i < controls.size(); ++i) {
            const auto& ctl = controls[i];
            std::printf("%s{\"name\":%s,\"value\":%d,\"writable\":%s,\"inert\":%s", i ? "," : "", Json(ctl.name).c_str(),
                        values[i], ctl.writable ? "true" : "false", kInert.count(ctl.name) ? "true" : "false");
            if (ctl.hasRange) std::printf(",\"min\":%d,\"max\":%d", ctl.minimum, ctl.maximum);
            std::printf("}");
        }
        std::printf("]}\n");
        return 0;
    }
    std::printf("camera: %s (settings kept as %s)\n", c.device.c_str(), identity.c_str());
    std::printf("format: RGB32 (BGRA) %dx%d, %d bytes a frame, 30 frames/s\n", w.outputWidth, w.outputHeight,
                w.outputWidth * w.outputHeight * 4);
    std::printf("window: x=%d y=%d width=%d height=%d (sensor 2560x1920); frames are %dx%d\n", w.x, w.y, w.width, w.height,
                w.outputWidth, w.outputHeight);
    std::printf("controls:\n");
    for (size_t i = 0; i < controls.size(); ++i) {
        const auto& ctl = controls[i];
        std::printf("  %-18s (int) : value=%d", ctl.name.c_str(), values[i]);
        if (kInert.count(ctl.name)) {
            std::printf(" flags=inert (kept, no effect on this camera)\n");
            continue;
        }
        if (ctl.hasRange) std::printf(" min=%d max=%d", ctl.minimum, ctl.maximum);
        if (ctl.hasRange && ctl.defaultValue != 0) std::printf(" default=%d", ctl.defaultValue);
        if (!ctl.writable) std::printf(" flags=read-only");
        std::printf("\n");
    }
    return 0;
}

int Get(const Common& c, const std::vector<std::string>& names) {
    for (const auto& n : names) norvik::Camera::Control(n);  // a bad name fails before the camera opens
    auto cam = OpenCamera(c);
    std::vector<int32_t> values;
    for (const auto& n : names) values.push_back(cam->Get(n));
    cam->Close();
    if (c.json) {
        std::printf("{");
        for (size_t i = 0; i < names.size(); ++i) std::printf("%s%s:%d", i ? "," : "", Json(names[i]).c_str(), values[i]);
        std::printf("}\n");
    } else {
        for (size_t i = 0; i < names.size(); ++i) std::printf("%s=%d\n", names[i].c_str(), values[i]);
    }
    return 0;
}

// Sets controls and reports what each became; the lines are printed only
// once the settings are saved, so a failed save prints no success.
int Set(const Common& c, const std::vector<std::pair<std::string, int32_t>>& assignments) {
    for (const auto& [name, value] : assignments) {
        const auto& ctl = norvik::Camera::Control(name);
        if (!ctl.writable) throw Error("control '" + name + "' is read-only");
        if (ctl.hasRange && value < 0 && kUnsigned.count(name))
            throw Error(name + "=" + std::to_string(value) + " is not allowed: the range is " + Range(ctl));
        if (name == "timeout" && (value < ctl.minimum || value > ctl.maximum))
            throw Error("timeout=" + std::to_string(value) + " is not allowed: the range is " + Range(ctl) + " ms");
    }
    auto cam = OpenCamera(c);
    std::vector<std::string> lines;
    for (const auto& [name, value] : assignments) {
        if (kInert.count(name)) {
            lines.push_back(name + ": has no effect on this camera; not set");
            continue;
        }
        cam->Set(name, value);
        const int32_t now = cam->Get(name);
        std::string line = name + "=" + std::to_string(now);
        if (now != value) line += " (clamped from " + std::to_string(value) + ")";
        lines.push_back(line);
    }
    cam->Close();
    for (const auto& l : lines) std::printf("%s\n", l.c_str());
    return 0;
}

int Reset(const Common& c) {
    auto cam = OpenCamera(c);
    std::vector<std::string> lines;
    for (const auto& ctl : norvik::Camera::Controls()) {
        if (!ctl.writable || kInert.count(ctl.name)) continue;
        int32_t value;
        if (auto it = kOtherDefaults.find(ctl.name); it != kOtherDefaults.end())
            value = it->second;
        else if (ctl.hasRange && (ctl.defaultValue != 0 || ctl.minimum == 0) && ctl.name != "register_select")
            value = ctl.defaultValue;
        else
            continue;
        cam->Set(ctl.name, value);
        lines.push_back(ctl.name + "=" + std::to_string(cam->Get(ctl.name)));
    }
    cam->Close();
    for (const auto& l : lines) std::printf("%s\n", l.c_str());
    return 0;
}

int SetWindow(const Common& c, const std::vector<std::string>& args) {
    int32_t v[4];
    for (int i = 0; i < 4; ++i) v[i] = ParseNumber(args[static_cast<size_t>(i)], "window");
    auto cam = OpenCamera(c);
    const auto before = cam->GetWindow();
    cam->SetWindow(v[0], v[1], v[2], v[3]);
    auto w = cam->GetWindow();
    if (w.outputWidth <= 0 || w.outputHeight <= 0) {
        cam->SetWindow(before.x, before.y, before.width, before.height);
        cam->Close();
        throw Error("window " + args[0] + " " + args[1] + " " + args[2] + " " + args[3] +
                    " gives no frames: it is " + std::to_string(w.width) + " pixels wide after fitting the sensor, and "
                    "frames are the window's width rounded down to a multiple of 8; give a width of 8 or more");
    }
    cam->Close();
    std::printf("window: x=%d y=%d width=%d height=%d, frames %dx%d\n", w.x, w.y, w.width, w.height, w.outputWidth,
                w.outputHeight);
    return 0;
}

// The next frame within the time-out, or none when it ran out or a signal
// came; waits in short slices so Ctrl-C is noticed at once.
std::optional<norvik::Frame> NextFrame(norvik::Camera& cam, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (interrupted.load() == 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (auto f = cam.NextFrame(std::min(left, std::chrono::milliseconds(200)))) return f;
    }
    return std::nullopt;
}

int Capture(const Common& c, int64_t count64, const std::string& output, double timeoutSeconds, bool raw) {
    if (count64 < 1 || count64 > 1000000) throw Error("-n must be at least 1 and at most 1000000");
    CheckRange(timeoutSeconds, 0, 3600, "--timeout", true);
    const int count = static_cast<int>(count64);
    const OutputPattern pattern(output);
    auto cam = OpenCamera(c);
    cam->StartStreaming(raw, c.buffers, c.threads);
    auto start = std::chrono::steady_clock::now();
    int written = 0, inARow = 0;
    uint64_t timeouts = 0;
    while (written < count && interrupted.load() == 0) {
        auto frame = NextFrame(*cam, timeoutSeconds);
        if (!frame) {
            if (interrupted.load() != 0) break;
            ++timeouts;
            // Only time-outs in a row mean the camera has stopped; an
            // occasional stall in a long capture does not.
            if (++inARow >= 3) throw Error("no frames from the camera (3 time-outs in a row)");
            continue;
        }
        inARow = 0;
        std::string name = pattern.Name(written, count);
        tools::WritePngBgra(name, frame->top, frame->width, frame->height, frame->stride);
        if (raw) {
            if (frame->raw == nullptr) throw Error("frame " + std::to_string(written) + " came without its raw image");
            tools::WritePgm(RawName(name), frame->raw, frame->rawWidth, frame->rawHeight,
                            static_cast<size_t>(frame->rawWidth));
        }
        ++written;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Progress(written, count, written / (seconds > 0 ? seconds : 1));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t dropped = cam->Stats().dropped;
    cam->StopStreaming();
    cam->Close();
    if (isatty(STDERR_FILENO) && interrupted.load() != 0) std::fprintf(stderr, "\n");
    if (c.json)
        std::printf("{\"frames\":%d,\"seconds\":%.3f,\"fps\":%.2f,\"dropped\":%llu,\"timeouts\":%llu,\"interrupted\":%s}\n",
                    written, seconds, written / (seconds > 0 ? seconds : 1), static_cast<unsigned long long>(dropped),
                    static_cast<unsigned long long>(timeouts), interrupted.load() ? "true" : "false");
    std::fprintf(stderr, "captured %d frames in %.2f s (%.1f fps), dropped %llu, time-outs %llu%s\n", written, seconds,
                 written / (seconds > 0 ? seconds : 1), static_cast<unsigned long long>(dropped),
                 static_cast<unsigned long long>(timeouts), interrupted.load() ? ", interrupted" : "");
    return interrupted.load() != 0 ? InterruptedExit() : 0;
}

int Stream(const Common& c, int64_t count) {
    if (count < 0 || count > 1000000000) throw Error("-n must be at least 0 (until interrupted) and at most 1000000000");
    if (isatty(STDOUT_FILENO)) throw Error("standard output is a terminal: pipe the frames into a program (see --help)");
    auto cam = OpenCamera(c);
    auto w = cam->GetWindow();
    if (count > 0)
        std::fprintf(stderr, "streaming %lld frames of %dx%d BGRA to standard output\n", static_cast<long long>(count),
                     w.outputWidth, w.outputHeight);
    else
        std::fprintf(stderr, "streaming %dx%d BGRA frames to standard output until interrupted\n", w.outputWidth,
                     w.outputHeight);
    cam->StartStreaming(false, c.buffers, c.threads);
    int64_t sent = 0;
    bool readerGone = false;
    std::string failure;
    while ((count == 0 || sent < count) && interrupted.load() == 0) {
        auto frame = NextFrame(*cam, 5);
        if (!frame) {
            if (interrupted.load() != 0) break;
            failure = "no frames from the camera";
            break;
        }
        // Straight from the driver's buffer, top row first.
        const auto row = static_cast<size_t>(frame->width) * 4;
        bool written = true;
        for (int y = 0; y < frame->height && written; ++y) written = std::fwrite(frame->Row(y), 1, row, stdout) == row;
        if (!written || std::fflush(stdout) != 0) {
            if (errno == EPIPE) {
                readerGone = true;  // the reader has what it wanted
            } else {
                failure = std::string("cannot write to standard output: ") + std::strerror(errno);
            }
            break;
        }
        ++sent;
    }
    const uint64_t dropped = cam->Stats().dropped;
    cam->StopStreaming();
    cam->Close();
    std::fprintf(stderr, "streamed %lld frames, dropped %llu%s\n", static_cast<long long>(sent),
                 static_cast<unsigned long long>(dropped),
                 interrupted.load() ? ", interrupted" : readerGone ? ", the reader closed the pipe" : "");
    if (!failure.empty()) throw Error(failure);
    return interrupted.load() != 0 ? InterruptedExit() : 0;
}

// --- offline conversion ---

constexpr size_t kWireBytes = 2560u * 2080u, kImageBytes = 2560u * 1920u;

// Reads a file that may be a raw frame, checking what it is before reading
// a byte of it.
std::vector<uint8_t> ReadInput(const std::string& in) {
    struct stat st {};
    if (::stat(in.c_str(), &st) != 0) throw Error("cannot read " + in + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw Error(in + " is a folder, not a raw frame");
    if (!S_ISREG(st.st_mode)) throw Error(in + " is not a regular file: give a stored raw frame");
    if (static_cast<size_t>(st.st_size) > kWireBytes + 4096)
        throw Error(in + " is " + std::to_string(st.st_size) + " bytes: too large for a raw frame (" +
                    std::to_string(kWireBytes) + " bytes at most)");
    std::ifstream file(in, std::ios::binary);
    if (!file) throw Error("cannot read " + in + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    if (!file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        throw Error("cannot read " + in);
    return bytes;
}

// An 8-bit binary PGM: "P5", width, height, 255, with comments, in at most
// 1 KiB of header; the image no larger than the sensor's raw frame.
std::vector<uint8_t> ParsePgm(const std::vector<uint8_t>& bytes, const std::string& in, int* width, int* height) {
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
        if (at >= bytes.size() || !std::isdigit(bytes[at]) || at > 1024) throw Error(in + ": not an 8-bit binary PGM");
        field = 0;
        while (at < bytes.size() && std::isdigit(bytes[at])) {
            field = field * 10 + (bytes[at++] - '0');
            if (field > 1000000) throw Error(in + ": PGM header numbers too large for a camera frame");
        }
    }
    if (at >= bytes.size() || !std::isspace(bytes[at])) throw Error(in + ": not an 8-bit binary PGM");
    ++at;
    if (fields[2] != 255) throw Error(in + ": only 8-bit PGM (maximum value 255) is a camera frame");
    if (fields[0] < 1 || fields[1] < 1 || fields[0] > 2560 || fields[1] > 2080)
        throw Error(in + ": a " + std::to_string(fields[0]) + "x" + std::to_string(fields[1]) +
                    " image is not a window of the 2560x1920 sensor");
    *width = static_cast<int>(fields[0]);
    *height = static_cast<int>(fields[1]);
    const size_t pixels = static_cast<size_t>(*width) * static_cast<size_t>(*height);
    if (bytes.size() - at < pixels) throw Error(in + ": PGM is cut short");
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + pixels));
}

// Offline conversion through the same pipeline the driver uses.
int Convert(const std::string& in, const std::string& out, const std::string& layout,
            const std::vector<std::string>& sets, const std::vector<int32_t>& window) {
    std::vector<uint8_t> bytes = ReadInput(in);
    int width = 2560, height = 1920;
    std::vector<uint8_t> image;  // image rows in order, `width` apart
    if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '5') {
        image = ParsePgm(bytes, in, &width, &height);
    } else if (layout == "image" && bytes.size() == kImageBytes) {
        image = bytes;
    } else if (layout == "wire" && bytes.size() == kWireBytes) {
        image.resize(kImageBytes);
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
    if (outWidth <= 0 || h <= 0)
        throw Error("the window gives no pixels: frames are the window's width rounded down to a multiple of 8");
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
    if (out.size() >= 5 && out.substr(out.size() - 5) == ".bgra")
        tools::WriteBytes(out, bgra.data(), static_cast<size_t>(outWidth) * 4, static_cast<size_t>(h),
                          static_cast<size_t>(w) * 4);
    else
        tools::WritePngBgra(out, bgra.data(), outWidth, h, static_cast<size_t>(w) * 4);
    std::fprintf(stderr, "converted %s (%dx%d) to %s\n", in.c_str(), outWidth, h, out.c_str());
    return 0;
}

int List(bool json) {
    auto cameras = norvik::ListCameras();
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < cameras.size(); ++i)
            std::printf("%s{\"device\":%s,\"description\":%s}", i ? "," : "", Json(cameras[i].device).c_str(),
                        Json(cameras[i].description).c_str());
        std::printf("]\n");
    } else {
        for (const auto& cam : cameras) std::printf("%-6s %s\n", cam.device.c_str(), cam.description.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    InstallSignalHandlers();
    CLI::App app{"norvikcam: capture from the Norvik 2560x1920 raw-Bayer camera"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "norvikcam " NORVIKCAM_VERSION);
    app.footer("Exit codes: 0 success, 1 failure, 2 a command line that does not parse, "
               "130 / 143 a capture or stream ended by Ctrl-C / SIGTERM.");
    // Options that every camera command takes, before or after the command.
    Common common;
    app.add_option("--device", common.device, "camera to open (see 'norvikcam list')")->capture_default_str();
    app.add_option("--settings", common.settings, "settings file (.reg); default " + DefaultSettingsPath());
    app.add_option("--trace", common.trace, "write the USB traffic to this pcap file (Wireshark opens it)");
    app.add_option("--fps", common.fps, "frame rate of the simulated camera, 0..1000 (0: as fast as it can)")
        ->capture_default_str();
    app.add_option("--wait", common.wait, "seconds to wait for a camera another process has open (default: refuse)");
    app.add_flag("--json", common.json, "machine-readable output (list, info, get, capture)");
    app.add_option("--threads", common.threads, "threads a frame's conversion uses, 0..64 (0: one a core)")
        ->capture_default_str();
    app.add_option("--buffers", common.buffers, "frames in the client's hands or queued while streaming, 1..64")
        ->capture_default_str();
    auto sub = [&](const char* name, const char* what) {
        auto* s = app.add_subcommand(name, what);
        s->fallthrough();
        return s;
    };
    auto* list = sub("list", "list the cameras that can be opened");
    auto* info = sub("info", "show the format, the window and every control");
    std::vector<std::string> names;
    auto* get = sub("get", "print controls");
    get->add_option("NAME", names, "control names, e.g. exposure hue")->required();
    std::vector<std::string> assignments;
    auto* set = sub("set", "change controls (a value beyond a control's range is clamped, and said so)");
    set->add_option("NAME=VALUE", assignments, "e.g. exposure=64 flip_h=1")->required();
    auto* reset = sub("reset", "set every control to its default");
    std::vector<std::string> windowArgs;
    auto* window = sub("window", "set the readout window");
    window->add_option("X Y W H", windowArgs, "left, top, width, height (0 width or height: as large as fits)")
        ->expected(4)
        ->required();
    int64_t count = 1;
    std::string pattern = "frame-%04d.png";
    double timeout = 5;
    auto* capture = sub("capture", "capture frames to PNG files");
    capture->add_option("-n,--count", count, "number of frames, 1..1000000")->capture_default_str();
    capture->add_option("-o,--output", pattern,
                        "file name; %d (or %03d) stands for the frame number, counted from 0. Without it one frame "
                        "is written under the name given, more get -0000, -0001, ... before the extension")
        ->capture_default_str();
    capture->add_option("--timeout", timeout, "seconds to wait for a frame (above 0, at most 3600)")->capture_default_str();
    bool raw = false;
    capture->add_flag("--raw", raw, "also write each frame's raw image (the window, 8 bits) as a .pgm beside its PNG");
    int64_t streamCount = 0;
    auto* stream = sub(
        "stream", "raw BGRA frames, top row first, to standard output: | ffmpeg -f rawvideo -pix_fmt bgra -s WxH -i - out.mkv");
    stream->add_option("-n,--count", streamCount, "number of frames (0: until interrupted)")->capture_default_str();
    std::string in, out, layout = "wire";
    std::vector<std::string> convertSets;
    std::vector<int32_t> convertWindow;
    auto* convert = sub("convert", "convert a stored raw frame to PNG or BGRA");
    convert->add_option("IN", in, "raw frame: camera layout (5324800 bytes), image layout, or PGM")->required();
    convert->add_option("OUT", out, "output .png, or .bgra for raw pixels")->required();
    convert->add_option("--layout", layout, "wire (the camera's) or image")->check(CLI::IsMember({"wire", "image"}))
        ->capture_default_str();
    convert->add_option("--set", convertSets, "processing control NAME=VALUE");
    convert->add_option("--window", convertWindow, "X Y W H")->expected(4);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    try {
        if (*list) return List(common.json);
        if (*info) return Info(common);
        if (*get) return Get(common, names);
        if (*set) {
            std::vector<std::pair<std::string, int32_t>> parsed;
            for (const auto& a : assignments) {
                parsed.push_back(ParseAssignment(a));
                norvik::Camera::Control(parsed.back().first);
            }
            return Set(common, parsed);
        }
        if (*reset) return Reset(common);
        if (*window) return SetWindow(common, windowArgs);
        if (*capture) return Capture(common, count, pattern, timeout, raw);
        if (*stream) return Stream(common, streamCount);
        if (*convert) return Convert(in, out, layout, convertSets, convertWindow);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvikcam: %s\n", e.what());
        return 1;
    }
    return 0;
}
