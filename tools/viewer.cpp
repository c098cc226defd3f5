// The viewer: one thread streams from the camera, makes each frame a JPEG
// preview and a histogram, and carries out the requests that need the
// stream (a new window, a white-balance estimate, a snapshot); the HTTP
// server's threads only read what it made. A viewer that is slow or gone
// blocks only its own connection: the camera thread never waits for one.
//
// MJPEG over HTTP (multipart/x-mixed-replace) is what every browser shows in
// a plain <img> with no script, and libjpeg-turbo makes a frame in a few
// milliseconds; frames wider than 1280 pixels are previewed at half size
// or less, which the page scales anyway.
#include "tools/viewer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tools/convert.h"
#include "tools/frame_metadata.h"
#include "tools/image_files.h"
#include "tools/json.h"
#include "tools/viewer_page.h"

namespace tools {

namespace {

using norvik::Error;
using Clock = std::chrono::steady_clock;

constexpr int kPreviewWidth = 1280;
constexpr int kJpegQuality = 80;
// How long a request that needs the camera thread waits for a job it began
// to end (the start's bound is the options').
constexpr auto kJobEndWait = std::chrono::seconds(60);

std::string NewToken() {
    std::random_device rd;
    char b[33];
    for (int i = 0; i < 32; i += 8) std::snprintf(b + i, 9, "%08x", rd());
    return std::string(b, 32);
}

// A request that is refused, with the status it gets.
struct Refusal : std::runtime_error {
    Refusal(int code, const std::string& why) : std::runtime_error(why), status(code) {}
    int status;
};

// A request's form, "a=1&b=2" (the page sends nothing that needs escaping).
// A field missing, or a number that is none, refuses the request (400).
class Form {
  public:
    explicit Form(const std::string& body) {
        size_t at = 0;
        while (at <= body.size()) {
            size_t end = body.find('&', at);
            if (end == std::string::npos) end = body.size();
            const std::string pair = body.substr(at, end - at);
            const size_t eq = pair.find('=');
            if (eq != std::string::npos) fields_[pair.substr(0, eq)] = pair.substr(eq + 1);
            at = end + 1;
        }
    }
    const std::string& Text(const std::string& name) const {
        auto it = fields_.find(name);
        if (it == fields_.end()) throw Refusal(400, "missing " + name);
        return it->second;
    }
    int32_t Number(const std::string& name) const {
        const std::string& text = Text(name);
        try {
            return ParseNumber(text, name);
        } catch (const std::exception& e) {
            throw Refusal(400, e.what());
        }
    }

  private:
    std::map<std::string, std::string> fields_;
};

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("the snapshot " + path + " is gone");
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The HTTP server, with the two bounds its pool of threads needs for a slow
// client to hold up only itself. cpp-httplib bounds each read, which a
// client sending a header line every few seconds never meets: here a
// request's head and body must be in within `requestTime` of the
// connection's being taken up (or of the answer before it, on a kept
// connection), or the connection is closed. And one address has at most
// `perAddress` connections served at once; further ones are closed unread.
// Only reading is bounded: a live picture, once asked for, runs on.
class BoundedServer : public httplib::Server {
  public:
    BoundedServer(double requestSeconds, int perAddress)
        : requestTime_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(requestSeconds))),
          perAddress_(std::max(1, perAddress)) {}

  private:
    // A connection's socket as the requests on it read and write it: reads
    // wait until the current request's deadline, writes for the server's
    // write time-out, and neither once the server stops.
    class Connection : public httplib::Stream {
      public:
        Connection(socket_t sock, const std::atomic<socket_t>& listening, Clock::duration writeTime)
            : sock_(sock), listening_(listening), writeTime_(writeTime) {}

        void NextRequest(Clock::time_point deadline) { deadline_ = deadline; }
        // A read failed: the request did not come in time, or the server stops.
        bool CutOff() const { return cutOff_; }

        bool is_readable() const override { return at_ < end_ || Ready(POLLIN, deadline_); }
        bool is_writable() const override { return Ready(POLLOUT, Clock::now() + writeTime_); }
        ssize_t read(char* data, size_t size) override {
            if (at_ == end_) {
                if (!Ready(POLLIN, deadline_)) {
                    cutOff_ = true;
                    return -1;
                }
                const ssize_t n = ::recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
                if (n <= 0) return n;
                at_ = 0;
                end_ = static_cast<size_t>(n);
            }
            const size_t n = std::min(size, end_ - at_);
            std::memcpy(data, buffer_ + at_, n);
            at_ += n;
            return static_cast<ssize_t>(n);
        }
        ssize_t write(const char* data, size_t size) override {
            if (!is_writable()) return -1;
            return ::send(sock_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        void get_remote_ip_and_port(std::string& ip, int& port) const override {
            Name(true, ip, port);
        }
        void get_local_ip_and_port(std::string& ip, int& port) const override {
            Name(false, ip, port);
        }
        socket_t socket() const override { return sock_; }

      private:
        // Whether the socket is ready for `events` before `until`. Polled in
        // short steps, so that a stop does not wait for the deadline.
        bool Ready(short events, Clock::time_point until) const {
            for (;;) {
                if (listening_ == INVALID_SOCKET) return false;
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
                if (left.count() <= 0) return false;
                pollfd p{sock_, events, 0};
                const int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100)));
                if (n > 0) return true;
                if (n < 0 && errno != EINTR) return false;
            }
        }
        void Name(bool peer, std::string& ip, int& port) const {
            sockaddr_storage a{};
            socklen_t size = sizeof a;
            auto* at = reinterpret_cast<sockaddr*>(&a);
            char host[NI_MAXHOST], service[NI_MAXSERV];
            if ((peer ? ::getpeername(sock_, at, &size) : ::getsockname(sock_, at, &size)) != 0 ||
                ::getnameinfo(at, size, host, sizeof host, service, sizeof service,
                              NI_NUMERICHOST | NI_NUMERICSERV) != 0)
                return;
            ip = host;
            port = std::atoi(service);
        }

        const socket_t sock_;
        const std::atomic<socket_t>& listening_;
        const Clock::duration writeTime_;
        Clock::time_point deadline_;
        bool cutOff_ = false;
        char buffer_[4096];
        size_t at_ = 0, end_ = 0;  // what is read of the buffer, and what it holds
    };

    // The library's own, whose stream bounds each read only, with the
    // deadline and the count: each kept request has its own deadline.
    bool process_and_close_socket(socket_t sock) override {
        Connection c(sock, svr_sock_,
                     std::chrono::seconds(write_timeout_sec_) +
                         std::chrono::microseconds(write_timeout_usec_));
        std::string address;
        int port = 0;
        c.get_remote_ip_and_port(address, port);
        bool answered = false;
        if (Admit(address)) {
            for (size_t left = keep_alive_max_count_; left > 0; --left) {
                c.NextRequest(Clock::now() + requestTime_);
                bool closed = false;
                answered = process_request(c, left == 1, closed, nullptr);
                if (!answered || closed || c.CutOff()) break;
            }
            std::lock_guard<std::mutex> g(lock_);
            if (--connections_[address] == 0) connections_.erase(address);
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return answered;
    }

    bool Admit(const std::string& address) {
        std::lock_guard<std::mutex> g(lock_);
        int& n = connections_[address];
        if (n >= perAddress_) return false;
        ++n;
        return true;
    }

    const Clock::duration requestTime_;
    const int perAddress_;
    std::mutex lock_;
    std::map<std::string, int> connections_;  // served now, by address
};

// What the camera thread made of the latest frame, for the server's threads.
struct Latest {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t sequence = 0;
    std::vector<unsigned char> jpeg;
    int width = 0, height = 0;
    int64_t picture = 0;
    uint64_t dropped = 0;
    double fps = 0;
    uint32_t histogram[3][256] = {};  // red, green, blue
    bool ended = false;
    std::string error;  // why the stream ended
};

// A request only the camera thread can carry out, and its answer; the
// waiter and the camera thread own it together.
struct Job {
    enum Kind { Window, WhiteBalance, Snapshot } kind;
    explicit Job(Kind k) : kind(k) {}
    int32_t x = 0, y = 0, width = 0, height = 0;
    bool started = false;  // taken from the queue by the camera thread
    bool done = false;
    std::string error;
    std::string png, dng;  // a snapshot's files
};

class Viewer {
  public:
    Viewer(norvik::Camera& cam, const ViewerOptions& o)
        : cam_(cam),
          o_(o),
          token_(NewToken()),
          server_(o.requestSeconds, o.connectionsPerAddress) {}
    ~Viewer() {
        if (jpeg_ != nullptr) tjDestroy(jpeg_);
        if (jpegBuffer_ != nullptr) tjFree(jpegBuffer_);
    }

    void Run(const std::function<bool()>& stop,
             const std::function<void(const std::string&)>& ready) {
        CheckSnapshotFolder(o_.snapshotDirectory);
        jpeg_ = tjInitCompress();
        if (jpeg_ == nullptr) throw Error("the JPEG encoder could not be made");
        Routes();
        // The server's default adds SO_REUSEPORT, which lets a second viewer
        // take the same port and share the page loads with the first: only
        // SO_REUSEADDR, so a port in use is refused and a restart is not.
        server_.set_socket_options([](socket_t sock) {
            int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        int& port = port_;
        port = o_.port;
        if (port == 0) {
            port = server_.bind_to_any_port(o_.host);
            if (port < 0) throw Error("cannot listen on " + o_.host);
        } else if (!server_.bind_to_port(o_.host, port)) {
            throw Error("cannot listen on " + o_.host + ":" + std::to_string(port) +
                        " (address in use, or not an address of this machine)");
        }
        cam_.StartStreaming(true, o_.buffers, o_.threads);
        std::thread camera([this] { CameraLoop(); });
        std::atomic<bool> httpEnded{false};
        std::thread http([this, &httpEnded] {
            server_.listen_after_bind();
            httpEnded = true;
        });
        // A stop before the server runs would find nothing to stop, and the
        // server would then run on for ever.
        while (!server_.is_running() && !httpEnded)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string host =
            o_.host.find(':') != std::string::npos ? "[" + o_.host + "]" : o_.host;
        // Listening on every address: the page is opened on the loopback.
        const std::string shown = o_.host == "0.0.0.0" ? "127.0.0.1"
                                  : o_.host == "::"    ? "[::1]"
                                                       : host;
        ready("http://" + shown + ":" + std::to_string(port) + "/" +
              (o_.privateWatching ? "?token=" + token_ : ""));
        while (!stop() && !Ended()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        quit_ = true;
        {
            std::lock_guard<std::mutex> g(latest_.lock);
            latest_.ended = true;
        }
        latest_.changed.notify_all();
        jobsChanged_.notify_all();
        server_.stop();
        http.join();
        camera.join();
        cam_.StopStreaming();
        std::lock_guard<std::mutex> g(latest_.lock);
        if (!latest_.error.empty()) throw Error(latest_.error);
    }

  private:
    // The snapshot folder, before the first click: one that exists is a
    // folder this process may write in; one that does not is made at the
    // first snapshot, in the nearest folder above it that exists.
    static void CheckSnapshotFolder(const std::string& folder) {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path at = fs::absolute(folder, ec);
        while (!ec && !fs::exists(at, ec) && at.has_relative_path()) at = at.parent_path();
        if (ec) throw Error("--snapshots " + folder + ": " + ec.message());
        if (!fs::is_directory(at, ec))
            throw Error("--snapshots " + folder + ": " + at.string() + " is a file, not a folder");
        if (::access(at.c_str(), W_OK | X_OK) != 0)
            throw Error("--snapshots " + folder + ": cannot write in " + at.string() + " (" +
                        std::strerror(errno) + ")");
    }

    bool Ended() {
        std::lock_guard<std::mutex> g(latest_.lock);
        return latest_.ended;
    }

    // --- the camera thread ---

    void CameraLoop() {
        auto last = Clock::now();
        try {
            while (!quit_) {
                RunJobs(nullptr);
                std::optional<norvik::Frame> f = cam_.NextFrame(std::chrono::milliseconds(500));
                if (!f) continue;
                const auto now = Clock::now();
                const double dt = std::chrono::duration<double>(now - last).count();
                last = now;
                Publish(*f, dt);
                RunJobs(&*f);
            }
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> g(latest_.lock);
            latest_.error = e.what();
            latest_.ended = true;
        }
        latest_.changed.notify_all();
        // Whoever still waits for a job hears that it will not be done.
        std::lock_guard<std::mutex> g(jobsLock_);
        for (const auto& j : jobs_) {
            j->error = "the viewer is closing";
            j->done = true;
        }
        jobs_.clear();
        jobsChanged_.notify_all();
    }

    void Publish(const norvik::Frame& f, double seconds) {
        // The preview: every `step`-th pixel of every `step`-th row, averaged
        // over the step by step block; at least one pixel each way, from a
        // smaller block where the frame is narrower or lower than a step.
        const int step = std::max(1, (f.width + kPreviewWidth - 1) / kPreviewWidth);
        const int w = std::max(1, f.width / step), h = std::max(1, f.height / step);
        const int blockW = std::min(step, f.width), blockH = std::min(step, f.height);
        preview_.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
        uint32_t hist[3][256] = {};
        for (int y = 0; y < h; ++y) {
            uint8_t* out = &preview_[static_cast<size_t>(y) * static_cast<size_t>(w) * 4];
            for (int x = 0; x < w; ++x) {
                unsigned sum[3] = {0, 0, 0};
                for (int dy = 0; dy < blockH; ++dy) {
                    const uint8_t* p = f.Row(y * step + dy) + static_cast<ptrdiff_t>(x) * step * 4;
                    for (int dx = 0; dx < blockW; ++dx, p += 4) {
                        sum[0] += p[0];
                        sum[1] += p[1];
                        sum[2] += p[2];
                    }
                }
                const unsigned n = static_cast<unsigned>(blockW * blockH);
                for (int c = 0; c < 3; ++c) out[x * 4 + c] = static_cast<uint8_t>(sum[c] / n);
                out[x * 4 + 3] = 255;
                ++hist[2][out[x * 4 + 0]];  // blue
                ++hist[1][out[x * 4 + 1]];
                ++hist[0][out[x * 4 + 2]];  // red
            }
        }
        // Encoded only while someone watches: an idle viewer costs the
        // conversion and the histogram, no more.
        const bool watched = viewers_.load() > 0;
        unsigned long size = 0;
        if (watched) {
            if (w != jpegWidth_ || h != jpegHeight_) {
                if (jpegBuffer_ != nullptr) tjFree(jpegBuffer_);
                jpegCapacity_ = tjBufSize(w, h, TJSAMP_420);
                jpegBuffer_ = tjAlloc(static_cast<int>(jpegCapacity_));
                jpegWidth_ = w;
                jpegHeight_ = h;
            }
            size = jpegCapacity_;
            if (tjCompress2(jpeg_, preview_.data(), w, w * 4, h, TJPF_BGRX, &jpegBuffer_, &size,
                            TJSAMP_420, kJpegQuality, TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0)
                throw Error(std::string("the preview could not be encoded: ") +
                            tjGetErrorStr2(jpeg_));
        }
        {
            std::lock_guard<std::mutex> g(latest_.lock);
            if (watched)
                latest_.jpeg.assign(jpegBuffer_, jpegBuffer_ + size);
            else
                latest_.jpeg.clear();
            latest_.width = f.width;
            latest_.height = f.height;
            latest_.picture = f.pictureNumber;
            latest_.dropped = cam_.Stats().dropped;
            if (seconds > 0)
                latest_.fps = latest_.fps == 0 ? 1 / seconds : 0.9 * latest_.fps + 0.1 / seconds;
            std::memcpy(latest_.histogram, hist, sizeof hist);
            ++latest_.sequence;
        }
        latest_.changed.notify_all();
    }

    // Jobs that need the stream, carried out between frames, one at a time
    // in the order they came. A snapshot needs a frame of the window in
    // force; the others are done at once. A job leaves the queue only when
    // it starts, and each waiter hears of its own job as soon as it ends.
    void RunJobs(const norvik::Frame* frame) {
        for (;;) {
            std::shared_ptr<Job> j;
            {
                std::lock_guard<std::mutex> g(jobsLock_);
                auto it = std::find_if(jobs_.begin(), jobs_.end(), [frame](const auto& q) {
                    return q->kind != Job::Snapshot || frame != nullptr;
                });
                if (it == jobs_.end()) return;
                j = *it;
                jobs_.erase(it);
                j->started = true;
            }
            try {
                if (j->kind == Job::Window) {
                    cam_.StopStreaming();
                    frame = nullptr;  // a snapshot waits for a frame of the new window
                    try {
                        cam_.SetWindow(j->x, j->y, j->width, j->height);
                    } catch (...) {
                        cam_.StartStreaming(true, o_.buffers, o_.threads);
                        throw;
                    }
                    cam_.StartStreaming(true, o_.buffers, o_.threads);
                    // Pictures of the old window are not shown again, and
                    // the state (the request's answer too) gives the size of
                    // the frames to come, not that of the last old one.
                    const norvik::Window now = cam_.GetWindow();
                    std::lock_guard<std::mutex> g(latest_.lock);
                    latest_.jpeg.clear();
                    latest_.width = now.outputWidth;
                    latest_.height = now.outputHeight;
                } else if (j->kind == Job::WhiteBalance) {
                    // Estimated on the frames while it is on; switching it off
                    // keeps the gains it found.
                    cam_.Set("white_balance", 1);
                    for (int k = 0; k < 2; ++k) cam_.NextFrame(std::chrono::seconds(3));
                    cam_.Set("white_balance", 0);
                } else {
                    Snapshot(*frame, *j);
                }
            } catch (const std::exception& e) {
                j->error = e.what();  // read by the waiter once it is done
            }
            {
                std::lock_guard<std::mutex> g(jobsLock_);
                j->done = true;
            }
            jobsChanged_.notify_all();
        }
    }

    void Snapshot(const norvik::Frame& f, Job& j) {
        const auto now = std::chrono::system_clock::now();
        std::error_code ec;
        std::filesystem::create_directories(o_.snapshotDirectory, ec);
        if (ec)
            throw Error("cannot make the snapshot folder " + o_.snapshotDirectory + ": " +
                        ec.message());
        char name[64];
        std::snprintf(name, sizeof name, "snapshot-%lld", static_cast<long long>(f.pictureNumber));
        const std::string base = (std::filesystem::path(o_.snapshotDirectory) / name).string();
        TextFields fields = {{"picture", std::to_string(f.pictureNumber)},
                             {"presentation_time_100ns", std::to_string(f.presentationTime)},
                             {"host_time", IsoTime(now)}};
        const TextFields settings = CaptureSettings(cam_);
        fields.insert(fields.end(), settings.begin(), settings.end());
        WritePngBgra(base + ".png", f.top, f.width, f.height, f.stride, fields);
        j.png = std::string(name) + ".png";
        if (f.raw != nullptr) {
            WriteDng(base + ".dng", f.raw, f.rawWidth, f.rawHeight, static_cast<size_t>(f.rawWidth),
                     FrameDngInfo(f.pictureNumber, now, fields));
            j.dng = std::string(name) + ".dng";
        }
        std::lock_guard<std::mutex> g(filesLock_);
        files_[j.png] = base + ".png";
        if (!j.dng.empty()) files_[j.dng] = base + ".dng";
    }

    // Hands a job to the camera thread and waits for it. One the camera has
    // not started within the bound is taken back, so an answered error means
    // it was not done; one it has started is waited for to its end (the
    // camera's own calls are bounded), or the answer says it may still be.
    std::string Submit(const std::shared_ptr<Job>& j) {
        std::unique_lock<std::mutex> g(jobsLock_);
        if (quit_) return "the viewer is closing";
        jobs_.push_back(j);
        const auto startWait = std::chrono::duration<double>(o_.jobStartSeconds);
        if (!jobsChanged_.wait_for(g, startWait, [&] { return j->started || j->done; })) {
            std::erase(jobs_, j);
            return "the camera did not get to it in time";
        }
        if (!jobsChanged_.wait_for(g, kJobEndWait, [&] { return j->done; }))
            return "the camera is still at it, and it may yet be done";
        return j->error;
    }

    // --- HTTP ---

    // Whether a Host header (or an Origin's host and port) names this
    // viewer: the address it listens on or the name it was given, any
    // loopback name when that is where it listens, and any address of the
    // machine when it listens on all of them. A page a browser loaded from
    // another name, which may since have been pointed at this machine's
    // address, is not answered.
    bool OurHost(const std::string& value) const {
        std::string host = value, port;
        if (!host.empty() && host[0] == '[') {
            const size_t close = host.find(']');
            if (close == std::string::npos) return false;
            port = close + 1 < host.size() && host[close + 1] == ':' ? host.substr(close + 2) : "";
            if (close + 1 < host.size() && host[close + 1] != ':') return false;
            host = host.substr(1, close - 1);
        } else if (const size_t colon = host.find(':'); colon != std::string::npos) {
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
        }
        if (port.empty() ? port_ != 80 : port != std::to_string(port_)) return false;
        std::transform(host.begin(), host.end(), host.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string ours = o_.host;
        std::transform(ours.begin(), ours.end(), ours.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (host == ours) return true;
        if (IsLoopback(ours)) return IsLoopback(host);
        if (ours == "0.0.0.0" || ours == "::") return IsAddress(host);
        return false;
    }

    static bool IsAddress(const std::string& host) {
        unsigned char address[16];
        return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
               ::inet_pton(AF_INET6, host.c_str(), address) == 1;
    }

    // Before any route: the Host must be this viewer's, a change must come
    // from its own page (a browser names the page's origin), and with
    // private watching every request carries the token.
    bool Admitted(const httplib::Request& req, httplib::Response& res) {
        if (req.has_header("Host") && !OurHost(req.get_header_value("Host"))) {
            Fail(res, 403,
                 "this viewer answers only to its own address, not to " +
                     req.get_header_value("Host"));
            return false;
        }
        if (req.method != "GET" && req.method != "HEAD" && req.has_header("Origin")) {
            const std::string origin = req.get_header_value("Origin");
            const std::string scheme = "http://";
            if (origin.rfind(scheme, 0) != 0 || !OurHost(origin.substr(scheme.size()))) {
                Fail(res, 403, "changes come only from the viewer's own page, not from " + origin);
                return false;
            }
        }
        if (o_.privateWatching && req.get_header_value("X-Norvik-Token") != token_ &&
            req.get_param_value("token") != token_) {
            Fail(res, 403, "this viewer is private: open it with the address it printed");
            return false;
        }
        return true;
    }

    bool Authorised(const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value("X-Norvik-Token") == token_) return true;
        res.status = 403;
        res.set_content("this request needs the viewer's token\n", "text/plain");
        return false;
    }

    static void Fail(httplib::Response& res, int status, const std::string& why) {
        res.status = status;
        res.set_content(why + "\n", "text/plain");
    }

    std::string StateJson() {
        std::string s = "{";
        {
            std::lock_guard<std::mutex> g(latest_.lock);
            char b[160];
            std::snprintf(
                b, sizeof b,
                "\"fps\":%.2f,\"picture\":%lld,\"dropped\":%llu,\"width\":%d,\"height\":%d,",
                latest_.fps, static_cast<long long>(latest_.picture),
                static_cast<unsigned long long>(latest_.dropped), latest_.width, latest_.height);
            s += b;
        }
        // The live pictures served and how many may be: a page turned away
        // says why, and asks again once there is room.
        s += "\"viewers\":" + std::to_string(std::min(viewers_.load(), o_.maxViewers)) +
             ",\"maxViewers\":" + std::to_string(o_.maxViewers) + ",";
        const norvik::Window w = cam_.GetWindow();
        s += "\"window\":{\"x\":" + std::to_string(w.x) + ",\"y\":" + std::to_string(w.y) +
             ",\"width\":" + std::to_string(w.width) + ",\"height\":" + std::to_string(w.height) +
             "},\"sensor\":{\"width\":2560,\"height\":1920},\"controls\":[";
        bool first = true;
        for (const auto& c : norvik::Camera::Controls()) {
            if (!c.shown) continue;
            if (!first) s += ",";
            first = false;
            s += "{\"name\":" + JsonString(c.name) + ",\"min\":" + std::to_string(c.minimum) +
                 ",\"max\":" + std::to_string(c.maximum) +
                 ",\"default\":" + std::to_string(c.defaultValue) +
                 ",\"step\":" + std::to_string(c.step) + ",\"type\":" +
                 (c.type == norvik::ControlType::Switch ? "\"switch\"" : "\"integer\"") +
                 ",\"unit\":" + JsonString(c.unit) +
                 ",\"description\":" + JsonString(c.description) +
                 ",\"value\":" + std::to_string(cam_.Get(c.name)) + "}";
        }
        return s + "]}";
    }

    void Routes() {
        server_.set_payload_max_length(16 * 1024);
        server_.set_write_timeout(5, 0);
        // A thread for every live picture, for all one address may hold and
        // a few more: whoever else comes is served while one address holds
        // all it may.
        const int threads = o_.maxViewers + o_.connectionsPerAddress + 4;
        server_.new_task_queue = [threads] {
            return new httplib::ThreadPool(static_cast<size_t>(threads));
        };
        server_.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) {
                return Admitted(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                          : httplib::Server::HandlerResponse::Handled;
            });
        server_.Get("/", [this](const httplib::Request&, httplib::Response& res) { Page(res); });
        server_.Get("/state", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(StateJson(), "application/json");
        });
        server_.Get("/histogram", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(HistogramJson(), "application/json");
        });
        server_.Get("/stream.mjpg",
                    [this](const httplib::Request&, httplib::Response& res) { LivePicture(res); });
        server_.Get(
            R"(/files/(snapshot-[0-9]+\.(png|dng)))",
            [this](const httplib::Request& req, httplib::Response& res) { File(req, res); });
        Change("/control", [this](const Form& form) {
            const std::string& name = form.Text("name");
            const int32_t value = form.Number("value");
            try {
                cam_.Set(name, value);
                return "{\"value\":" + std::to_string(cam_.Get(name)) + "}";
            } catch (const std::exception& e) {
                throw Refusal(400, e.what());  // a value the control does not take, most likely
            }
        });
        Change("/window", [this](const Form& form) {
            auto j = std::make_shared<Job>(Job::Window);
            j->x = form.Number("x");
            j->y = form.Number("y");
            j->width = form.Number("width");
            j->height = form.Number("height");
            CarryOut(j);
            return StateJson();
        });
        Change("/whitebalance", [this](const Form&) {
            CarryOut(std::make_shared<Job>(Job::WhiteBalance));
            return StateJson();
        });
        Change("/snapshot", [this](const Form&) {
            const auto j = std::make_shared<Job>(Job::Snapshot);
            CarryOut(j);
            const std::string directory =
                std::filesystem::weakly_canonical(std::filesystem::absolute(o_.snapshotDirectory))
                    .string();
            return "{\"png\":" + JsonString("/files/" + j->png) + ",\"dng\":" +
                   (j->dng.empty() ? std::string("null") : JsonString("/files/" + j->dng)) +
                   ",\"directory\":" + JsonString(directory) + "}";
        });
    }

    // Every request that changes something: only with the run's token;
    // `change` reads the form, does what it asks and gives the JSON answer,
    // or throws the Refusal that is the answer instead.
    void Change(const char* path, std::function<std::string(const Form&)> change) {
        server_.Post(path, [this, change](const httplib::Request& req, httplib::Response& res) {
            if (!Authorised(req, res)) return;
            try {
                res.set_content(change(Form(req.body)), "application/json");
            } catch (const Refusal& r) {
                Fail(res, r.status, r.what());
            }
        });
    }

    // Hands a job to the camera thread and waits for it; one that fails
    // refuses the request (500).
    void CarryOut(const std::shared_ptr<Job>& j) {
        const std::string error = Submit(j);
        if (!error.empty()) throw Refusal(500, error);
    }

    void Page(httplib::Response& res) {
        std::string page = kViewerPage;
        const std::string mark = "@TOKEN@";
        for (size_t at = page.find(mark); at != std::string::npos; at = page.find(mark, at))
            page.replace(at, mark.size(), token_);
        res.set_header("Cache-Control", "no-store");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; style-src 'unsafe-inline'; "
                       "script-src 'unsafe-inline'; img-src 'self' blob:");
        res.set_content(page, "text/html; charset=utf-8");
    }

    std::string HistogramJson() {
        std::string s = "{";
        std::lock_guard<std::mutex> g(latest_.lock);
        const char* names[3] = {"red", "green", "blue"};
        for (int c = 0; c < 3; ++c) {
            if (c > 0) s += ',';
            s += '"';
            s += names[c];
            s += "\":[";
            for (int i = 0; i < 256; ++i) {
                if (i > 0) s += ',';
                s += std::to_string(latest_.histogram[c][i]);
            }
            s += ']';
        }
        return s + "}";
    }

    // The live picture: each new preview as one part of an endless
    // multipart answer, for as long as the viewer reads it.
    void LivePicture(httplib::Response& res) {
        if (viewers_.fetch_add(1) >= o_.maxViewers) {
            --viewers_;
            return Fail(res, 503,
                        "too many viewers at once (" + std::to_string(o_.maxViewers) + ")");
        }
        res.set_header("Cache-Control", "no-store");
        auto seen = std::make_shared<uint64_t>(0);
        res.set_chunked_content_provider(
            "multipart/x-mixed-replace; boundary=frame",
            [this, seen](size_t, httplib::DataSink& sink) {
                std::vector<unsigned char> jpeg;
                {
                    std::unique_lock<std::mutex> g(latest_.lock);
                    auto fresh = [&] { return latest_.sequence != *seen && !latest_.jpeg.empty(); };
                    latest_.changed.wait_for(g, std::chrono::seconds(1),
                                             [&] { return latest_.ended || fresh(); });
                    if (latest_.ended) return false;
                    if (!fresh()) return true;  // nothing new yet: ask again
                    *seen = latest_.sequence;
                    jpeg = latest_.jpeg;
                }
                const std::string head = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                         std::to_string(jpeg.size()) + "\r\n\r\n";
                // A viewer that is gone or too slow fails the write (or
                // its time-out) and ends only its own stream.
                return sink.write(head.data(), head.size()) &&
                       sink.write(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()) &&
                       sink.write("\r\n", 2);
            },
            [this](bool) { --viewers_; });
    }

    // A snapshot this run saved, by the name it gave it.
    void File(const httplib::Request& req, httplib::Response& res) {
        std::string path;
        {
            std::lock_guard<std::mutex> g(filesLock_);
            auto it = files_.find(req.matches[1]);
            if (it == files_.end()) return Fail(res, 404, "no such snapshot");
            path = it->second;
        }
        std::string bytes;
        try {
            bytes = ReadFileBytes(path);
        } catch (const std::exception& e) {
            return Fail(res, 410, e.what());
        }
        res.set_header("Content-Disposition",
                       "attachment; filename=\"" + std::string(req.matches[1]) + "\"");
        res.set_content(bytes, req.matches[2] == "png" ? "image/png" : "image/x-adobe-dng");
    }

    norvik::Camera& cam_;
    ViewerOptions o_;
    const std::string token_;
    BoundedServer server_;
    int port_ = 0;  // the port it listens on
    std::atomic<bool> quit_{false};
    std::atomic<int> viewers_{0};
    Latest latest_;
    std::mutex jobsLock_;
    std::condition_variable jobsChanged_;
    std::vector<std::shared_ptr<Job>> jobs_;  // not yet started
    std::mutex filesLock_;
    std::map<std::string, std::string> files_;  // snapshot name -> path: the only files served
    tjhandle jpeg_ = nullptr;
    unsigned char* jpegBuffer_ = nullptr;
    unsigned long jpegCapacity_ = 0;
    int jpegWidth_ = 0, jpegHeight_ = 0;
    std::vector<uint8_t> preview_;
};

}  // namespace

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

void ParseListen(const std::string& text, ViewerOptions* o) {
    std::string host = text, port;
    bool portGiven = false;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close == 1)
            throw Error("--listen: an IPv6 address goes in brackets: [::1]:8080");
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') throw Error("--listen: ADDRESS:PORT, not " + text);
            port = text.substr(close + 2);
            portGiven = true;
        }
    } else if (const size_t colon = text.find(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        portGiven = true;
        if (port.find(':') != std::string::npos)
            throw Error(
                "--listen: ADDRESS:PORT has one colon, and an IPv6 address goes in "
                "brackets ([::1]:8080): not " +
                text);
    }
    if (portGiven) {
        if (port.empty()) throw Error("--listen: no port after the colon in " + text);
        int32_t p = 0;
        try {
            p = ParseNumber(port, "--listen port");
        } catch (const std::exception& e) {
            throw Error(e.what());
        }
        if (p < 0 || p > 65535) throw Error("--listen: the port is 0..65535, not " + port);
        o->port = p;
    }
    if (!host.empty()) o->host = host;
}

void RunViewer(norvik::Camera& camera, const ViewerOptions& options,
               const std::function<bool()>& stop,
               const std::function<void(const std::string&)>& ready) {
    Viewer v(camera, options);
    v.Run(stop, ready);
}

}  // namespace tools
