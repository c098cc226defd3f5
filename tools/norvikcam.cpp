// norvikcam: list cameras, read and change controls, capture bursts of
// frames to PNG and DNG, stream BGRA or YUV4MPEG2 to standard output,
// convert stored raw frames offline. Each command lives in its own file
// under tools/commands/; this only puts them on one command line.
//
// Exit codes: 0 success, 1 failure (with one line saying why), 2 a command
// line that does not parse or asks for what cannot be (a value out of its
// range, names that collide), 128 + the signal for an interrupted capture or
// stream (130 for Ctrl-C, 143 for SIGTERM). A stream whose reader closed the
// pipe has done its job and exits 0.
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <vector>

#include "tools/commands/commands.h"

#ifndef NORVIKCAM_VERSION
#define NORVIKCAM_VERSION "0.4"
#endif

int main(int argc, char** argv) {
    using namespace tools::commands;
    KeepStandardDescriptors();
    InstallSignalHandlers();
    CLI::App app{"norvikcam: capture from the Norvik 2560x1920 raw-Bayer camera"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "norvikcam " NORVIKCAM_VERSION);
    Common common;
    AddCommonOptions(app, common);
    const std::vector<Command> commands = {
        AddList(app, common),    AddInfo(app, common),   AddGet(app, common),
        AddSet(app, common),     AddReset(app, common),  AddWindow(app, common),
        AddCapture(app, common), AddStream(app, common), AddView(app, common),
        AddConvert(app, common),
    };
    SetUpHelpAndMessages(app,
                         "Exit codes: 0 success, 1 failure, 2 a bad command line (one that does "
                         "not parse, or a value out of range), 130 / 143 a capture or stream "
                         "ended by Ctrl-C / SIGTERM.",
                         argc, argv);
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
        for (const Command& c : commands)
            if (*c.subcommand) return c.run();
    } catch (const norvik::Error& e) {
        std::fprintf(stderr, "norvikcam: %s\n", e.what());
        return e.Kind() == norvik::ErrorKind::InvalidArgument ? 2 : 1;
    } catch (const std::invalid_argument& e) {  // a value that does not parse
        std::fprintf(stderr, "norvikcam: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvikcam: %s\n", e.what());
        return 1;
    }
    return 0;
}
