// Format negotiation: any bytes as the caller's data range for the
// intersection, as the format a pin is created with, and as the format a
// pin is changed to, on a started simulated camera. A pin that opens is
// taken to acquire (where the format sizes the frame) and closed again; the
// device must then be as it was.
//
// Byte 0 chooses, per input, whether the range, the creation format and the
// later format are the input's bytes as they stand (bit set) or a valid one
// with (offset, value) patches written over it (bit clear): the valid ones
// let the search start deep in the handlers. Byte 1 picks the pin and byte
// 2 the size of the intersection's output buffer. Each part is a 16-bit
// length and that many bytes.
#include <cstring>
#include <vector>

#include "camera/readout_window.h"
#include "fuzz/camera_rig.h"

namespace {

fuzzrig::StartedCamera& Camera() {
    static fuzzrig::StartedCamera* camera = new fuzzrig::StartedCamera;  // lives for the whole run
    return *camera;
}

std::vector<uint8_t> Bytes(const void* p, size_t n) {
    return std::vector<uint8_t>(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
}

const std::vector<uint8_t>& ValidRange() {
    static const std::vector<uint8_t> range = Bytes(&OfferedDataRange, sizeof OfferedDataRange);
    return range;
}

const std::vector<uint8_t>& ValidFormat() {
    static const std::vector<uint8_t> format = [] {
        std::vector<uint8_t> out(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
        std::vector<uint8_t> range = ValidRange();
        ULONG written = 0;
        if (!NT_SUCCESS(Camera().Filter().Intersect(0, range.data(),
                                                    static_cast<ULONG>(range.size()), out.data(),
                                                    static_cast<ULONG>(out.size()), &written)))
            fuzzrig::Fault("the offered range does not intersect");
        out.resize(written);
        return out;
    }();
    return format;
}

// One part of the input: its bytes as they stand, or patches over `valid`.
std::vector<uint8_t> Part(fuzzrig::Input& in, bool raw, const std::vector<uint8_t>& valid) {
    const size_t n = in.Byte() | in.Byte() << 8;
    const size_t take = std::min(n, in.Left());
    std::vector<uint8_t> bytes(in.Here(), in.Here() + take);
    in.Skip(take);
    if (raw) return bytes;
    std::vector<uint8_t> out = valid;
    for (size_t i = 0; i + 2 < bytes.size(); i += 3) {
        const size_t offset = bytes[i] | bytes[i + 1] << 8;
        if (offset < out.size() + 16) {
            if (offset >= out.size()) out.resize(offset + 1, 0);
            out[offset] = bytes[i + 2];
        } else {
            out.resize(offset % (out.size() + 1));  // a far offset cuts the part short instead
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& cam = Camera();
    const std::vector<uint8_t>& validFormat = ValidFormat();
    static const uint64_t blocks = kernel::pool::TotalUsage().blocks;
    fuzzrig::Input in(data, size);
    const uint8_t mode = in.Byte();
    const ULONG pinId = in.Byte() % 3;
    const ULONG outSize = in.Byte() * 2u;
    std::vector<uint8_t> range = Part(in, mode & 1, ValidRange());
    std::vector<uint8_t> format = Part(in, mode & 2, validFormat);
    std::vector<uint8_t> later = Part(in, mode & 4, validFormat);

    std::vector<uint8_t> out(outSize);
    ULONG written = 0xDEADBEEF;
    const NTSTATUS s = cam.Filter().Intersect(
        pinId, range.empty() ? nullptr : range.data(), static_cast<ULONG>(range.size()),
        out.empty() ? nullptr : out.data(), outSize, &written);
    if (NT_SUCCESS(s) && written > outSize)
        fuzzrig::Fault("the intersection wrote more than its buffer");

    NTSTATUS created = STATUS_UNSUCCESSFUL;
    auto pin = cam.Filter().CreatePin(pinId, format.empty() ? nullptr : format.data(),
                                      static_cast<ULONG>(format.size()), &created);
    if (pin) {
        pin->SetFormat(later.empty() ? nullptr : later.data(), static_cast<ULONG>(later.size()));
        if (NT_SUCCESS(pin->SetState(KSSTATE_ACQUIRE))) pin->SetState(KSSTATE_STOP);
        pin.reset();
    } else if (NT_SUCCESS(created)) {
        fuzzrig::Fault("a pin reported created but not there");
    }
    if (kernel::LiveIrps() != 0 || kernel::LiveMdls() != 0)
        fuzzrig::Fault("IRPs or MDLs left behind");
    if (kernel::pool::TotalUsage().blocks != blocks)
        fuzzrig::Fault("the pool's block count changed");
    // The negotiation leaves the device able to open its pin as before.
    NTSTATUS again = STATUS_UNSUCCESSFUL;
    auto check = cam.Filter().CreatePin(0, validFormat.data(),
                                        static_cast<ULONG>(validFormat.size()), &again);
    if (!check) fuzzrig::Fault("the valid format no longer opens the pin");
    return 0;
}
