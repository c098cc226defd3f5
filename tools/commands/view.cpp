// norvikcam view: the viewer, served until Ctrl-C.
#include "tools/commands/commands.h"

#include <cstdio>
#include <string>

#include "tools/viewer.h"

namespace tools::commands {
namespace {

// Streams and serves the viewer until Ctrl-C; the settings are saved when
// the camera closes, as every command saves them.
int View(const Common& c, const std::string& listen, const std::string& snapshots,
         bool privateWatching) {
    ViewerOptions o;
    if (!listen.empty()) ParseListen(listen, &o);
    o.privateWatching = privateWatching;
    o.snapshotDirectory = snapshots;
    o.buffers = c.buffers;
    o.threads = c.threads;
    auto cam = OpenCamera(c);
    HandleInterrupts();
    // Said once it listens, and only then: an address it cannot use fails first.
    RunViewer(
        *cam, o, [] { return Interrupted() != 0; },
        [&o, privateWatching](const std::string& url) {
            if (!IsLoopback(o.host))
                std::fprintf(stderr, "norvikcam: listening on %s, not only on this machine: %s\n",
                             o.host.c_str(),
                             privateWatching
                                 ? "only those given the printed address can watch and change it"
                                 : "anyone who can reach it can watch, and anyone who can open "
                                   "the page can change the camera (--private: only those "
                                   "given the printed address)");
            std::printf("viewer at %s (Ctrl-C to stop; the settings are saved then)\n",
                        url.c_str());
            std::fflush(stdout);
        });
    cam->Close();
    return Interrupted() != 0 ? 0 : 1;
}

}  // namespace

Command AddView(CLI::App& app, Common& common) {
    struct Options {
        std::string listen, snapshots = ".";
        bool privateWatching = false;
    };
    auto o = std::make_shared<Options>();
    auto* s = AddSubcommand(
        app, "view", "show the live picture and every control in a browser (Ctrl-C ends it)");
    s->add_option(
        "--listen", o->listen,
        "ADDRESS:PORT to serve on (default 127.0.0.1:8080; port 0: any free one); another "
        "address than the loopback lets other machines in");
    s->add_option("--snapshots", o->snapshots,
                  "folder the snapshot button saves PNG and DNG files in")
        ->capture_default_str();
    s->add_flag("--private", o->privateWatching,
                "watching needs the run's token too, which the printed address carries (by "
                "default anyone who can reach the address can watch; changes always need it)");
    return {s, [&common, o] { return View(common, o->listen, o->snapshots, o->privateWatching); }};
}

}  // namespace tools::commands
