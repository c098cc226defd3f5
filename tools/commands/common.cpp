// The shared part of the tool's commands.
#include "tools/commands/common.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>

namespace tools::commands {
namespace {

std::atomic<int> interrupted{0};

extern "C" void OnSignal(int signal) {
    interrupted.store(signal);
}

}  // namespace

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

int Interrupted() {
    return interrupted.load();
}

int InterruptedExit() {
    return 128 + interrupted.load();
}

void CheckRange(double v, double low, double high, const std::string& what, bool lowOpen) {
    if (!std::isfinite(v) || v < low || v > high || (lowOpen && v == low)) {
        char b[160];
        std::snprintf(b, sizeof b, "%s must be %s %g and at most %g", what.c_str(),
                      lowOpen ? "above" : "at least", low, high);
        throw Error(b);
    }
}

void Common::Check() const {
    CheckRange(fps, 0, 1000, "--fps");
    CheckRange(wait, 0, 86400, "--wait");
    CheckRange(threads, 0, 64, "--threads");
    CheckRange(buffers, 1, 64, "--buffers");
}

norvik::OpenOptions Common::Options() const {
    return {device, settings.empty() ? norvik::DefaultSettingsPath() : settings, trace, fps, wait,
            ""};
}

void AddCommonOptions(CLI::App& app, Common& common) {
    app.add_option("--device", common.device, "camera to open (see 'norvikcam list')")
        ->capture_default_str();
    app.add_option("--settings", common.settings,
                   "settings file (.reg); default " + norvik::DefaultSettingsPath());
    app.add_option("--trace", common.trace,
                   "write the USB traffic to this pcap file (Wireshark opens it)");
    app.add_option("--fps", common.fps,
                   "frame rate of the simulated camera, 0..1000 (0: as fast as it can)")
        ->capture_default_str();
    app.add_option("--wait", common.wait,
                   "seconds to wait for a camera another process has open (default: refuse)");
    app.add_flag("--json", common.json, "machine-readable output (list, info, get, capture)");
    app.add_option("--threads", common.threads,
                   "threads a frame's conversion uses, 0..64 (0: one a core)")
        ->capture_default_str();
    app.add_option("--buffers", common.buffers,
                   "frames in the client's hands or queued while streaming, 1..64")
        ->capture_default_str();
}

std::unique_ptr<norvik::Camera> OpenCamera(const Common& c) {
    c.Check();
    auto options = c.Options();
    // A plain relative name has no folder to make.
    const auto parent = std::filesystem::path(options.settingsPath).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec)
            throw Error("cannot make the settings folder " + parent.string() + ": " + ec.message());
    }
    return norvik::Camera::Open(options);
}

std::optional<norvik::Frame> NextFrame(norvik::Camera& cam, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (interrupted.load() == 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (auto f = cam.NextFrame(std::min(left, std::chrono::milliseconds(200)))) return f;
    }
    return std::nullopt;
}

CLI::App* AddSubcommand(CLI::App& app, const char* name, const char* what) {
    auto* s = app.add_subcommand(name, what);
    s->fallthrough();
    return s;
}

}  // namespace tools::commands
