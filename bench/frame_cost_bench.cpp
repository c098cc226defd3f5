// What a delivered frame costs, stage by stage, against the floor of moving
// one output frame: the best of 30 memcpys of a full-resolution BGRA frame,
// measured in the same run.
//
// In this process, through the client API: the CPU time of each thread of
// the frame path (from the kernel's /proc/self/task/*/schedstat) per
// delivered frame, with the reader writing what the tool writes (BGRA or
// y4m, to /dev/null or to a pipe that `cat` drains). Then the tool itself as
// a user runs it: `norvikcam stream` at 30 frames/s and flat out, to
// /dev/null and into a pipe, its CPU per frame from wait4 and its rate.
//
// With --busy: the same machine kept busy by `yes > /dev/null` on every core
// (or beside whatever else runs), a 60-frame capture at 30 frames/s by the
// tool, and the camera's own clock and the host's drops in this process, at
// the frame path's default priority and at normal priority.
//
//   frame_cost_bench [--frames N]   (default 150 a run)
//   frame_cost_bench --busy [--no-load]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/camera.h"
#include "client/camera_internal.h"
#include "sim/simulated_camera.h"
#include "tools/gathered_write.h"
#include "tools/video_formats.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 2560, kHeight = 1920;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 4;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The best of 30 copies of one output frame, in ms.
double MemcpyFloorMs() {
    std::vector<uint8_t> a(kFrameBytes, 1), b(kFrameBytes, 2);
    double best = 1e9;
    for (int i = 0; i < 30; ++i) {
        const auto t = Clock::now();
        std::memcpy(b.data(), a.data(), kFrameBytes);
        best = std::min(best, Seconds(Clock::now() - t) * 1e3);
        a[static_cast<size_t>(i)] = b[kFrameBytes - 1 - static_cast<size_t>(i)];
    }
    return best;
}

// The frame path's threads by stage; every other thread of the process is
// the reader's side (this program's main thread writes the output).
const char* StageOf(const std::string& thread) {
    if (thread == "nv-camera") return "camera";
    if (thread == "nv-usb" || thread == "nv-libusb") return "usb";
    if (thread == "nv-system") return "capture";
    if (thread == "nv-process" || thread.rfind("nv-convert", 0) == 0) return "convert";
    return "reader";
}

// CPU nanoseconds of every thread of this process, by thread id.
std::map<std::string, std::pair<std::string, uint64_t>> ThreadTimes() {
    std::map<std::string, std::pair<std::string, uint64_t>> times;
    std::error_code ec;
    for (const auto& t : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(t.path() / "comm"), sched(t.path() / "schedstat");
        std::string name;
        uint64_t ns = 0;
        if (std::getline(comm, name) && (sched >> ns))
            times[t.path().filename().string()] = {name, ns};
    }
    return times;
}

struct StageCosts {
    std::map<std::string, double> ms;  // per delivered frame
    double total = 0, fps = 0;
    uint64_t frames = 0, dropped = 0;
};

enum class Output { None, BgraNull, BgraPipe, Y4mNull, Y4mPipe };

const char* OutputName(Output o) {
    switch (o) {
        case Output::None:
            return "none (the reader only looks)";
        case Output::BgraNull:
            return "BGRA to /dev/null";
        case Output::BgraPipe:
            return "BGRA to a pipe (cat)";
        case Output::Y4mNull:
            return "y4m to /dev/null";
        case Output::Y4mPipe:
            return "y4m to a pipe (cat)";
    }
    return "";
}

StageCosts MeasureInProcess(double fps, Output output, int frames) {
    FILE* pipe = nullptr;
    int fd = -1;
    if (output == Output::BgraPipe || output == Output::Y4mPipe) {
        pipe = ::popen("cat > /dev/null", "w");
        fd = ::fileno(pipe);
    } else if (output != Output::None) {
        fd = ::open("/dev/null", O_WRONLY);
    }
    norvik::OpenOptions o;
    o.simulatedFps = fps;
    o.lockDirectory = (std::filesystem::temp_directory_path() / "norvikcam-bench-locks").string();
    auto cam = norvik::Camera::Open(o);
    cam->StartStreaming(false, 3);
    std::vector<uint8_t> planes(tools::Y4mFrameBytes(kWidth, kHeight));
    uint64_t looked = 0;
    auto take = [&] {
        auto f = cam->NextFrame(std::chrono::seconds(10));
        if (!f) {
            std::fprintf(stderr, "no frame within 10 s\n");
            std::exit(1);
        }
        switch (output) {
            case Output::None:
                looked += f->Row(f->height / 2)[0];
                break;
            case Output::BgraNull:
            case Output::BgraPipe:
                tools::WriteGathered(fd, nullptr, 0,
                                     {f->top, f->stride, static_cast<size_t>(f->width) * 4,
                                      static_cast<size_t>(f->height)});
                break;
            case Output::Y4mNull:
            case Output::Y4mPipe:
                tools::BgraToI420(f->top, f->stride, f->width, f->height, planes.data());
                tools::WriteGathered(fd, "FRAME\n", 6, {planes.data(), 0, planes.size(), 1});
                break;
        }
    };
    for (int i = 0; i < 10; ++i) take();  // threads started, queues sized
    const auto before = ThreadTimes();
    const double cpuBefore = CpuSeconds();
    const uint64_t droppedBefore = cam->Stats().dropped;
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) take();
    const double wall = Seconds(Clock::now() - start);
    const auto after = ThreadTimes();
    const double cpu = CpuSeconds() - cpuBefore;
    StageCosts c;
    c.frames = static_cast<uint64_t>(frames);
    c.dropped = cam->Stats().dropped - droppedBefore;
    c.fps = frames / wall;
    for (const auto& [tid, named] : after) {
        auto was = before.find(tid);
        const uint64_t ns = named.second - (was == before.end() ? 0 : was->second.second);
        c.ms[StageOf(named.first)] += static_cast<double>(ns) / 1e6 / frames;
    }
    c.total = cpu * 1e3 / frames;
    cam->StopStreaming();
    cam->Close();
    if (pipe != nullptr)
        ::pclose(pipe);
    else if (fd >= 0)
        ::close(fd);
    if (looked == 1) std::printf(" ");  // the reader looked at every frame
    return c;
}

struct ToolRun {
    double cpuMsPerFrame = 0, fps = 0, startup = 0;
};

// `norvikcam stream ARGS` with its output to /dev/null, or into a pipe this
// program drains as `cat > /dev/null` would; its CPU from wait4 and the
// rate of its frames (after the first, for the pipe; whole run otherwise).
ToolRun RunTool(const std::vector<std::string>& args, bool intoPipe, int frames) {
    std::vector<char*> argv;
    std::string binary = NORVIKCAM_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> a = args;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int p[2] = {-1, -1};
    if (intoPipe) {
        if (::pipe(p) != 0) std::exit(1);
        posix_spawn_file_actions_adddup2(&fa, p[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&fa, p[0]);
    } else {
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot run %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&fa);
    ToolRun r;
    Clock::time_point firstFrameAt{};
    if (intoPipe) {
        ::close(p[1]);
        std::vector<char> buffer(1 << 20);
        size_t total = 0;
        for (ssize_t n; (n = ::read(p[0], buffer.data(), buffer.size())) > 0;) {
            total += static_cast<size_t>(n);
            if (firstFrameAt == Clock::time_point{} && total >= kFrameBytes)
                firstFrameAt = Clock::now();
        }
        ::close(p[0]);
    }
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    const auto end = Clock::now();
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r.cpuMsPerFrame = cpu * 1e3 / frames;
    if (intoPipe && firstFrameAt != Clock::time_point{}) {
        r.fps = (frames - 1) / Seconds(end - firstFrameAt);
        r.startup = Seconds(firstFrameAt - start);
    } else {
        r.fps = frames / Seconds(end - start);
    }
    return r;
}

// Runs a shell line, its standard output kept.
std::string Capture(const std::string& line) {
    std::string out;
    if (FILE* p = ::popen(line.c_str(), "r")) {
        char b[4096];
        for (size_t n; (n = std::fread(b, 1, sizeof b, p)) > 0;) out.append(b, n);
        ::pclose(p);
    }
    return out;
}

// A number after "key": in the tool's JSON summary.
double JsonNumber(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atof(json.c_str() + at + key.size() + 3);
}

struct ClockRun {
    double fps = 0;
    uint64_t dropped = 0, late = 0, notTaken = 0;
    std::string priority;
};

// 60 frames at 30 frames/s through the client API: the rate of the frames'
// own presentation times, the host's drops, and the camera's own clock.
ClockRun MeasureClock(bool raise) {
    norvik::OpenOptions o;
    o.simulatedFps = 30;
    o.raisePriority = raise;
    o.lockDirectory = (std::filesystem::temp_directory_path() / "norvikcam-bench-locks").string();
    auto cam = norvik::CameraAccess::Open(o, {});
    sim::SimulatedCamera* camera = norvik::CameraAccess::Simulated(*cam);
    cam->StartStreaming(false, 3);
    // As the tool's loop takes frames: at the frame path's priority.
    std::optional<norvik::FrameReaderPriority> reader;
    if (raise) reader.emplace();
    ClockRun r;
    int64_t first = 0, last = 0;
    uint64_t late0 = 0, notTaken0 = 0, dropped0 = 0;
    for (int i = 0; i < 61; ++i) {
        auto f = cam->NextFrame(std::chrono::seconds(10));
        if (!f) break;
        if (i == 0) {
            first = f->presentationTime;
            late0 = camera->LateFrames();
            notTaken0 = camera->FramesNotTaken();
            dropped0 = cam->Stats().dropped;
        }
        last = f->presentationTime;
    }
    r.fps = last > first ? 60.0 / (static_cast<double>(last - first) / 1e7) : 0;
    r.dropped = cam->Stats().dropped - dropped0;
    r.late = camera->LateFrames() - late0;
    r.notTaken = camera->FramesNotTaken() - notTaken0;
    r.priority = cam->Priority().description;
    cam->StopStreaming();
    cam->Close();
    return r;
}

int Busy(bool load) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<pid_t> loops;
    if (load) {
        for (unsigned i = 0; i < cores; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::execlp("sh", "sh", "-c", "exec yes > /dev/null", static_cast<char*>(nullptr));
                ::_exit(127);
            }
            loops.push_back(pid);
        }
        std::printf("beside %u busy loops (yes > /dev/null):\n", cores);
    } else {
        std::printf("beside whatever else runs now:\n");
    }
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("norvikcam-busy-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(dir);
    for (const char* extra : {"", " --normal-priority"}) {
        const std::string json =
            Capture(std::string(NORVIKCAM_BINARY) + " capture -n 60 --fps 30 --json -o " + dir +
                    "/f-%02d.png" + extra + " 2>/dev/null");
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::printf("  capture -n 60 --fps 30%-18s %5.1f frames/s, %3.0f dropped by the host\n",
                    extra, JsonNumber(json, "fps"), JsonNumber(json, "dropped"));
    }
    std::filesystem::remove_all(dir);
    for (bool raise : {true, false}) {
        const ClockRun r = MeasureClock(raise);
        std::printf(
            "  client API, 60 frames at 30 fps: %5.1f frames/s, %llu dropped by the host, camera "
            "late %llu, frame times not taken %llu; frame path %s\n",
            r.fps, static_cast<unsigned long long>(r.dropped),
            static_cast<unsigned long long>(r.late), static_cast<unsigned long long>(r.notTaken),
            r.priority.c_str());
    }
    for (pid_t pid : loops) ::kill(pid, SIGKILL);
    for (pid_t pid : loops) ::waitpid(pid, nullptr, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 150;
    bool busy = false, load = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc) frames = std::max(10, std::atoi(argv[++i]));
        if (a == "--busy") busy = true;
        if (a == "--no-load") load = false;
    }
    if (busy) return Busy(load);
    const double floorMs = MemcpyFloorMs();
    std::printf("memcpy floor: %.3f ms (best of 30 copies of one %dx%d BGRA frame, %.1f MB)\n\n",
                floorMs, kWidth, kHeight, static_cast<double>(kFrameBytes) / 1e6);
    std::printf("In this process, CPU ms per delivered frame by thread (%d frames a run):\n",
                frames);
    std::printf("  %-28s %5s %8s %7s %6s %8s %8s %7s %7s %8s\n", "output", "fps", "dropped",
                "camera", "usb", "capture", "convert", "reader", "total", "x floor");
    struct Case {
        double fps;
        Output output;
    };
    const Case cases[] = {{30, Output::None},    {30, Output::BgraNull}, {30, Output::BgraPipe},
                          {30, Output::Y4mNull}, {30, Output::Y4mPipe},  {0, Output::None},
                          {0, Output::BgraNull}};
    for (const Case& k : cases) {
        const StageCosts c = MeasureInProcess(k.fps, k.output, k.fps == 0 ? frames * 2 : frames);
        auto at = [&](const char* s) {
            auto it = c.ms.find(s);
            return it == c.ms.end() ? 0.0 : it->second;
        };
        char label[64];
        std::snprintf(label, sizeof label, "%s%s", k.fps == 0 ? "flat out, " : "30 fps, ",
                      OutputName(k.output));
        std::printf("  %-28s %5.0f %8llu %7.2f %6.2f %8.2f %8.2f %7.2f %7.2f %8.1f\n", label, c.fps,
                    static_cast<unsigned long long>(c.dropped), at("camera"), at("usb"),
                    at("capture"), at("convert"), at("reader"), c.total, c.total / floorMs);
    }
    std::printf(
        "  camera: the simulated camera's delivery into the host's reads (with the painting of "
        "what moves);\n  usb: the bus stand-in's completions; capture: the capture thread (the "
        "reorder of the lines);\n  convert: the process dispatch and its helpers (the "
        "conversion and the copy into the client's frame);\n  reader: this program's thread "
        "(the output, as the tool writes it)\n\n");

    std::printf("The tool as a user runs it (CPU from wait4, start-up included):\n");
    const int n30 = frames, n0 = frames * 4;
    const std::string n30s = std::to_string(n30), n0s = std::to_string(n0);
    const ToolRun a = RunTool({"stream", "-n", n30s, "--fps", "30"}, false, n30);
    const ToolRun b = RunTool({"stream", "-n", n30s, "--fps", "30"}, true, n30);
    const ToolRun c = RunTool({"stream", "-n", n0s, "--fps", "0"}, false, n0);
    const ToolRun d = RunTool({"stream", "-n", n0s, "--fps", "0"}, true, n0);
    std::printf("  stream -n %d --fps 30 > /dev/null     %6.2f ms CPU a frame (%.1f x floor)\n",
                n30, a.cpuMsPerFrame, a.cpuMsPerFrame / floorMs);
    std::printf("  stream -n %d --fps 30 | cat           %6.2f ms CPU a frame (%.1f x floor)\n",
                n30, b.cpuMsPerFrame, b.cpuMsPerFrame / floorMs);
    std::printf("  stream -n %d --fps 0 > /dev/null      %6.1f frames/s (whole run)\n", n0, c.fps);
    std::printf(
        "  stream -n %d --fps 0 | cat            %6.1f frames/s after the first frame (%.2f s "
        "start-up), %.0f %% of /dev/null's\n",
        n0, d.fps, d.startup, 100.0 * d.fps / c.fps);
    return 0;
}
