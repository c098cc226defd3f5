// norvikcam capture: a burst of frames to PNG or DNG files, every frame the
// camera delivers, written by a pool of writers within a memory limit.
#include "tools/commands/commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/burst_writer.h"
#include "tools/commands/output_names.h"
#include "tools/frame_metadata.h"
#include "tools/image_files.h"
#include "tools/json.h"

namespace tools::commands {
namespace {

struct CaptureOptions {
    int64_t count = 1;
    std::string output;  // empty: frame-%04d and the format's extension
    double timeout = 5;
    std::string format;  // png or dng; empty: from the -o extension, else png
    bool raw = false;    // with png: the raw window beside each PNG too
    std::string rawFormat = "dng";
    std::string metadata;  // a file of one line per frame (CSV for .csv, else JSON lines)
    int writers = 0;       // 0: one a core
    double memoryMb = 0;   // 0: a quarter of the memory, at most 4 GiB
};

double DefaultMemoryMb() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    const double total = pages > 0 && pageSize > 0
                             ? static_cast<double>(pages) * static_cast<double>(pageSize)
                             : 4e9;
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
    norvik::FrameMemory bgra;  // top row first, tight; empty when no PNG is written
    int rawWidth = 0, rawHeight = 0;
    norvik::FrameMemory raw;  // the window's samples, tight; empty when no raw file is written
};

struct CaptureTotals {
    int captured = 0, kept = 0, droppedByTool = 0;
    uint64_t written = 0, droppedByCamera = 0, timeouts = 0;
    size_t peakBytes = 0;
    double seconds = 0;
    // The frames' own times (100 ns) of the first and the last frame
    // received, and how long the first one took from the start: the rate
    // is the frames', the start-up is said on its own.
    int64_t firstTime = 0, lastTime = 0;
    double startup = 0;

    // Frames a second between the first frame and the last, by their own
    // times; 0 with fewer than two frames.
    double Rate() const {
        if (captured < 2 || lastTime <= firstTime) return 0;
        return (captured - 1) / (static_cast<double>(lastTime - firstTime) / 1e7);
    }
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
            text += name + b + IsoTime(r.hostTime) + "," + std::to_string(r.droppedSoFar) + "\n";
        } else {
            std::snprintf(b, sizeof b, ",\"picture\":%lld,\"presentation_time_100ns\":%lld",
                          static_cast<long long>(r.picture),
                          static_cast<long long>(r.presentationTime));
            text += "{\"file\":" + JsonString(r.name) + b +
                    ",\"host_time\":" + JsonString(IsoTime(r.hostTime)) +
                    ",\"dropped_so_far\":" + std::to_string(r.droppedSoFar) + "}\n";
        }
    }
    WriteBytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 1, text.size());
}

void BurstProgress(const CaptureTotals& t, int count, const BurstWriter::Counts& w, double seconds,
                   bool last) {
    if (!isatty(STDERR_FILENO)) return;
    std::fprintf(stderr, "\rcaptured %d/%d  written %llu  queue %zu (%.0f MB)  %.1f fps ", t.kept,
                 count, static_cast<unsigned long long>(w.written), w.queued,
                 static_cast<double>(w.bytesHeld) / 1048576.0,
                 t.kept / (seconds > 0 ? seconds : 1));
    if (last) std::fprintf(stderr, "\n");
}

// One capture: the frames it keeps, the writers they wait for, and what it
// counts on the way.
class Burst {
  public:
    Burst(const Common& c, const CaptureOptions& o)
        : c_(c),
          o_(o),
          dng_(o.format == "dng"),
          png_(!dng_),
          sideRaw_(png_ && o.raw),
          count_(static_cast<int>(o.count)),
          pattern_(o.output),
          memoryMb_(o.memoryMb > 0 ? o.memoryMb : DefaultMemoryMb()),
          writers_(o.writers > 0
                       ? o.writers
                       : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))),
          rows_(static_cast<size_t>(count_)),
          writtenOk_(static_cast<size_t>(count_), 0) {}

    int Run() {
        auto cam = OpenCamera(c_);
        HandleInterrupts();
        settings_ = CaptureSettings(*cam);
        {
            BurstWriter writer(writers_, static_cast<size_t>(memoryMb_ * 1048576.0));
            cam->StartStreaming(RawWanted(), c_.buffers, c_.threads);
            priority_ = cam->Priority();
            start_ = std::chrono::steady_clock::now();
            Take(*cam, writer);
            t_.droppedByCamera = cam->Stats().dropped;
            cam->StopStreaming();
            Drain(writer);
        }
        cam->Close();
        if (!o_.metadata.empty()) {
            std::vector<FrameRecord> done;
            for (int i = 0; i < t_.kept; ++i)
                if (writtenOk_[static_cast<size_t>(i)])
                    done.push_back(rows_[static_cast<size_t>(i)]);
            WriteMetadata(o_.metadata, done);
        }
        return Report();
    }

  private:
    // The raw window is kept for a DNG, or for a raw file beside each PNG.
    bool RawWanted() const { return dng_ || sideRaw_; }

    double Elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

    // Frames until the count is kept, a signal comes, or something fails.
    void Take(norvik::Camera& cam, BurstWriter& writer) {
        // This thread only takes frames and copies them for the writers.
        const norvik::FrameReaderPriority reader;
        int inARow = 0;
        while (t_.kept < count_ && Interrupted() == 0) {
            if (!(failure_ = writer.Failure()).empty()) return;
            auto frame = NextFrame(cam, o_.timeout);
            if (!frame) {
                if (Interrupted() != 0) return;
                ++t_.timeouts;
                // Only time-outs in a row mean the camera has stopped; an
                // occasional stall in a long capture does not.
                if (++inARow >= 3) {
                    failure_ = "no frames from the camera (3 time-outs in a row)";
                    return;
                }
                continue;
            }
            inARow = 0;
            if (t_.captured == 0) {
                t_.firstTime = frame->presentationTime;
                t_.startup = Elapsed();
            }
            t_.lastTime = frame->presentationTime;
            ++t_.captured;
            if (RawWanted() && frame->raw == nullptr) {
                failure_ = "a frame came without its raw image";
                return;
            }
            const bool kept = Keep(frame, cam, writer);
            if (!failure_.empty()) return;
            if (kept) BurstProgress(t_, count_, writer.GetCounts(), Elapsed(), false);
        }
    }

    // Copies the frame out of its client buffer and queues its files;
    // false when the memory limit turned it away. The copy is made only
    // for a frame that will be kept; one turned away goes straight back to
    // the driver.
    bool Keep(std::optional<norvik::Frame>& frame, norvik::Camera& cam, BurstWriter& writer) {
        const size_t pictureBytes =
            png_ ? static_cast<size_t>(frame->width) * frame->height * 4 : 0;
        const size_t rawBytes =
            RawWanted() ? static_cast<size_t>(frame->rawWidth) * frame->rawHeight : 0;
        auto kept = std::make_shared<KeptFrame>();
        kept->index = t_.kept;
        kept->name = pattern_.Name(t_.kept, count_);
        kept->picture = frame->pictureNumber;
        kept->presentationTime = frame->presentationTime;
        kept->droppedSoFar = cam.Stats().dropped;
        kept->hostTime = std::chrono::system_clock::now();
        if (!writer.Reserve(pictureBytes + rawBytes)) {
            if (!(failure_ = writer.Failure()).empty()) return false;
            ++t_.droppedByTool;
            if (!warnedLimit_) {
                warnedLimit_ = true;
                std::fprintf(
                    stderr,
                    "%snorvikcam: the frames waiting to be written reached the memory limit "
                    "(%.0f MB): frames are dropped until the writers catch up (--memory "
                    "raises the limit; DNG frames take a quarter of the memory)\n",
                    isatty(STDERR_FILENO) ? "\n" : "", memoryMb_);
            }
            return false;
        }
        try {
            kept->width = frame->width;
            kept->height = frame->height;
            if (png_) {
                kept->bgra = writer.TakeBuffer(pictureBytes);
                const size_t row = static_cast<size_t>(frame->width) * 4;
                for (int y = 0; y < frame->height; ++y)
                    std::memcpy(kept->bgra.data() + y * row, frame->Row(y), row);
            }
            if (RawWanted()) {
                kept->rawWidth = frame->rawWidth;
                kept->rawHeight = frame->rawHeight;
                kept->raw = writer.TakeBuffer(rawBytes);
                std::memcpy(kept->raw.data(), frame->raw, rawBytes);
            }
            frame.reset();  // the buffer goes back before the frame is queued
            rows_[static_cast<size_t>(t_.kept)] =
                static_cast<const FrameRecord&>(*kept);  // not the pixels
            writer.Queue(pictureBytes + rawBytes, [this, kept, &writer] {
                WriteFiles(*kept);
                writtenOk_[static_cast<size_t>(kept->index)] = 1;
                writer.GiveBack(std::move(kept->bgra));
                writer.GiveBack(std::move(kept->raw));
            });
        } catch (...) {
            writer.Unreserve(pictureBytes + rawBytes);  // (out of memory): nothing was queued
            throw;
        }
        ++t_.kept;
        return true;
    }

    // On a writer's thread.
    void WriteFiles(const KeptFrame& kept) const {
        TextFields fields = {{"picture", std::to_string(kept.picture)},
                             {"presentation_time_100ns", std::to_string(kept.presentationTime)},
                             {"host_time", IsoTime(kept.hostTime)}};
        fields.insert(fields.end(), settings_.begin(), settings_.end());
        if (png_)
            WritePngBgra(kept.name, kept.bgra.data(), kept.width, kept.height,
                         static_cast<ptrdiff_t>(kept.width) * 4, fields);
        if (dng_ || (sideRaw_ && o_.rawFormat == "dng")) {
            const DngInfo info = FrameDngInfo(kept.picture, kept.hostTime, fields);
            WriteDng(dng_ ? kept.name : SiblingName(kept.name, ".dng"), kept.raw.data(),
                     kept.rawWidth, kept.rawHeight, static_cast<size_t>(kept.rawWidth), info);
        } else if (sideRaw_) {
            WritePgm(SiblingName(kept.name, ".pgm"), kept.raw.data(), kept.rawWidth, kept.rawHeight,
                     static_cast<size_t>(kept.rawWidth));
        }
    }

    // What is queued is written, with progress, however the capture ended.
    void Drain(BurstWriter& writer) {
        while (writer.GetCounts().queued > 0) {
            BurstProgress(t_, count_, writer.GetCounts(), Elapsed(), false);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        writer.Finish();
        const auto counts = writer.GetCounts();
        BurstProgress(t_, count_, counts, Elapsed(), true);
        t_.written = counts.written;
        t_.peakBytes = counts.peakBytes;
        t_.seconds = Elapsed();
        if (failure_.empty()) failure_ = writer.Failure();
    }

    int Report() const {
        const double fps = t_.Rate();
        char rate[48] = "";
        if (fps > 0) std::snprintf(rate, sizeof rate, "%.1f fps, ", fps);
        char fpsJson[24] = "null";
        if (fps > 0) std::snprintf(fpsJson, sizeof fpsJson, "%.2f", fps);
        const auto written = static_cast<unsigned long long>(t_.written);
        const auto droppedByCamera = static_cast<unsigned long long>(t_.droppedByCamera);
        const auto timeouts = static_cast<unsigned long long>(t_.timeouts);
        if (c_.json)
            std::printf(
                "{\"frames\":%llu,\"captured\":%d,\"written\":%llu,\"dropped\":%llu,"
                "\"dropped_by_camera\":%llu,\"dropped_by_tool\":%d,\"timeouts\":%llu,"
                "\"seconds\":%.3f,\"startup_seconds\":%.3f,\"fps\":%s,\"peak_memory_mb\":%.1f,"
                "\"interrupted\":%s}\n",
                written, t_.captured, written, droppedByCamera, droppedByCamera, t_.droppedByTool,
                timeouts, t_.seconds, t_.startup, fpsJson,
                static_cast<double>(t_.peakBytes) / 1048576.0, Interrupted() ? "true" : "false");
        // The summary of what was written comes first, also after a
        // failure; the failure is the last line.
        std::fprintf(
            stderr,
            "captured %d frame%s in %.2f s (%sthe first after %.2f s), wrote %llu, dropped %llu by "
            "the camera path and %d by the memory limit, time-outs %llu%s\n",
            t_.captured, t_.captured == 1 ? "" : "s", t_.seconds, rate, t_.startup, written,
            droppedByCamera, t_.droppedByTool, timeouts, Interrupted() ? ", interrupted" : "");
        // Said when the frame path got less than it asked for: frames may
        // then be lost to other work on a busy machine.
        if (priority_.asked && priority_.kind != norvik::FramePriority::Kind::RealTime)
            std::fprintf(stderr, "frame path priority: %s\n", priority_.description.c_str());
        if (!failure_.empty())
            throw Error(t_.written > 0 ? failure_ + " (" + std::to_string(t_.written) +
                                             " frames were written before)"
                                       : failure_);
        return Interrupted() != 0 ? InterruptedExit() : 0;
    }

    const Common& c_;
    const CaptureOptions& o_;
    const bool dng_, png_, sideRaw_;
    const int count_;
    const OutputPattern pattern_;
    const double memoryMb_;
    const int writers_;
    TextFields settings_;            // the camera's, in every file
    std::vector<FrameRecord> rows_;  // what each file is, for the metadata
    std::vector<char> writtenOk_;    // set by the writers, read once they are done
    CaptureTotals t_;
    bool warnedLimit_ = false;
    std::string failure_;
    norvik::FramePriority priority_;
    std::chrono::steady_clock::time_point start_;
};

// Temporary files an earlier capture killed on the way left beside names
// this one writes (".NAME.XXXXXX"): said, not removed, since another
// capture may be writing them now.
void WarnOfLeftovers(const std::vector<std::pair<std::string, std::string>>& paths) {
    std::set<std::string> names;
    std::string folder = ".";
    for (const auto& [what, path] : paths) {
        const std::filesystem::path p(path);
        if (what != "--metadata") folder = p.parent_path().empty() ? "." : p.parent_path().string();
        names.insert(p.filename().string());
    }
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        const std::string f = e.path().filename().string();
        if (f.size() > 8 && f[0] == '.' && f[f.size() - 7] == '.' &&
            names.count(f.substr(1, f.size() - 8)) > 0)
            found.push_back(f);
    }
    if (found.empty()) return;
    std::sort(found.begin(), found.end());
    std::fprintf(stderr,
                 "norvikcam: warning: %zu temporary file%s of an earlier capture that did not end "
                 "(%s%s) %s in %s: remove them once no capture writes there\n",
                 found.size(), found.size() == 1 ? "" : "s", found[0].c_str(),
                 found.size() > 1 ? ", ..." : "", found.size() == 1 ? "is" : "are", folder.c_str());
}

// Every file the capture would write, checked before the first frame: each
// can be made, and none replaces another.
void CheckOutputs(const CaptureOptions& o) {
    const OutputPattern pattern(o.output);
    const int count = static_cast<int>(o.count);
    std::vector<std::pair<std::string, std::string>> paths;
    if (!o.metadata.empty()) {
        CheckWritable(o.metadata, "--metadata");
        paths.emplace_back("--metadata", o.metadata);
    }
    const std::string sibling = "." + o.rawFormat;
    for (int i = 0; i < count; ++i) {
        const std::string name = pattern.Name(i, count);
        if (i == 0) CheckWritable(name, "-o");  // one folder for every frame
        paths.emplace_back("frame", name);
        if (o.raw) paths.emplace_back("raw file", SiblingName(name, sibling));
    }
    CheckDistinct(paths);
    WarnOfLeftovers(paths);
}

int Capture(const Common& c, const CaptureOptions& o, bool rawFormatGiven) {
    if (o.count < 1 || o.count > 1000000)
        throw UsageError("-n must be at least 1 and at most 1000000");
    CheckRange(o.timeout, 0.1, 3600, "--timeout");
    CheckRange(o.writers, 0, 64, "--writers");
    CheckRange(o.memoryMb, 0, 1048576, "--memory");
    // A fraction of a megabyte is no limit a user means but a typo.
    if (o.memoryMb > 0 && o.memoryMb < 1)
        throw UsageError("--memory must be 0 (the default) or from 1 to 1048576 MB");
    CaptureOptions resolved = o;
    resolved.format = FormatOf(o.output, o.format, {"png", "dng"}, "png");
    if (resolved.format == "dng" && o.raw)
        throw UsageError(
            "--raw writes the raw window beside each PNG; a DNG capture is the raw window "
            "already: leave --raw out");
    if (rawFormatGiven && !o.raw)
        throw UsageError("--raw-format says what --raw writes: give --raw too, or leave it out");
    if (resolved.output.empty()) resolved.output = "frame-%04d." + resolved.format;
    CheckOutputs(resolved);
    return Burst(c, resolved).Run();
}

}  // namespace

Command AddCapture(CLI::App& app, Common& common) {
    auto o = std::make_shared<CaptureOptions>();
    auto* s = AddSubcommand(
        app, "capture",
        "capture a burst of frames to PNG or DNG files, every frame the camera delivers");
    s->add_option("-n,--count", o->count, "number of frames, 1..1000000")->capture_default_str();
    s->add_option(
        "-o,--output", o->output,
        "file name; %d (or %03d) stands for the frame number, counted from 0. Without it "
        "one frame is written under the name given, more get -0000, -0001, ... before the "
        "extension (default frame-%04d.png, or .dng)");
    s->add_option("--timeout", o->timeout, "seconds to wait for a frame, 0.1..3600")
        ->capture_default_str();
    s->add_option("--format", o->format,
                  "png (the pictures) or dng (the raw frames, for raw developers); default: "
                  "the -o name's extension, else png")
        ->check(CLI::IsMember({"png", "dng"}));
    s->add_flag("--raw", o->raw, "with png: also write each frame's raw window beside its PNG");
    s->add_option("--raw-format", o->rawFormat,
                  "the file --raw writes: dng, or pgm (8-bit grey samples)")
        ->check(CLI::IsMember({"dng", "pgm"}))
        ->capture_default_str();
    s->add_option("--metadata", o->metadata,
                  "write one line per frame written: file, picture number, presentation time, "
                  "host time, drops so far (CSV when the name ends in .csv, JSON lines otherwise)");
    s->add_option("--writers", o->writers,
                  "threads that encode and write files, 0..64 (0: one a core)")
        ->capture_default_str();
    s->add_option("--memory", o->memoryMb,
                  "MB the frames waiting to be written may hold, 1..1048576 (0, the default: a "
                  "quarter of the memory, at most 4096)");
    return {s, [&app, &common, o, s] {
                // A burst needs the driver to have somewhere to put the next
                // frames while this thread copies one out.
                if (app.get_option("--buffers")->count() == 0) common.buffers = 8;
                return Capture(common, *o, s->get_option("--raw-format")->count() > 0);
            }};
}

}  // namespace tools::commands
