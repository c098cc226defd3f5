// norvikcam-gadget: the simulated camera served to a real Linux USB stack as
// a FunctionFS gadget, so the driver, over libusb, talks to the same camera
// model through usbcore and usbfs. It sets up a configfs gadget with the
// model's device descriptor and one FunctionFS function with the model's
// interface, binds it to a device controller (dummy_udc.0 in the guest
// tests), and bridges the three endpoint files to the model's pipes.
//
// Commands on the control FIFO, one a line:
//   stall BYTES          the next frame stops after BYTES bytes
//   stalled FILE         FILE gets "yes" once a frame has stopped there, else "no"
//   keep on|off          a transfer-begin block does not drop the rest of a
//                        frame: the camera goes on sending it (a FIFO that is
//                        not flushed)
//   slow BYTES_PER_S     the next frame goes out at this rate
//   short BYTES          the next frame has a short packet after BYTES bytes
//   extra BYTES          the next frame is followed by BYTES bytes more
//   halt frame|command   the endpoint halts (stalls) until the host clears it
//   nak MS               the command endpoint takes no data for MS ms
//   check PGM X Y FILE   FILE gets "match N" when the raw image in PGM equals
//                        frame N of the scene at window (X, Y), else "no match"
//   frames FILE          FILE gets the number of frames sent so far
//   unbind               unplug: the gadget leaves the controller
//   replug MS            the camera drops off the bus for MS ms and comes
//                        back, as after a firmware reset
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulated_camera.h"
#include "sim/test_scene.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::atomic<bool> stopping{false};
// Misbehaviour asked for on the control FIFO, carried out by the bridges.
std::atomic<bool> haltFrames{false}, haltCommands{false};
std::atomic<int64_t> shortAt{-1};    // frame position of the next short packet
std::atomic<int64_t> extraBytes{0};  // bytes to send after the next frame
std::atomic<int64_t> nakUntilMs{0};  // the command endpoint takes nothing until then
int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}
constexpr uint64_t kFrameBytes = 5324800;  // one raw frame on the wire
std::mutex logLock;

void Log(const char* format, auto... args) {
    std::lock_guard<std::mutex> g(logLock);
    std::printf("gadget: ");
    std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "norvikcam-gadget: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream f(p);
    f << text;
    f.close();
    if (!f) Die("writing " + p.string());
}

std::string Hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

// One transfer on the model, waited for.
struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    USBD_STATUS status = 0;
    ULONG actual = 0;
};

bool ModelTransfer(sim::SimulatedCamera& cam, uint8_t endpoint, uint8_t* buffer, ULONG length,
                   ULONG* actual) {
    auto w = std::make_shared<Waiter>();
    auto t = std::make_shared<usb::Transfer>();
    t->endpoint = endpoint;
    t->buffer = buffer;
    t->length = length;
    t->onComplete = [w](usb::Transfer&, USBD_STATUS s, ULONG n) {
        std::lock_guard<std::mutex> g(w->m);
        w->done = true, w->status = s, w->actual = n;
        w->cv.notify_all();
    };
    cam.Submit(t);
    std::unique_lock<std::mutex> g(w->m);
    w->cv.wait(g, [&] { return w->done; });
    *actual = w->actual;
    return USBD_SUCCESS(w->status);
}

// The FunctionFS descriptors: the model's interface and endpoints, at full
// speed (64-byte packets) and high speed (the model's 512).
std::vector<uint8_t> FunctionDescriptors(const std::vector<uint8_t>& configuration) {
    std::vector<uint8_t> body;  // interface + endpoints, as the model has them
    uint32_t count = 0;
    for (size_t i = 9; i + 2 <= configuration.size() && configuration[i] >= 2;
         i += configuration[i]) {
        const uint8_t type = configuration[i + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && count > 0) break;  // the first interface only
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            body.insert(body.end(), configuration.begin() + static_cast<long>(i),
                        configuration.begin() + static_cast<long>(i) + 7);
        } else {
            body.insert(body.end(), configuration.begin() + static_cast<long>(i),
                        configuration.begin() + static_cast<long>(i) + configuration[i]);
        }
        ++count;
    }
    std::vector<uint8_t> fullSpeed = body;
    for (size_t i = 0; i + 7 <= fullSpeed.size(); i += fullSpeed[i])
        if (fullSpeed[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
            fullSpeed[i + 4] = 64, fullSpeed[i + 5] = 0;
    std::vector<uint8_t> out(sizeof(usb_functionfs_descs_head_v2) + 8);
    auto* head = reinterpret_cast<usb_functionfs_descs_head_v2*>(out.data());
    head->magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2;
    head->flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC;
    std::memcpy(out.data() + sizeof *head, &count, 4);
    std::memcpy(out.data() + sizeof *head + 4, &count, 4);
    out.insert(out.end(), fullSpeed.begin(), fullSpeed.end());
    out.insert(out.end(), body.begin(), body.end());
    head = reinterpret_cast<usb_functionfs_descs_head_v2*>(out.data());
    head->length = static_cast<uint32_t>(out.size());
    return out;
}

std::vector<uint8_t> NoStrings() {
    usb_functionfs_strings_head h{};
    h.magic = FUNCTIONFS_STRINGS_MAGIC;
    h.length = sizeof h;
    std::vector<uint8_t> out(sizeof h);
    std::memcpy(out.data(), &h, sizeof h);
    return out;
}

// Moves bytes from an endpoint file into the model's pipe, or from the
// model's pipe into an endpoint file, until the gadget stops. A disabled
// function makes the file fail; the bridge waits and tries again.
// Halts an endpoint the way FunctionFS lets a function do it: a transfer
// in the wrong direction sets the halt, which lasts until the host clears it.
void Halt(int fd, bool in, const char* which) {
    uint8_t b = 0;
    ssize_t r = in ? read(fd, &b, 1) : write(fd, &b, 1);
    if (r < 0 && errno == EBADMSG)
        Log("the %s endpoint halted", which);
    else
        Log("halting the %s endpoint failed: %s", which, std::strerror(errno));
}

void BridgeOut(sim::SimulatedCamera& cam, int fd, uint8_t endpoint) {
    std::vector<uint8_t> buf(4096);
    while (!stopping) {
        if (haltCommands.exchange(false)) Halt(fd, false, "command");
        const int64_t wait = nakUntilMs - NowMs();
        if (wait > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            Log("the command endpoint takes data again");
        }
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ULONG moved = 0;
        ModelTransfer(cam, endpoint, buf.data(), static_cast<ULONG>(n), &moved);
    }
}

// Writes all of [data, data + length) to an endpoint file. A write whose
// length is not a whole number of packets ends in a short packet.
void WriteAll(int fd, const uint8_t* data, size_t length) {
    for (size_t at = 0; at < length && !stopping;) {
        ssize_t n = write(fd, data + at, length - at);
        if (n < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        at += static_cast<size_t>(n);
    }
}

void BridgeIn(sim::SimulatedCamera& cam, int fd, uint8_t endpoint, ULONG chunk, bool frames) {
    std::vector<uint8_t> buf(chunk);
    auto last = Clock::now();
    uint64_t bytes = 0;  // of the frame being sent
    while (!stopping) {
        if (frames && haltFrames.exchange(false)) Halt(fd, true, "frame");
        ULONG moved = 0;
        if (!ModelTransfer(cam, endpoint, buf.data(), chunk, &moved) || moved == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (!frames) {
            WriteAll(fd, buf.data(), moved);
            continue;
        }
        // Data that stopped inside a frame and came back as a new one is a
        // frame the host gave up on: the wait is its frame time-out.
        const auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last).count();
        if (bytes != 0 && gap > 400) {
            Log("a frame stopped after %llu bytes; the next began %lld ms later",
                static_cast<unsigned long long>(bytes), static_cast<long long>(gap));
            bytes = 0;
        }
        // A short packet inside this chunk: it goes out in two writes.
        const int64_t cut = shortAt;
        if (cut >= 0 && static_cast<uint64_t>(cut) >= bytes &&
            static_cast<uint64_t>(cut) < bytes + moved) {
            const size_t first = static_cast<size_t>(static_cast<uint64_t>(cut) - bytes);
            WriteAll(fd, buf.data(), first);
            WriteAll(fd, buf.data() + first, moved - first);
            shortAt = -1;
            Log("a short packet after %lld bytes of the frame", static_cast<long long>(cut));
        } else {
            WriteAll(fd, buf.data(), moved);
        }
        bytes += moved;
        // The model's last chunk of a frame is its only short one.
        if (moved < chunk || bytes >= kFrameBytes) {
            if (const int64_t extra = extraBytes.exchange(0); extra > 0) {
                std::vector<uint8_t> more(static_cast<size_t>(extra), 0x5A);
                WriteAll(fd, more.data(), more.size());
                Log("%lld bytes more after the frame", static_cast<long long>(extra));
            }
            bytes = 0;
        }
        last = Clock::now();
        cam.ClearRecord();  // the record would only grow here
    }
}

// The raw image of a PGM against every frame the model sent so far.
std::string Check(sim::SimulatedCamera& cam, const std::string& pgm, int x, int y) {
    std::ifstream in(pgm, std::ios::binary);
    std::string magic;
    int w = 0, h = 0, maxval = 0;
    in >> magic >> w >> h >> maxval;
    in.get();
    if (!in || magic != "P5" || maxval != 255 || w <= 0 || h <= 0 || x + w > sim::kSceneWidth ||
        y + h > sim::kSceneHeight)
        return "not a PGM of the sensor: " + pgm;
    std::vector<uint8_t> raw(static_cast<size_t>(w) * static_cast<size_t>(h));
    in.read(reinterpret_cast<char*>(raw.data()), static_cast<long>(raw.size()));
    if (!in) return "PGM cut short: " + pgm;
    // The latest frames first: a captured frame is a recent one. A miss
    // names the closest frame and where it first differs.
    size_t fewest = SIZE_MAX;
    std::string closest;
    for (uint32_t n = cam.FramesDelivered(); n-- > 0;) {
        std::vector<uint8_t> image = cam.ExpectedImage(n);
        size_t differ = 0;
        int firstX = -1, firstY = -1;
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                if (raw[static_cast<size_t>(r) * static_cast<size_t>(w) + static_cast<size_t>(c)] !=
                    image[static_cast<size_t>(y + r) * sim::kSceneWidth +
                          static_cast<size_t>(x + c)]) {
                    if (differ++ == 0) firstX = c, firstY = r;
                }
        if (differ == 0) return "match " + std::to_string(n);
        if (differ < fewest) {
            fewest = differ;
            closest = "closest frame " + std::to_string(n) + ": " + std::to_string(differ) +
                      " pixels differ, the first at " + std::to_string(firstX) + "," +
                      std::to_string(firstY);
        }
    }
    return "no match (" + closest + ")";
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "norvik", udc = "dummy_udc.0", control = "/tmp/norvikcam-gadget.ctl", ready;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--name")
            name = v;
        else if (k == "--udc")
            udc = v;
        else if (k == "--control")
            control = v;
        else if (k == "--ready")
            ready = v;
        else {
            std::fprintf(
                stderr,
                "usage: norvikcam-gadget [--name N] [--udc UDC] [--control FIFO] [--ready FILE]\n");
            return 2;
        }
    }
    sim::SimulatedCamera cam;
    cam.RecordPauses(false);
    uint8_t device[18] = {};
    ULONG got = 0;
    cam.ControlTransfer(0x80, 6, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, device, sizeof device, &got);
    std::vector<uint8_t> configuration(9);
    cam.ControlTransfer(0x80, 6, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, configuration.data(), 9,
                        &got);
    configuration.resize(static_cast<size_t>(configuration[2] | configuration[3] << 8));
    cam.ControlTransfer(0x80, 6, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, configuration.data(),
                        static_cast<uint16_t>(configuration.size()), &got);

    // The gadget in configfs, with the model's device descriptor.
    const fs::path g = fs::path("/sys/kernel/config/usb_gadget") / name;
    fs::create_directories(g);
    WriteFile(g / "idVendor", Hex(static_cast<unsigned>(device[8] | device[9] << 8)));
    WriteFile(g / "idProduct", Hex(static_cast<unsigned>(device[10] | device[11] << 8)));
    WriteFile(g / "bcdDevice", Hex(static_cast<unsigned>(device[12] | device[13] << 8)));
    WriteFile(g / "bcdUSB", Hex(static_cast<unsigned>(device[2] | device[3] << 8)));
    WriteFile(g / "bDeviceClass", Hex(device[4]));
    fs::create_directories(g / "strings/0x409");
    WriteFile(g / "strings/0x409/manufacturer", "Norvik");
    WriteFile(g / "strings/0x409/product", "Norvik 2560x1920 camera (simulated)");
    fs::create_directories(g / "configs/c.1");
    WriteFile(g / "configs/c.1/MaxPower", std::to_string(configuration[8] * 2));
    const fs::path function = g / ("functions/ffs." + name);
    fs::create_directories(function);
    if (!fs::exists(g / "configs/c.1" / ("ffs." + name)))
        fs::create_directory_symlink(function, g / "configs/c.1" / ("ffs." + name));
    const fs::path ffs = "/dev/ffs-" + name;
    fs::create_directories(ffs);
    if (mount(name.c_str(), ffs.c_str(), "functionfs", 0, nullptr) != 0 && errno != EBUSY)
        Die("mounting functionfs");

    int ep0 = open((ffs / "ep0").c_str(), O_RDWR);
    if (ep0 < 0) Die("opening ep0");
    auto descriptors = FunctionDescriptors(configuration);
    if (write(ep0, descriptors.data(), descriptors.size()) < 0) Die("writing the descriptors");
    auto strings = NoStrings();
    if (write(ep0, strings.data(), strings.size()) < 0) Die("writing the strings");
    int ep[3];
    for (int i = 0; i < 3; ++i) {
        ep[i] = open((ffs / ("ep" + std::to_string(i + 1))).c_str(), O_RDWR);
        if (ep[i] < 0) Die("opening endpoint file " + std::to_string(i + 1));
    }
    std::vector<std::thread> bridges;
    bridges.emplace_back([&] { BridgeOut(cam, ep[0], cam.CommandEndpoint()); });
    bridges.emplace_back([&] { BridgeIn(cam, ep[1], cam.ReplyEndpoint(), 512, false); });
    bridges.emplace_back([&] { BridgeIn(cam, ep[2], cam.FrameEndpoint(), 65536, true); });

    // Host-side events arrive on ep0: configuration is the model's too.
    std::thread events([&] {
        usb_functionfs_event e{};
        while (read(ep0, &e, sizeof e) == sizeof e) {
            switch (e.type) {
                case FUNCTIONFS_ENABLE:
                    Log("configured by the host");
                    cam.SetConfiguration(1);
                    break;
                case FUNCTIONFS_DISABLE:
                    Log("unconfigured");
                    cam.SetConfiguration(0);
                    break;
                case FUNCTIONFS_SETUP:  // no requests of its own: stall them
                    if (e.u.setup.bRequestType & 0x80) {
                        if (read(ep0, nullptr, 0) < 0) {
                        }
                    } else if (write(ep0, nullptr, 0) < 0) {
                    }
                    break;
                default:
                    break;
            }
        }
    });

    WriteFile(g / "UDC", udc);
    Log("bound to %s as %04x:%04x", udc.c_str(), device[8] | device[9] << 8,
        device[10] | device[11] << 8);
    unlink(control.c_str());
    if (mkfifo(control.c_str(), 0600) != 0) Die("creating " + control);
    if (!ready.empty()) WriteFile(ready, "ready\n");
    for (;;) {
        std::ifstream fifo(control);  // blocks until a writer opens it
        std::string line;
        while (std::getline(fifo, line)) {
            std::istringstream words(line);
            std::string verb;
            words >> verb;
            if (verb == "stall") {
                ULONG bytes = 0;
                words >> bytes;
                cam.StallFrameAfter(bytes);
                Log("the next frame stops after %lu bytes", static_cast<unsigned long>(bytes));
            } else if (verb == "stalled") {
                std::string result;
                words >> result;
                WriteFile(result + ".tmp", cam.StallPending() ? "no\n" : "yes\n");
                fs::rename(result + ".tmp", result);
            } else if (verb == "keep") {
                std::string on;
                words >> on;
                cam.KeepFrameTail(on == "on");
                Log("a begin block %s the rest of a frame", on == "on" ? "keeps" : "drops");
            } else if (verb == "slow") {
                double rate = 0;
                words >> rate;
                cam.SlowFrame(rate);
                Log("the next frame goes out at %.0f bytes/s", rate);
            } else if (verb == "short") {
                int64_t at = -1;
                words >> at;
                shortAt = at;
            } else if (verb == "extra") {
                int64_t n = 0;
                words >> n;
                extraBytes = n;
            } else if (verb == "halt") {
                std::string which;
                words >> which;
                (which == "command" ? haltCommands : haltFrames) = true;
            } else if (verb == "nak") {
                int64_t ms = 0;
                words >> ms;
                nakUntilMs = NowMs() + ms;
                Log("the command endpoint takes no data for %lld ms", static_cast<long long>(ms));
            } else if (verb == "replug") {
                int ms = 0;
                words >> ms;
                WriteFile(g / "UDC", "\n");
                Log("off the bus for %d ms", ms);
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                WriteFile(g / "UDC", udc);
                Log("back on the bus");
            } else if (verb == "check") {
                std::string pgm, result;
                int x = 0, y = 0;
                words >> pgm >> x >> y >> result;
                std::string verdict = Check(cam, pgm, x, y);
                Log("%s: %s", pgm.c_str(), verdict.c_str());
                WriteFile(result + ".tmp", verdict + "\n");
                fs::rename(result + ".tmp", result);
            } else if (verb == "frames") {
                std::string result;
                words >> result;
                WriteFile(result + ".tmp", std::to_string(cam.FramesDelivered()) + "\n");
                fs::rename(result + ".tmp", result);
            } else if (verb == "unbind") {
                WriteFile(g / "UDC", "\n");
                Log("unbound: the camera is unplugged");
            } else if (!verb.empty()) {
                Log("unknown command '%s'", verb.c_str());
            }
        }
    }
}
