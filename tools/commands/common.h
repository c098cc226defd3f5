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

// A command line the tool cannot carry out as given: the tool exits 2, as
// for one that does not parse. The camera's own refusal of a value
// (ErrorKind::InvalidArgument) is the same kind of failure.
inline Error UsageError(const std::string& what) {
    return Error(norvik::ErrorKind::InvalidArgument, what);
}

// Ctrl-C and SIGTERM end the tool at once with 128 + the signal, also while
// it waits for a camera; a reader that closes the pipe shows up as EPIPE on
// the next write.
void InstallSignalHandlers();
// From now on a signal is only noted, for Interrupted(): capture, stream
// and view end between frames, cleanly, with their summary.
void HandleInterrupts();
// Descriptors 0-2 the tool was started without are opened on /dev/null, so
// no file the tool opens later takes their place.
void KeepStandardDescriptors();
// Whether the tool was started with standard output closed.
bool StandardOutputClosed();
// The signal that came, 0 while none has.
int Interrupted();
// What the tool exits with after a signal: 128 + the signal.
int InterruptedExit();

// Throws a UsageError when `v` is not a finite number from `low` to `high`,
// naming the option `what`.
void CheckRange(double v, double low, double high, const std::string& what);

// What a failed write to `where` says: "no space left on WHERE" for a full
// disk, else the system's reason. Standard output is named by what it is
// (a file, a device) where it can be.
std::string WriteFailure(const std::string& where, int error);

// The options every camera command takes, before or after the command.
struct Common {
    std::string device = "sim";
    std::string settings;
    std::string trace;
    double fps = 30;
    double wait = 0;
    bool json = false;
    int threads = 0;              // conversion threads, 0: one a core
    int buffers = 3;              // client buffers while streaming
    bool normalPriority = false;  // the frame path not raised

    void Check() const;
    norvik::OpenOptions Options() const;
};
void AddCommonOptions(CLI::App& app, Common& common);

// Opens the camera the options name, making the settings file's folder.
std::unique_ptr<norvik::Camera> OpenCamera(const Common& c);

// Closes a camera the command changed nothing on: the settings the driver
// saves at close are the ones already stored, so a save that fails (a
// read-only or full folder) is a warning, not the command's failure.
void CloseUnchanged(norvik::Camera& cam, const Common& c);

// A control's name as the table has it: names are taken in any case.
std::string ControlName(const std::string& typed);

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

// Once every subcommand is added: each one's help also lists the options
// every command takes and ends with `footer`, and a command line that does
// not parse is told in the user's own words (the option as typed, the
// command's own help to run).
void SetUpHelpAndMessages(CLI::App& app, const std::string& footer, int argc, char** argv);

}  // namespace tools::commands
