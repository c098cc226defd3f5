// The camera property set through the filter's property dispatch, on a
// started simulated camera: any set, property id, flags, request and data
// sizes, and contents. Buffers are exactly the sizes the request names, so
// a handler that reads or writes past them is caught by the sanitizer.
// After every request the device must still answer, and nothing may be
// left behind. A value that was set, read back and set again must read back
// the same (clamping settles in one step).
//
// Layout: set choice, id, flags choice, request size, data size, then the
// request's bytes after its header and the data buffer's bytes.
#include <cstring>
#include <vector>

#include "fuzz/camera_rig.h"

namespace {

fuzzrig::StartedCamera& Camera() {
    static fuzzrig::StartedCamera* camera = new fuzzrig::StartedCamera;  // lives for the whole run
    return *camera;
}

NTSTATUS ValueRequest(ULONG id, ULONG flags, LONG* value) {
    CAMPROP_VALUE_S r{};
    r.Property = {PROPSETID_NorvikControl, id, flags};
    r.Value = *value;
    CAMPROP_VALUE_S d = r;
    NTSTATUS s = Camera().Filter().Property(&r, sizeof r, &d, sizeof d);
    *value = d.Value;
    return s;
}

bool ReadWrite(ULONG id) {
    // The sensor register property has the same size but its own record;
    // the register selector reads back the selected register, not itself.
    return id < CAMPROP_COUNT && id != CAMPROP_SENSOR_REGISTER && id != CAMPROP_REGISTER_SELECT &&
           CameraPropertyItems[id].GetPropertyHandler != nullptr &&
           CameraPropertyItems[id].SetPropertyHandler != nullptr &&
           CameraPropertyItems[id].MinData == sizeof(CAMPROP_VALUE_S);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& cam = Camera();
    static const uint64_t blocks = kernel::pool::TotalUsage().blocks;
    fuzzrig::Input in(data, size);

    GUID set = PROPSETID_NorvikControl;
    const uint8_t setChoice = in.Byte();
    if (setChoice % 8 == 6) set = GUID{};
    if (setChoice % 8 == 7) {
        uint8_t bytes[sizeof(GUID)];
        for (auto& b : bytes) b = in.Byte();
        std::memcpy(&set, bytes, sizeof set);
    }
    const uint8_t idByte = in.Byte();
    const ULONG id = (idByte & 0x80) ? in.U32() : idByte % 64;
    // Besides get and set: both, neither, a basic-support query (0x200) and
    // the topology bit (0x10000000), which this filter does not handle.
    static const ULONG kFlags[] = {KSPROPERTY_TYPE_GET,
                                   KSPROPERTY_TYPE_SET,
                                   KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
                                   0,
                                   0x200,
                                   0x10000000};
    const uint8_t flagChoice = in.Byte();
    const ULONG flags = flagChoice < 6 * 40 ? kFlags[flagChoice % 6] : in.U32();
    const ULONG requestSize = in.Byte() % 129;
    const uint8_t dataChoice = in.Byte();
    const ULONG dataSize = dataChoice % 129;
    const bool noData = dataChoice >= 250;

    std::vector<uint8_t> request(requestSize);
    KSPROPERTY header{set, id, flags};
    if (requestSize > 0)
        std::memcpy(request.data(), &header, std::min<size_t>(sizeof header, requestSize));
    for (size_t i = sizeof header; i < requestSize; ++i) request[i] = in.Byte();
    // The data buffer starts as a copy of the request, as clients send it.
    std::vector<uint8_t> buffer(dataSize);
    for (size_t i = 0; i < dataSize; ++i) buffer[i] = i < requestSize ? request[i] : in.Byte();
    std::vector<uint8_t>* dataBuffer = noData ? nullptr : &buffer;

    const NTSTATUS s = cam.Filter().Property(
        request.empty() ? nullptr : request.data(), requestSize,
        dataBuffer != nullptr && !buffer.empty() ? buffer.data() : nullptr, noData ? 0 : dataSize);

    if (NT_SUCCESS(s) && (flags & KSPROPERTY_TYPE_SET) && set == PROPSETID_NorvikControl &&
        ReadWrite(id)) {
        LONG first = 0, second = 0;
        if (!NT_SUCCESS(ValueRequest(id, KSPROPERTY_TYPE_GET, &first)))
            fuzzrig::Fault("a value set cannot be read");
        second = first;
        if (!NT_SUCCESS(ValueRequest(id, KSPROPERTY_TYPE_SET, &second)))
            fuzzrig::Fault("a value read cannot be set");
        second = 0;
        ValueRequest(id, KSPROPERTY_TYPE_GET, &second);
        if (first != second) fuzzrig::Fault("setting a value read back changed it");
    }
    LONG exposure = 0;
    if (!NT_SUCCESS(ValueRequest(CAMPROP_EXPOSURE, KSPROPERTY_TYPE_GET, &exposure)))
        fuzzrig::Fault("the device stopped answering");
    if (kernel::LiveIrps() != 0 || kernel::LiveMdls() != 0)
        fuzzrig::Fault("IRPs or MDLs left behind");
    if (kernel::pool::TotalUsage().blocks != blocks)
        fuzzrig::Fault("the pool's block count changed");
    return 0;
}
