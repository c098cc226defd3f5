// norvikcam stream: frames to standard output, raw BGRA or YUV4MPEG2.
#include "tools/commands/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/gathered_write.h"
#include "tools/video_formats.h"

namespace tools::commands {
namespace {

// The rate a player is told: the simulated camera's pace, or the camera's 30.
void StreamRate(const Common& c, int* numerator, int* denominator) {
    const bool simulated = c.device == "sim" || c.device.rfind("sim:", 0) == 0;
    if (simulated && c.fps > 0) {
        *numerator = static_cast<int>(std::lround(c.fps * 1000));
        *denominator = 1000;
        for (int d : {2, 2, 2, 5, 5, 5})
            if (*numerator % d == 0 && *denominator % d == 0) *numerator /= d, *denominator /= d;
    } else {
        *numerator = 30;
        *denominator = 1;
    }
}

bool Stopped() {
    return Interrupted() != 0;
}

// The header, or one frame's planes after its marker, in gathered writes.
int WriteOut(const std::string& head, const uint8_t* data = nullptr, size_t size = 0) {
    return WriteGathered(STDOUT_FILENO, head.data(), head.size(), {data, 0, size, data ? 1u : 0u},
                         Stopped);
}

// A pipe holds 64 KB unless asked for more: a 19.7 MB frame would pass
// through it in some 300 pieces, each a wake-up of the reader and of this
// process. As much as an unprivileged process may ask for (1 MB, Linux's
// default pipe-max-size), where the system allows it.
void WidenPipe(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    for (int size = 1 << 20; size > 65536; size /= 2)
        if (::fcntl(fd, F_SETPIPE_SZ, size) >= 0) return;
}

int Stream(const Common& c, int64_t count, const std::string& format) {
    if (count < 0 || count > 1000000000)
        throw UsageError("-n must be at least 0 (until interrupted) and at most 1000000000");
    if (StandardOutputClosed())
        throw Error("standard output is closed: pipe the frames into a program (see --help)");
    if (isatty(STDOUT_FILENO))
        throw Error("standard output is a terminal: pipe the frames into a program (see --help)");
    const bool y4m = format == "y4m";
    WidenPipe(STDOUT_FILENO);
    auto cam = OpenCamera(c);
    HandleInterrupts();
    auto w = cam->GetWindow();
    int rateNum = 30, rateDen = 1;
    StreamRate(c, &rateNum, &rateDen);
    const std::string rate =
        std::to_string(rateNum) + (rateDen != 1 ? "/" + std::to_string(rateDen) : "");
    const char* what = y4m ? "YUV4MPEG2 (4:2:0)" : "BGRA";
    if (count > 0)
        std::fprintf(
            stderr, "streaming %lld frames of %dx%d %s at %s frames/s to standard output\n",
            static_cast<long long>(count), w.outputWidth, w.outputHeight, what, rate.c_str());
    else
        std::fprintf(
            stderr,
            "streaming %dx%d %s frames at %s frames/s to standard output until interrupted\n",
            w.outputWidth, w.outputHeight, what, rate.c_str());
    if (!y4m)
        std::fprintf(stderr,
                     "read it with: ffmpeg -f rawvideo -pix_fmt bgra -s %dx%d -r %s -i - out.mkv\n",
                     w.outputWidth, w.outputHeight, rate.c_str());
    std::vector<uint8_t> planes;
    int64_t sent = 0;
    bool readerGone = false;
    std::string failure;
    // Once written, a failure is the summary's last word, not the only one.
    auto failed = [&](int error) {
        if (error == EPIPE)
            readerGone = true;  // the reader has what it wanted
        else if (error != EINTR || Interrupted() == 0)
            failure = WriteFailure("standard output", error);
    };
    if (y4m) planes.resize(Y4mFrameBytes(w.outputWidth, w.outputHeight));
    if (y4m) {
        if (int e = WriteOut(Y4mHeader(w.outputWidth, w.outputHeight, rateNum, rateDen))) {
            failed(e);
            count = -1;  // nothing streams
        }
    }
    if (count >= 0) cam->StartStreaming(false, c.buffers, c.threads);
    while (count >= 0 && (count == 0 || sent < count) && Interrupted() == 0) {
        auto frame = NextFrame(*cam, 5);
        if (!frame) {
            if (Interrupted() != 0) break;
            failure = "no frames from the camera";
            break;
        }
        int error = 0;
        if (y4m) {
            // The window cannot change while streaming: every frame has the header's size.
            BgraToI420(frame->top, frame->stride, frame->width, frame->height, planes.data());
            error = WriteOut("FRAME\n", planes.data(), planes.size());
        } else {
            // Straight from the driver's buffer, top row first.
            error = WriteGathered(STDOUT_FILENO, nullptr, 0,
                                  {frame->top, frame->stride, static_cast<size_t>(frame->width) * 4,
                                   static_cast<size_t>(frame->height)},
                                  Stopped);
        }
        if (error != 0) {
            failed(error);
            break;
        }
        ++sent;
    }
    const uint64_t dropped = cam->Stats().dropped;
    if (count >= 0) cam->StopStreaming();
    cam->Close();
    std::fprintf(stderr, "streamed %lld frames, dropped %llu by the camera path%s\n",
                 static_cast<long long>(sent), static_cast<unsigned long long>(dropped),
                 Interrupted() ? ", interrupted"
                 : readerGone  ? ", the reader closed the pipe"
                               : "");
    if (!failure.empty()) throw Error(failure);
    return Interrupted() != 0 ? InterruptedExit() : 0;
}

}  // namespace

Command AddStream(CLI::App& app, Common& common) {
    struct Options {
        int64_t count = 0;
        std::string format = "bgra";
    };
    auto o = std::make_shared<Options>();
    auto* s = AddSubcommand(
        app, "stream",
        "frames to standard output, top row first: raw BGRA (| ffmpeg -f rawvideo -pix_fmt bgra -s "
        "WxH -r 30 -i - out.mkv, printed with the size filled in) or YUV4MPEG2 (| ffplay -)");
    s->add_option("-n,--count", o->count, "number of frames (0: until interrupted)")
        ->capture_default_str();
    s->add_option("--format", o->format,
                  "bgra (no header) or y4m (size and rate in a header players read)")
        ->check(CLI::IsMember({"bgra", "y4m"}))
        ->capture_default_str();
    return {s, [&common, o] { return Stream(common, o->count, o->format); }};
}

}  // namespace tools::commands
