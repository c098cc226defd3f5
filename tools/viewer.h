// `norvikcam view`: the live picture, the controls, the readout window, a
// histogram and snapshots in a browser, served by the tool itself.
#pragma once

#include <functional>
#include <string>

#include "client/camera.h"

namespace tools {

struct ViewerOptions {
    std::string host = "127.0.0.1";  // loopback unless told otherwise
    int port = 8080;                 // 0: any free port
    std::string snapshotDirectory = ".";
    int maxViewers = 4;  // live pictures served at once
    // Watching (the page, the state, the live picture, the snapshots) needs
    // the run's token too, which the printed address carries; without it
    // anyone who can reach the address can watch, and only changes need it.
    bool privateWatching = false;
    // How long a window, white-balance or snapshot request waits for the
    // camera to begin it before it is answered as not done.
    double jobStartSeconds = 10;
    // How long a client has to send a request in full (its head and body,
    // and on a kept connection the wait for it too), however slowly it
    // trickles in: then its connection is closed and the server's thread is
    // free again. Only the reading is bounded: a live picture whose request
    // is in runs on.
    double requestSeconds = 5;
    // Connections served at once for one address (a browser opens six at
    // most to one server); further ones are closed unread, so that one
    // client cannot hold every thread of the server.
    int connectionsPerAddress = 16;
    int buffers = 3;
    int threads = 0;
};

// "ADDRESS:PORT", "ADDRESS" or ":PORT" (IPv6 addresses in brackets); throws
// norvik::Error for anything else.
void ParseListen(const std::string& text, ViewerOptions* options);
bool IsLoopback(const std::string& host);

// Streams from `camera` and serves the page until `stop` returns true
// (polled a few times a second). `ready` is called with the page's URL once
// the server listens. Throws norvik::Error when the address cannot be used
// or the camera fails.
void RunViewer(norvik::Camera& camera, const ViewerOptions& options,
               const std::function<bool()>& stop,
               const std::function<void(const std::string& url)>& ready);

}  // namespace tools
