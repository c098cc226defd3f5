// What the tool's commands share: the options every camera command takes
// and the camera they open, the signals that end a capture or a stream, and
// the check of a number given on the command line.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/camera.h"

namespace tools::commands {

using norvik::Error;

// Ctrl-C and SIGTERM end a capture or a stream between frames, cleanly; a
// reader that closes the pipe shows up as EPIPE on the next write.
void InstallSignalHandlers();
// The signal that came, 0 while none has.
int Interrupted();
// What the tool exits with after a signal: 128 + the signal.
int InterruptedExit();

// Throws when `v` is not a finite number from `low` (above it, with
// `lowOpen`) to `high`, naming the option `what`.
void CheckRange(double v, double low, double high, const std::string& what, bool lowOpen = false);

// The options every camera command takes, before or after the command.
struct Common {
    std::string device = "sim";
    std::string settings;
    std::string trace;
    double fps = 30;
    double wait = 0;
    bool json = false;
    int threads = 0;  // conversion threads, 0: one a core
    int buffers = 3;  // client buffers while streaming

    void Check() const;
    norvik::OpenOptions Options() const;
};
void AddCommonOptions(CLI::App& app, Common& common);

// Opens the camera the options name, making the settings file's folder.
std::unique_ptr<norvik::Camera> OpenCamera(const Common& c);

// The next frame within the time-out, or none when it ran out or a signal
// came; waits in short slices so Ctrl-C is noticed at once.
std::optional<norvik::Frame> NextFrame(norvik::Camera& cam, double seconds);

// A command of the tool: its subcommand, and what runs it once the command
// line has been parsed.
struct Command {
    CLI::App* subcommand;
    std::function<int()> run;
};
// A subcommand that also takes the options of `app`, before or after it.
CLI::App* AddSubcommand(CLI::App& app, const char* name, const char* what);

}  // namespace tools::commands
