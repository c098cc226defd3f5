// The camera's descriptors: the simulated camera answers the device and
// configuration descriptor requests with the input's bytes, and the driver
// probes and configures the device on them, then unconfigures it and the
// device is removed. Whatever the bytes, nothing may crash, read past what
// arrived, or be left behind; a configuration the driver accepts names only
// pipes the descriptor has.
//
// Byte 0 chooses how the rest is read:
//   bit 0 clear: the rest is the configuration descriptor as it stands;
//   bit 0 set:   the rest is (offset, value) pairs written over the
//                camera's own configuration descriptor, so the search starts
//                from a descriptor the driver accepts;
//   bit 1 set:   the first 18 bytes of the rest are the device descriptor.
#include <algorithm>
#include <vector>

#include "fuzz/camera_rig.h"
#include "host/camera_stack.h"

namespace {

const std::vector<uint8_t>& StandardConfiguration() {
    static const std::vector<uint8_t> d =
        sim::SimulatedCamera().Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    return d;
}

// Whether the endpoint address appears as an endpoint descriptor of the bytes.
bool HasEndpoint(const std::vector<uint8_t>& d, UCHAR address) {
    for (size_t i = 0; i + 2 < d.size() && d[i] >= 2; i += d[i])
        if (d[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[i] >= 7 && i + 3 <= d.size() &&
            d[i + 2] == address)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzrig::Input in(data, size);
    const uint8_t mode = in.Byte();
    std::vector<uint8_t> device;
    if (mode & 2) {
        device.assign(in.Here(), in.Here() + std::min<size_t>(18, in.Left()));
        in.Skip(18);
    }
    std::vector<uint8_t> configuration;
    if (mode & 1) {
        configuration = StandardConfiguration();
        while (in.Left() >= 2) {
            const uint8_t offset = in.Byte(), value = in.Byte();
            if (offset >= configuration.size()) configuration.resize(offset + 1u, 0);
            configuration[offset] = value;
        }
    } else {
        configuration.assign(in.Here(), in.Here() + in.Left());
    }

    const uint64_t blocksBefore = kernel::pool::TotalUsage().blocks;
    {
        auto camera = std::make_unique<sim::SimulatedCamera>(configuration);
        camera->SetRecording(false);
        if (mode & 2) camera->SetDeviceDescriptor(device);
        host::StackOptions o;
        o.simulated = std::move(camera);
        o.stage = host::Stage::Added;
        std::unique_ptr<host::CameraStack> stack;
        try {
            stack = host::CameraStack::Open(std::move(o));
        } catch (const host::StackError&) {
            fuzzrig::Fault("the device is not added");
        }
        CameraDevice& c = stack->Camera();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        status = c.ProbeDeviceDescriptor();
        if (NT_SUCCESS(status)) status = c.ConfigureDevice();
        if (NT_SUCCESS(status)) {
            if (c.InterfaceInfo == nullptr || c.ConfigurationDescriptor == nullptr)
                fuzzrig::Fault("a configuration accepted without its records");
            for (ULONG i = 0; i < c.InterfaceInfo->NumberOfPipes; ++i)
                if (!HasEndpoint(configuration, c.InterfaceInfo->Pipes[i].EndpointAddress))
                    fuzzrig::Fault("a pipe the descriptor does not have");
            c.DeconfigureDevice();
        } else if (c.InterfaceInfo != nullptr || c.ConfigurationDescriptor != nullptr) {
            fuzzrig::Fault("a refused configuration kept its records");
        }
        stack->RemoveDevice();
        if (stack->Bus().PendingTransfers() != 0) fuzzrig::Fault("transfers left with the bus");
    }
    if (kernel::pool::TotalUsage().blocks != blocksBefore)
        fuzzrig::Fault("pool blocks left behind");
    if (kernel::LiveIrps() != 0 || kernel::LiveMdls() != 0)
        fuzzrig::Fault("IRPs or MDLs left behind");
    return 0;
}
