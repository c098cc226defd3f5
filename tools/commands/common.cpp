// The shared part of the tool's commands.
#include "tools/commands/common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tools::commands {
namespace {

std::atomic<int> interrupted{0};
std::atomic<bool> armed{false};
bool stdoutClosed = false;

extern "C" void OnSignal(int signal) {
    // Until a command ends its work between frames itself, nothing is
    // half done that a signal could leave behind (files are written under
    // temporary names, the camera's lock goes with the process): end now,
    // also in the middle of a --wait.
    if (!armed.load()) ::_exit(128 + signal);
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

void KeepStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) stdoutClosed = true;
        // The lowest free descriptor is this one: a file opened later (a
        // lock, a frame) can no longer take its place.
        if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) ::_exit(1);
    }
}

bool StandardOutputClosed() {
    return stdoutClosed;
}

void HandleInterrupts() {
    armed.store(true);
}

int Interrupted() {
    return interrupted.load();
}

int InterruptedExit() {
    return 128 + interrupted.load();
}

void CheckRange(double v, double low, double high, const std::string& what) {
    if (!std::isfinite(v) || v < low || v > high) {
        char b[160];
        std::snprintf(b, sizeof b, "%s must be at least %.15g and at most %.15g", what.c_str(), low,
                      high);
        throw UsageError(b);
    }
}

std::string WriteFailure(const std::string& where, int error) {
    std::string name = where;
    if (where == "standard output") {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink("/proc/self/fd/1", ec);
        if (!ec && target.is_absolute()) name = "standard output (" + target.string() + ")";
    }
    if (error == ENOSPC) return "no space left on " + name;
    return "cannot write to " + name + ": " + std::strerror(error);
}

void Common::Check() const {
    CheckRange(fps, 0, 1000, "--fps");
    // Slower than a frame in ten seconds is no camera pace but a typo.
    if (fps > 0 && fps < 0.1)
        throw UsageError("--fps must be 0 (as fast as it can) or from 0.1 to 1000");
    CheckRange(wait, 0, 86400, "--wait");
    CheckRange(threads, 0, 64, "--threads");
    CheckRange(buffers, 1, 64, "--buffers");
}

norvik::OpenOptions Common::Options() const {
    norvik::OpenOptions o{
        device, settings.empty() ? norvik::DefaultSettingsPath() : settings, trace, fps, wait, ""};
    o.raisePriority = !normalPriority;
    return o;
}

void AddCommonOptions(CLI::App& app, Common& common) {
    app.add_option("--device", common.device, "camera to open (see 'norvikcam list')")
        ->capture_default_str();
    app.add_option("--settings", common.settings,
                   "settings file (.reg); default " + norvik::DefaultSettingsPath());
    app.add_option("--trace", common.trace,
                   "write the USB traffic to this pcap file (Wireshark opens it)");
    app.add_option("--fps", common.fps,
                   "frame rate of the simulated camera, 0.1..1000 (0: as fast as it can)")
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
    app.add_flag("--normal-priority", common.normalPriority,
                 "leave the frame path's threads at normal priority (by default they run "
                 "real-time where the system allows it, so frames keep their rate on a busy "
                 "machine; also NORVIKCAM_PRIORITY=normal)");
}

std::unique_ptr<norvik::Camera> OpenCamera(const Common& c) {
    c.Check();
    auto options = c.Options();
    struct stat st {};
    if (::lstat(options.settingsPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        ::stat(options.settingsPath.c_str(), &st) != 0) {
        // Saving would replace the link by a file; the link is kept, and
        // so is the file it was meant to reach.
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(options.settingsPath, ec);
        throw Error("the settings file " + options.settingsPath + " is a link to " +
                    target.string() + ", which " +
                    (errno == ENOENT ? "does not exist" : std::string(std::strerror(errno))) +
                    ": make it (a settings file saved elsewhere will do) or remove the link");
    }
    // A plain relative name has no folder to make.
    const auto parent = std::filesystem::path(options.settingsPath).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec)
            throw Error("cannot make the settings folder " + parent.string() + ": " + ec.message());
    }
    try {
        return norvik::Camera::Open(options);
    } catch (const Error& e) {
        // A settings file the camera refuses is a file to mend, not a bad
        // command line: a failure (1), as for any other file.
        if (e.Kind() == norvik::ErrorKind::InvalidArgument &&
            std::string(e.what()).find(options.settingsPath) != std::string::npos)
            throw Error(e.what());
        throw;
    }
}

void CloseUnchanged(norvik::Camera& cam, const Common& c) {
    try {
        cam.Close();
    } catch (const Error& e) {
        // Only the save is a warning; a trace that could not be written
        // is still the failure it was.
        if (std::string(e.what()).find(c.Options().settingsPath) == std::string::npos) throw;
        std::fprintf(stderr, "norvikcam: warning: %s\n", e.what());
    }
}

std::string ControlName(const std::string& typed) {
    std::string name = typed;
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return name;
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

namespace {

// What the user typed for `opt`: the first of its names on the command line.
std::string TypedName(const CLI::Option& opt, const std::vector<std::string>& args) {
    std::vector<std::string> names;
    for (const auto& n : opt.get_snames()) names.push_back("-" + n);
    for (const auto& n : opt.get_lnames()) names.push_back("--" + n);
    for (const auto& a : args)
        for (const auto& n : names)
            if (a == n || (a.rfind(n, 0) == 0 && (a[n.size()] == '=' || n.size() == 2))) return n;
    return names.empty() ? opt.get_name() : names.back();
}

// The parser's message, with an option it could not convert named as typed:
// "-n: '=2' is not a whole number", as the controls say it.
std::string InUsersWords(const CLI::App& command, const CLI::Error& e,
                         const std::vector<std::string>& args) {
    const std::string what = e.what();
    const std::string lead = "Could not convert: ";
    const size_t is = what.find(" = ");
    if (what.rfind(lead, 0) != 0 || is == std::string::npos) return what;
    const std::string name = what.substr(lead.size(), is - lead.size());
    const std::string value = what.substr(is + 3);
    const CLI::Option* opt = command.get_option_no_throw(name);
    if (opt == nullptr && command.get_parent() != nullptr)
        opt = command.get_parent()->get_option_no_throw(name);
    if (opt == nullptr) return what;
    const std::string type = opt->get_type_name();
    const char* kind = type == "INT" || type == "UINT" ? "a whole number" : "a number";
    return TypedName(*opt, args) + ": '" + value + "' is not " + kind;
}

}  // namespace

void SetUpHelpAndMessages(CLI::App& app, const std::string& footer, int argc, char** argv) {
    std::vector<const CLI::Option*> shared;
    for (const CLI::Option* o : app.get_options())
        if (o != app.get_help_ptr() && o->get_name() != "--version") shared.push_back(o);
    const std::string sharedHelp =
        CLI::Formatter().make_group("Options every command takes", false, shared);
    app.footer(footer);
    const size_t text = sharedHelp.find_first_not_of('\n');
    for (CLI::App* s : app.get_subcommands({}))
        s->footer(sharedHelp.substr(text == std::string::npos ? 0 : text) + "\n" + footer);
    const std::vector<std::string> args(argv + 1, argv + argc);
    app.failure_message([args](const CLI::App* top, const CLI::Error& e) {
        // The command the user named, whose help says what it takes.
        const CLI::App* command = top;
        for (const auto& a : args)
            for (const CLI::App* s : top->get_subcommands([](const CLI::App*) { return true; }))
                if (command == top && s->check_name(a)) command = s;
        const std::string help =
            command == top ? "norvikcam --help" : "norvikcam " + command->get_name() + " --help";
        return "norvikcam: " + InUsersWords(*command, e, args) + "\nrun '" + help +
               "' for the options\n";
    });
}

}  // namespace tools::commands
