// The viewer's request handling: any bytes sent to it over a connection,
// against a viewer streaming from the simulated camera. Whatever arrives,
// the viewer keeps answering, and without the run's token nothing changes:
// the brightness stays where it was and no snapshot is written.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "tools/viewer.h"

namespace {

struct Running {
    std::unique_ptr<norvik::Camera> camera;
    std::future<void> viewer;
    std::atomic<bool> stop{false};
    int port = 0;
    std::string snapshots;
};

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "fault found: %s\n", what);
    std::abort();
}

Running*& Started() {
    static Running* r = nullptr;
    return r;
}

Running& Viewer() {
    static Running* r = Started() = [] {
        auto* run = new Running;  // lives for the whole run
        const std::string dir = std::filesystem::temp_directory_path() /
                                ("norvikcam-viewer-fuzz-" + std::to_string(::getpid()));
        norvik::OpenOptions o;
        o.simulatedFps = 30;
        o.lockDirectory = dir + "/locks";
        run->camera = norvik::Camera::Open(o);
        run->camera->SetWindow(0, 0, 320, 240);
        tools::ViewerOptions v;
        v.port = 0;
        v.snapshotDirectory = run->snapshots = dir + "/snaps";
        std::promise<int> port;
        auto ready = port.get_future();
        run->viewer = std::async(std::launch::async, [run, v, &port] {
            tools::RunViewer(
                *run->camera, v, [run] { return run->stop.load(); },
                [&port](const std::string& url) {
                    port.set_value(std::stoi(url.substr(url.rfind(':') + 1)));
                });
        });
        run->port = ready.get();
        return run;
    }();
    return *r;
}

// Sends the bytes on a fresh connection, then reads whatever comes back
// until the viewer closes it, or, where it need not answer at all, goes
// quiet (a live picture never ends).
std::string Exchange(int port, const char* data, size_t size, bool answerOwed) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        Fault("the viewer takes no connection");
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(s, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    // Not half-closed: the server takes a half-closed connection for a
    // gone one and answers nothing.
    std::string reply;
    char buf[4096];
    // An answer owed may be slow on a loaded machine (or under a sanitizer);
    // it ends when the viewer closes the connection.
    const auto until =
        std::chrono::steady_clock::now() +
        (answerOwed ? std::chrono::milliseconds(30000) : std::chrono::milliseconds(500));
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, answerOwed ? 1000 : 150) < 0) break;
        if (p.revents == 0) {
            if (answerOwed) continue;
            break;  // quiet, or waiting for more: enough
        }
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0 || reply.size() > (1 << 16)) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    ::close(s);
    return reply;
}

}  // namespace

// The replay's end: the viewer and the camera stop before the program's
// statics and the main thread's own storage go, since their threads use them
// to the end.
extern "C" void NorvikFuzzEnd() {
    Running* r = Started();
    if (r == nullptr) return;
    r->stop = true;
    r->viewer.get();
    r->camera.reset();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Running& v = Viewer();
    static const int32_t brightness = v.camera->Get("brightness");
    // The corpus names the viewer "Host: x": that becomes its own address
    // (its port changes from run to run), so requests reach the routes;
    // every other Host is a request for another name.
    std::string request(reinterpret_cast<const char*>(data), size);
    const std::string named = "Host: x\r\n",
                      own = "Host: 127.0.0.1:" + std::to_string(v.port) + "\r\n";
    for (size_t at = request.find(named); at != std::string::npos;
         at = request.find(named, at + own.size()))
        request.replace(at, named.size(), own);
    Exchange(v.port, request.data(), request.size(), false);
    static const std::string get =
        "GET /state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(v.port) +
        "\r\nConnection: close\r\n\r\n";
    const std::string state = Exchange(v.port, get.data(), get.size(), true);
    if (state.rfind("HTTP/1.1 200", 0) != 0) {
        std::fprintf(stderr, "%s\n", state.c_str());
        Fault("the viewer stopped answering");
    }
    if (v.camera->Get("brightness") != brightness || v.camera->GetWindow().width != 320)
        Fault("a request without the token changed the camera");
    if (std::filesystem::exists(v.snapshots) && !std::filesystem::is_empty(v.snapshots))
        Fault("a request without the token wrote a snapshot");
    return 0;
}
