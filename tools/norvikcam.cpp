// norvikcam: list cameras, read and change controls, capture bursts of
// frames to PNG and DNG, stream BGRA or YUV4MPEG2 to standard output,
// convert stored raw frames offline.
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
#include <thread>

#include "client/camera.h"
#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "tools/burst_writer.h"
#include "tools/convert.h"
#include "tools/frame_metadata.h"
#include "tools/image_files.h"
#include "tools/json.h"
#include "tools/video_formats.h"
#include "tools/viewer.h"

#ifndef NORVIKCAM_VERSION
#define NORVIKCAM_VERSION "0.4"
#endif

namespace {

using norvik::Error;
using tools::JsonString;

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

// --- numbers ---

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

// The raw image's file beside a frame's PNG: the same name with `extension`.
std::string SiblingName(const std::string& png, const std::string& extension) {
    auto dot = png.rfind('.');
    auto slash = png.rfind('/');
    bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExt ? png.substr(0, dot) : png) + extension;
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
        return {device, settings.empty() ? norvik::DefaultSettingsPath() : settings, trace, fps, wait, ""};
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

const char* TypeName(const norvik::ControlInfo& c) {
    return c.type == norvik::ControlType::Switch ? "switch" : "int";
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
                    JsonString(c.device).c_str(), JsonString(identity).c_str(), w.outputWidth, w.outputHeight,
                    w.outputWidth * w.outputHeight * 4, w.x, w.y, w.width, w.height);
        for (size_t i = 0; i < controls.size(); ++i) {
            const auto& ctl = controls[i];
            std::printf("%s{\"name\":%s,\"value\":%d,\"writable\":%s,\"inert\":%s,\"type\":\"%s\"",
                        i ? "," : "", JsonString(ctl.name).c_str(), values[i],
                        ctl.writable ? "true" : "false", ctl.inert ? "true" : "false",
                        TypeName(ctl));
            if (ctl.hasRange)
                std::printf(",\"min\":%d,\"max\":%d,\"default\":%d", ctl.minimum, ctl.maximum,
                            ctl.defaultValue);
            std::printf(",\"unit\":%s,\"description\":%s}", JsonString(ctl.unit).c_str(),
                        JsonString(ctl.description).c_str());
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
        std::printf("  %-18s (%s) : value=%d", ctl.name.c_str(), TypeName(ctl), values[i]);
        if (ctl.inert) {
            std::printf(" flags=inert (kept, no effect on this camera)\n");
            continue;
        }
        if (ctl.hasRange)
            std::printf(" min=%d max=%d default=%d", ctl.minimum, ctl.maximum, ctl.defaultValue);
        if (!ctl.unit.empty()) std::printf(" %s", ctl.unit.c_str());
        if (!ctl.writable) std::printf(" flags=read-only");
        std::printf("  %s\n", ctl.description.c_str());
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
        for (size_t i = 0; i < names.size(); ++i) std::printf("%s%s:%d", i ? "," : "", JsonString(names[i]).c_str(), values[i]);
        std::printf("}\n");
    } else {
        for (size_t i = 0; i < names.size(); ++i) std::printf("%s=%d\n", names[i].c_str(), values[i]);
    }
    return 0;
}

// Sets controls and reports what each became; the lines are printed only
// once the settings are saved, so a failed save prints no success.
int Set(const Common& c, const std::vector<std::pair<std::string, int32_t>>& assignments) {
    // Every value is checked before the camera opens: one refused changes nothing.
    for (const auto& [name, value] : assignments) norvik::Camera::Check(name, value);
    auto cam = OpenCamera(c);
    std::vector<std::string> lines;
    for (const auto& [name, value] : assignments) {
        if (norvik::Camera::Control(name).inert) {
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
        if (!ctl.shown) continue;
        cam->Set(ctl.name, ctl.defaultValue);
        lines.push_back(ctl.name + "=" + std::to_string(cam->Get(ctl.name)));
    }
    cam->Close();
    for (const auto& l : lines) std::printf("%s\n", l.c_str());
    return 0;
}

int SetWindow(const Common& c, const std::vector<std::string>& args) {
    int32_t v[4];
    for (int i = 0; i < 4; ++i) v[i] = tools::ParseNumber(args[static_cast<size_t>(i)], "window");
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

// --- burst capture ---

struct CaptureOptions {
    int64_t count = 1;
    std::string output;          // empty: frame-%04d and the format's extension
    double timeout = 5;
    std::string format = "png";  // png or dng
    bool raw = false;            // with png: the raw window beside each PNG too
    std::string rawFormat = "dng";
    std::string metadata;        // a file of one line per frame (CSV for .csv, else JSON lines)
    int writers = 0;             // 0: one a core
    double memoryMb = 0;         // 0: a quarter of the memory, at most 4 GiB
};

double DefaultMemoryMb() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    const double total = pages > 0 && pageSize > 0 ? static_cast<double>(pages) * static_cast<double>(pageSize) : 4e9;
    return std::max(64.0, std::min(4096.0, total / 4 / (1024 * 1024)));
}

// What the files of one kept frame say about it.
struct FrameRecord {
    int index = 0;
    std::string name;  // the main file
    int64_t picture = 0, presentationTime = 0;
    uint64_t droppedSoFar = 0;
    std::chrono::system_clock::time_point hostTime;
};

// One kept frame: its copy out of the client buffer, until it is written.
struct KeptFrame : FrameRecord {
    int width = 0, height = 0;
    std::vector<uint8_t> bgra;  // top row first, tight; empty when no PNG is written
    int rawWidth = 0, rawHeight = 0;
    std::vector<uint8_t> raw;   // the window's samples, tight; empty when no raw file is written
};

struct CaptureTotals {
    int captured = 0, kept = 0, droppedByTool = 0;
    uint64_t written = 0, droppedByCamera = 0, timeouts = 0;
    size_t peakBytes = 0;
    double seconds = 0;
};

void WriteMetadata(const std::string& path, const std::vector<FrameRecord>& rows) {
    const bool csv = path.size() >= 4 && path.substr(path.size() - 4) == ".csv";
    std::string text = csv ? "file,picture,presentation_time_100ns,host_time,dropped_so_far\n" : "";
    char b[64];
    for (const auto& r : rows) {
        if (csv) {
            std::string name = r.name;
            if (name.find_first_of(",\"\n") != std::string::npos) {  // quoted as CSV quotes
                std::string q = "\"";
                for (char ch : name) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
                name = q + "\"";
            }
            std::snprintf(b, sizeof b, ",%lld,%lld,", static_cast<long long>(r.picture),
                          static_cast<long long>(r.presentationTime));
            text += name + b + tools::IsoTime(r.hostTime) + "," + std::to_string(r.droppedSoFar) + "\n";
        } else {
            std::snprintf(b, sizeof b, ",\"picture\":%lld,\"presentation_time_100ns\":%lld", static_cast<long long>(r.picture),
                          static_cast<long long>(r.presentationTime));
            text += "{\"file\":" + JsonString(r.name) + b + ",\"host_time\":" + JsonString(tools::IsoTime(r.hostTime)) +
                    ",\"dropped_so_far\":" + std::to_string(r.droppedSoFar) + "}\n";
        }
    }
    tools::WriteBytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 1, text.size());
}

void BurstProgress(const CaptureTotals& t, int count, const tools::BurstWriter::Counts& w, double seconds, bool last) {
    if (!isatty(STDERR_FILENO)) return;
    std::fprintf(stderr, "\rcaptured %d/%d  written %llu  queue %zu (%.0f MB)  %.1f fps ", t.kept, count,
                 static_cast<unsigned long long>(w.written), w.queued, static_cast<double>(w.bytesHeld) / 1048576.0,
                 t.kept / (seconds > 0 ? seconds : 1));
    if (last) std::fprintf(stderr, "\n");
}

int Capture(const Common& c, const CaptureOptions& o) {
    if (o.count < 1 || o.count > 1000000) throw Error("-n must be at least 1 and at most 1000000");
    CheckRange(o.timeout, 0, 3600, "--timeout", true);
    CheckRange(o.writers, 0, 64, "--writers");
    CheckRange(o.memoryMb, 0, 1048576, "--memory");
    const bool dng = o.format == "dng";
    const bool png = !dng;
    const bool sideRaw = png && o.raw;
    const int count = static_cast<int>(o.count);
    const OutputPattern pattern(o.output.empty() ? (dng ? "frame-%04d.dng" : "frame-%04d.png") : o.output);
    const double memoryMb = o.memoryMb > 0 ? o.memoryMb : DefaultMemoryMb();
    const int writers = o.writers > 0 ? o.writers : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    auto cam = OpenCamera(c);
    const tools::TextFields settings = tools::CaptureSettings(*cam);
    std::vector<FrameRecord> rows(static_cast<size_t>(count));  // what each file is, for the metadata
    std::vector<char> writtenOk(static_cast<size_t>(count), 0);
    CaptureTotals t;
    bool warnedLimit = false;
    std::string failure;
    {
        tools::BurstWriter writer(writers, static_cast<size_t>(memoryMb * 1048576.0));
        cam->StartStreaming(dng || sideRaw, c.buffers, c.threads);
        const auto start = std::chrono::steady_clock::now();
        auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
        int inARow = 0;
        while (t.kept < count && interrupted.load() == 0) {
            if (!(failure = writer.Failure()).empty()) break;
            auto frame = NextFrame(*cam, o.timeout);
            if (!frame) {
                if (interrupted.load() != 0) break;
                ++t.timeouts;
                // Only time-outs in a row mean the camera has stopped; an
                // occasional stall in a long capture does not.
                if (++inARow >= 3) {
                    failure = "no frames from the camera (3 time-outs in a row)";
                    break;
                }
                continue;
            }
            inARow = 0;
            ++t.captured;
            if ((dng || sideRaw) && frame->raw == nullptr) {
                failure = "a frame came without its raw image";
                break;
            }
            const size_t bytes = (png ? static_cast<size_t>(frame->width) * frame->height * 4 : 0) +
                                 (dng || sideRaw ? static_cast<size_t>(frame->rawWidth) * frame->rawHeight : 0);
            auto kept = std::make_shared<KeptFrame>();
            kept->index = t.kept;
            kept->name = pattern.Name(t.kept, count);
            kept->picture = frame->pictureNumber;
            kept->presentationTime = frame->presentationTime;
            kept->droppedSoFar = cam->Stats().dropped;
            kept->hostTime = std::chrono::system_clock::now();
            auto job = [kept, png, dng, sideRaw, &o, &settings, &writtenOk] {
                tools::TextFields fields = {{"picture", std::to_string(kept->picture)},
                                            {"presentation_time_100ns", std::to_string(kept->presentationTime)},
                                            {"host_time", tools::IsoTime(kept->hostTime)}};
                fields.insert(fields.end(), settings.begin(), settings.end());
                if (png)
                    tools::WritePngBgra(kept->name, kept->bgra.data(), kept->width, kept->height,
                                        static_cast<ptrdiff_t>(kept->width) * 4, fields);
                if (dng || (sideRaw && o.rawFormat == "dng")) {
                    const tools::DngInfo info = tools::FrameDngInfo(kept->picture, kept->hostTime, fields);
                    tools::WriteDng(dng ? kept->name : SiblingName(kept->name, ".dng"), kept->raw.data(), kept->rawWidth,
                                    kept->rawHeight, static_cast<size_t>(kept->rawWidth), info);
                } else if (sideRaw) {
                    tools::WritePgm(SiblingName(kept->name, ".pgm"), kept->raw.data(), kept->rawWidth, kept->rawHeight,
                                    static_cast<size_t>(kept->rawWidth));
                }
                writtenOk[static_cast<size_t>(kept->index)] = 1;
            };
            // The copy is made only for a frame that will be kept; one the
            // limit turns away goes straight back to the driver.
            if (!writer.Reserve(bytes)) {
                if (!(failure = writer.Failure()).empty()) break;
                ++t.droppedByTool;
                if (!warnedLimit) {
                    warnedLimit = true;
                    std::fprintf(stderr,
                                 "%snorvikcam: the frames waiting to be written reached the memory limit (%.0f MB): "
                                 "frames are dropped until the writers catch up (--memory raises the limit; DNG "
                                 "frames take a quarter of the memory)\n",
                                 isatty(STDERR_FILENO) ? "\n" : "", memoryMb);
                }
                continue;
            }
            kept->width = frame->width;
            kept->height = frame->height;
            if (png) {
                kept->bgra.resize(bytes - (dng || sideRaw ? static_cast<size_t>(frame->rawWidth) * frame->rawHeight : 0));
                const size_t row = static_cast<size_t>(frame->width) * 4;
                for (int y = 0; y < frame->height; ++y) std::memcpy(&kept->bgra[y * row], frame->Row(y), row);
            }
            if (dng || sideRaw) {
                kept->rawWidth = frame->rawWidth;
                kept->rawHeight = frame->rawHeight;
                kept->raw.assign(frame->raw, frame->raw + static_cast<size_t>(frame->rawWidth) * frame->rawHeight);
            }
            frame.reset();  // the buffer goes back before the frame is queued
            rows[static_cast<size_t>(t.kept)] = static_cast<const FrameRecord&>(*kept);  // not the pixels
            writer.Queue(bytes, std::move(job));
            ++t.kept;
            BurstProgress(t, count, writer.GetCounts(), elapsed(), false);
        }
        t.droppedByCamera = cam->Stats().dropped;
        cam->StopStreaming();
        // What is queued is written, with progress, however the capture ended.
        while (writer.GetCounts().queued > 0) {
            BurstProgress(t, count, writer.GetCounts(), elapsed(), false);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        writer.Finish();
        const auto counts = writer.GetCounts();
        BurstProgress(t, count, counts, elapsed(), true);
        t.written = counts.written;
        t.peakBytes = counts.peakBytes;
        t.seconds = elapsed();
        if (failure.empty()) failure = writer.Failure();
    }
    cam->Close();
    if (!o.metadata.empty()) {
        std::vector<FrameRecord> done;
        for (int i = 0; i < t.kept; ++i)
            if (writtenOk[static_cast<size_t>(i)]) done.push_back(rows[static_cast<size_t>(i)]);
        WriteMetadata(o.metadata, done);
    }
    const double fps = t.kept / (t.seconds > 0 ? t.seconds : 1);
    if (c.json)
        std::printf("{\"frames\":%llu,\"captured\":%d,\"written\":%llu,\"dropped\":%llu,\"dropped_by_camera\":%llu,"
                    "\"dropped_by_tool\":%d,\"timeouts\":%llu,\"seconds\":%.3f,\"fps\":%.2f,\"peak_memory_mb\":%.1f,"
                    "\"interrupted\":%s}\n",
                    static_cast<unsigned long long>(t.written), t.captured, static_cast<unsigned long long>(t.written),
                    static_cast<unsigned long long>(t.droppedByCamera), static_cast<unsigned long long>(t.droppedByCamera),
                    t.droppedByTool, static_cast<unsigned long long>(t.timeouts), t.seconds, fps,
                    static_cast<double>(t.peakBytes) / 1048576.0, interrupted.load() ? "true" : "false");
    // A failure is the one line that matters, with what was saved before it.
    if (!failure.empty())
        throw Error(t.written > 0 ? failure + " (" + std::to_string(t.written) + " frames were written before)" : failure);
    std::fprintf(stderr,
                 "captured %d frames in %.2f s (%.1f fps), wrote %llu, dropped %llu by the camera path and %d by the "
                 "memory limit, time-outs %llu%s\n",
                 t.captured, t.seconds, fps, static_cast<unsigned long long>(t.written),
                 static_cast<unsigned long long>(t.droppedByCamera), t.droppedByTool,
                 static_cast<unsigned long long>(t.timeouts), interrupted.load() ? ", interrupted" : "");
    return interrupted.load() != 0 ? InterruptedExit() : 0;
}

// The rate a player is told: the simulated camera's pace, or the camera's 30.
void StreamRate(const Common& c, int* numerator, int* denominator) {
    if (c.device == "sim" && c.fps > 0) {
        *numerator = static_cast<int>(std::lround(c.fps * 1000));
        *denominator = 1000;
        for (int d : {2, 2, 2, 5, 5, 5})
            if (*numerator % d == 0 && *denominator % d == 0) *numerator /= d, *denominator /= d;
    } else {
        *numerator = 30;
        *denominator = 1;
    }
}

int Stream(const Common& c, int64_t count, const std::string& format) {
    if (count < 0 || count > 1000000000) throw Error("-n must be at least 0 (until interrupted) and at most 1000000000");
    if (isatty(STDOUT_FILENO)) throw Error("standard output is a terminal: pipe the frames into a program (see --help)");
    const bool y4m = format == "y4m";
    auto cam = OpenCamera(c);
    auto w = cam->GetWindow();
    int rateNum = 30, rateDen = 1;
    StreamRate(c, &rateNum, &rateDen);
    const std::string rate = std::to_string(rateNum) + (rateDen != 1 ? "/" + std::to_string(rateDen) : "");
    const char* what = y4m ? "YUV4MPEG2 (4:2:0)" : "BGRA";
    if (count > 0)
        std::fprintf(stderr, "streaming %lld frames of %dx%d %s at %s frames/s to standard output\n",
                     static_cast<long long>(count), w.outputWidth, w.outputHeight, what, rate.c_str());
    else
        std::fprintf(stderr, "streaming %dx%d %s frames at %s frames/s to standard output until interrupted\n",
                     w.outputWidth, w.outputHeight, what, rate.c_str());
    if (!y4m)
        std::fprintf(stderr, "read it with: ffmpeg -f rawvideo -pix_fmt bgra -s %dx%d -r %s -i - out.mkv\n",
                     w.outputWidth, w.outputHeight, rate.c_str());
    std::vector<uint8_t> planes;
    if (y4m) {
        const std::string header = tools::Y4mHeader(w.outputWidth, w.outputHeight, rateNum, rateDen);
        if (std::fwrite(header.data(), 1, header.size(), stdout) != header.size() || std::fflush(stdout) != 0) {
            cam->Close();
            if (errno == EPIPE) return 0;
            throw Error(std::string("cannot write to standard output: ") + std::strerror(errno));
        }
        planes.resize(tools::Y4mFrameBytes(w.outputWidth, w.outputHeight));
    }
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
        bool written = true;
        if (y4m) {
            // The window cannot change while streaming: every frame has the header's size.
            tools::BgraToI420(frame->top, frame->stride, frame->width, frame->height, planes.data());
            written = std::fwrite("FRAME\n", 1, 6, stdout) == 6 &&
                      std::fwrite(planes.data(), 1, planes.size(), stdout) == planes.size();
        } else {
            // Straight from the driver's buffer, top row first.
            const auto row = static_cast<size_t>(frame->width) * 4;
            for (int y = 0; y < frame->height && written; ++y) written = std::fwrite(frame->Row(y), 1, row, stdout) == row;
        }
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
    std::fprintf(stderr, "streamed %lld frames, dropped %llu by the camera path%s\n", static_cast<long long>(sent),
                 static_cast<unsigned long long>(dropped),
                 interrupted.load() ? ", interrupted" : readerGone ? ", the reader closed the pipe" : "");
    if (!failure.empty()) throw Error(failure);
    return interrupted.load() != 0 ? InterruptedExit() : 0;
}

// --- offline conversion ---

int Convert(const std::string& in, const std::string& out, const std::string& layout,
            const std::vector<std::string>& sets, const std::vector<int32_t>& window) {
    const tools::RawInput input = tools::ReadRawInput(in, layout);
    const tools::Picture picture = tools::ConvertRawInput(input, sets, window);
    if (out.size() >= 5 && out.substr(out.size() - 5) == ".bgra")
        tools::WriteBytes(out, picture.bgra.data(), static_cast<size_t>(picture.width) * 4,
                          static_cast<size_t>(picture.height), picture.stride);
    else
        tools::WritePngBgra(out, picture.bgra.data(), picture.width, picture.height,
                            static_cast<ptrdiff_t>(picture.stride));
    std::fprintf(stderr, "converted %s (%dx%d) to %s\n", in.c_str(), picture.width, picture.height, out.c_str());
    return 0;
}

// Streams and serves the viewer until Ctrl-C; the settings are saved when
// the camera closes, as every command saves them.
int View(const Common& c, const std::string& listen, const std::string& snapshots) {
    tools::ViewerOptions o;
    if (!listen.empty()) tools::ParseListen(listen, &o);
    o.snapshotDirectory = snapshots;
    o.buffers = c.buffers;
    o.threads = c.threads;
    auto cam = OpenCamera(c);
    if (!tools::IsLoopback(o.host))
        std::fprintf(stderr,
                     "norvikcam: listening on %s, not only on this machine: anyone who can reach it can watch, "
                     "and anyone who can open the page can change the camera\n",
                     o.host.c_str());
    tools::RunViewer(
        *cam, o, [] { return interrupted.load() != 0; },
        [](const std::string& url) {
            std::printf("viewer at %s (Ctrl-C to stop; the settings are saved then)\n", url.c_str());
            std::fflush(stdout);
        });
    cam->Close();
    return interrupted.load() != 0 ? 0 : 1;
}

int List(bool json) {
    auto cameras = norvik::ListCameras();
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < cameras.size(); ++i)
            std::printf("%s{\"device\":%s,\"description\":%s}", i ? "," : "", JsonString(cameras[i].device).c_str(),
                        JsonString(cameras[i].description).c_str());
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
    app.add_option("--settings", common.settings, "settings file (.reg); default " + norvik::DefaultSettingsPath());
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
    auto* set = sub(
        "set",
        "change controls (a value outside a control's range is refused, and nothing is changed)");
    set->add_option("NAME=VALUE", assignments, "e.g. exposure=64 flip_h=1")->required();
    auto* reset = sub("reset", "set every control to its default");
    std::vector<std::string> windowArgs;
    auto* window = sub("window", "set the readout window");
    window->add_option("X Y W H", windowArgs, "left, top, width, height (0 width or height: as large as fits)")
        ->expected(4)
        ->required();
    CaptureOptions capt;
    auto* capture = sub("capture", "capture a burst of frames to PNG or DNG files, every frame the camera delivers");
    capture->add_option("-n,--count", capt.count, "number of frames, 1..1000000")->capture_default_str();
    capture->add_option("-o,--output", capt.output,
                        "file name; %d (or %03d) stands for the frame number, counted from 0. Without it one frame "
                        "is written under the name given, more get -0000, -0001, ... before the extension "
                        "(default frame-%04d.png, or .dng)");
    capture->add_option("--timeout", capt.timeout, "seconds to wait for a frame (above 0, at most 3600)")
        ->capture_default_str();
    capture->add_option("--format", capt.format, "png (the pictures) or dng (the raw frames, for raw developers)")
        ->check(CLI::IsMember({"png", "dng"}))
        ->capture_default_str();
    capture->add_flag("--raw", capt.raw, "with png: also write each frame's raw window beside its PNG");
    capture->add_option("--raw-format", capt.rawFormat, "the file --raw writes: dng, or pgm (8-bit grey samples)")
        ->check(CLI::IsMember({"dng", "pgm"}))
        ->capture_default_str();
    capture->add_option("--metadata", capt.metadata,
                        "write one line per frame written: file, picture number, presentation time, host time, "
                        "drops so far (CSV when the name ends in .csv, JSON lines otherwise)");
    capture->add_option("--writers", capt.writers, "threads that encode and write files, 0..64 (0: one a core)")
        ->capture_default_str();
    capture->add_option("--memory", capt.memoryMb,
                        "MB the frames waiting to be written may hold (default: a quarter of the memory, at most 4096)");
    int64_t streamCount = 0;
    auto* stream = sub("stream",
                       "frames to standard output, top row first: raw BGRA (| ffmpeg -f rawvideo -pix_fmt bgra -s WxH "
                       "-r 30 -i - out.mkv, printed with the size filled in) or YUV4MPEG2 (| ffplay -)");
    stream->add_option("-n,--count", streamCount, "number of frames (0: until interrupted)")->capture_default_str();
    std::string streamFormat = "bgra";
    stream->add_option("--format", streamFormat, "bgra (no header) or y4m (size and rate in a header players read)")
        ->check(CLI::IsMember({"bgra", "y4m"}))
        ->capture_default_str();
    std::string listen, snapshots = ".";
    auto* view = sub("view", "show the live picture and every control in a browser (Ctrl-C ends it)");
    view->add_option("--listen", listen,
                     "ADDRESS:PORT to serve on (default 127.0.0.1:8080; port 0: any free one); another address than "
                     "the loopback lets other machines in");
    view->add_option("--snapshots", snapshots, "folder the snapshot button saves PNG and DNG files in")
        ->capture_default_str();
    std::string in, out, layout = "wire";
    std::vector<std::string> convertSets;
    std::vector<int32_t> convertWindow;
    auto* convert = sub("convert", "convert a stored raw frame to PNG or BGRA");
    convert->add_option("IN", in, "raw frame: camera layout (5324800 bytes), image layout, PGM, or a DNG from capture")
        ->required();
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
            for (const auto& a : assignments) parsed.push_back(tools::ParseAssignment(a));
            return Set(common, parsed);
        }
        if (*reset) return Reset(common);
        if (*window) return SetWindow(common, windowArgs);
        if (*capture) {
            // A burst needs the driver to have somewhere to put the next
            // frames while this thread copies one out.
            if (app.get_option("--buffers")->count() == 0) common.buffers = 8;
            return Capture(common, capt);
        }
        if (*stream) return Stream(common, streamCount, streamFormat);
        if (*convert) return Convert(in, out, layout, convertSets, convertWindow);
        if (*view) return View(common, listen, snapshots);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvikcam: %s\n", e.what());
        return 1;
    }
    return 0;
}
