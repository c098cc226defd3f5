// What the camera sends back: the replies to the one-byte read (any number
// of blocks of any length and content), and frame reads that complete
// short, late, with errors, out of order, stalled, on a halted pipe, after a
// refused begin marker or with the tail of an earlier frame still coming.
// The input is a script of such faults (op byte, then its arguments) for
// one byte read and one frame. Whatever happens to that frame, every one of
// its requests must come back from the bus and be freed, and once the
// faults are gone the next frame must be the scene, byte for byte.
#include <vector>

#include "fuzz/camera_rig.h"
#include "tests/support/driver_tunables.h"
#include "usb/frame_transfer.h"

namespace {

#if !defined(NORVIK_LIBFUZZER) && (defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__))
constexpr LONG kDrainQuietMs = 1000;
#else
constexpr LONG kDrainQuietMs = 40;
#endif

fuzzrig::ConfiguredCamera& Camera() {
    static fuzzrig::ConfiguredCamera* camera =
        new fuzzrig::ConfiguredCamera;  // lives for the whole run
    return *camera;
}

const USBD_STATUS kStatuses[] = {USBD_STATUS_XACT_ERROR, USBD_STATUS_STALL_PID,
                                 USBD_STATUS_CANCELED, USBD_STATUS_DEVICE_GONE,
                                 USBD_STATUS_DEV_NOT_RESPONDING};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& cam = Camera();
    auto& sim = cam.sim;
    const uint8_t frameEp = sim.FrameEndpoint(), commandEp = sim.CommandEndpoint(),
                  replyEp = sim.ReplyEndpoint();
    // Short enough to search quickly; the quiet spell that ends a drain
    // shorter still, except in the suite's sanitizer builds, where the
    // camera's thread can pause that long in the middle of a frame's tail.
    DriverTunables tunables;
    tunables.FrameTimeout(150).DrainQuiet(kDrainQuietMs);
    const ULONG frame = cam.Camera().RawFrameSize;
    fuzzrig::Input in(data, size);
    bool readByte = false;
    for (int op = 0; op < 8 && in.Left() > 0; ++op) {
        switch (in.Byte() % 11) {
            case 0:
                sim.FailTransfers(frameEp, 1 + in.Byte() % 3, kStatuses[in.Byte() % 5]);
                break;
            case 1: {
                const int n = 1 + in.Byte() % 3;
                sim.ShortTransfers(frameEp, n, in.U32() % 65537);
                break;
            }
            case 2:
                sim.StallFrameAfter(in.U32() % frame);
                break;
            case 3:
                sim.SlowFrame(frame * (1.0 + in.Byte() % 16));
                break;  // late: up to a second, past the time-out
            case 4:
                sim.FailTransfers(commandEp, 1 + in.Byte() % 2, kStatuses[in.Byte() % 5]);
                break;
            case 5: {
                const int n = 1 + in.Byte() % 2;
                sim.ShortTransfers(commandEp, n, in.Byte() % 65);
                break;
            }
            case 6:
                sim.KeepFrameTail(in.Byte() & 1);
                break;
            case 7:
                sim.HaltEndpoint(frameEp);
                break;
            case 8:
                sim.CompleteFrameReadsReversed(true);
                break;
            case 9: {
                std::vector<std::vector<uint8_t>> blocks(in.Byte() % 4);
                for (auto& b : blocks) {
                    b.resize(in.Byte() % 80);
                    for (auto& x : b) x = in.Byte();
                }
                sim.ReplyWith(std::move(blocks));
                readByte = true;
                break;
            }
            case 10: {
                const int n = 1 + in.Byte() % 2;
                sim.ShortTransfers(replyEp, n, in.Byte() % 65);
                readByte = true;
                break;
            }
        }
    }
    if (readByte) {
        UCHAR byte = 0xA5;
        cam.Camera().ReadCameraByte(&byte);
    }
    cam.frames.Capture();
    cam.frames.CheckSettled();

    sim.ClearFaults();
    tunables.FrameTimeout(kDefaultFrameTimeoutMs);
    if (!cam.frames.Capture()) fuzzrig::Fault("the frame after the faults did not come");
    cam.frames.CheckSettled();
    if (!cam.frames.HoldsLastFrame()) fuzzrig::Fault("the frame after the faults is not the scene");
    return 0;
}
