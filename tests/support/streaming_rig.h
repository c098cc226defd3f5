// A started camera and a client of it: the filter opened through its
// factory, a format from the intersection, pins and client frames.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "camera/readout_window.h"
#include "control/camera_properties.h"
#include "imaging/image_processor.h"
#include "platform/ks/ks_client.h"
#include "tests/support/camera_rig.h"
#include "tests/support/pixel_oracle.h"

// One client frame: a stream header of the size the client chooses, and its
// data buffer.
struct ClientFrame {
    explicit ClientFrame(ULONG extent,
                         ULONG headerSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO))
        : header(headerSize, 0xEE), data(extent, 0x5A) {
        auto* h = Header();
        std::memset(h, 0, sizeof(KSSTREAM_HEADER));
        h->Size = headerSize;
        h->FrameExtent = extent;
        h->Data = data.data();
    }
    KSSTREAM_HEADER* Header() { return reinterpret_cast<KSSTREAM_HEADER*>(header.data()); }
    KS_FRAME_INFO* Info() {
        return reinterpret_cast<KS_FRAME_INFO*>(header.data() + sizeof(KSSTREAM_HEADER));
    }
    std::vector<uint8_t> header;
    std::vector<uint8_t> data;
};

class StreamingRig {
  public:
    StreamingRig() {
        EXPECT_EQ(rig.Device().Start(), STATUS_SUCCESS);
        NTSTATUS s;
        filter = ks::Filter::Open(rig.Device(), u"GLOBAL", &s);
        EXPECT_EQ(s, STATUS_SUCCESS);
    }
    ~StreamingRig() {
        filter.reset();
        rig.Unplug();
    }

    CameraDevice& Camera() { return rig.Camera(); }
    sim::SimulatedCamera& Sim() { return rig.Sim(); }

    // The format the intersection builds from the range as offered now.
    std::vector<uint8_t> Format() {
        KS_DATARANGE_VIDEO range = OfferedDataRange;
        std::vector<uint8_t> out(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
        ULONG written = 0;
        EXPECT_EQ(filter->Intersect(0, &range, sizeof range, out.data(),
                                    static_cast<ULONG>(out.size()), &written),
                  STATUS_SUCCESS);
        out.resize(written);
        return out;
    }

    std::unique_ptr<ks::Pin> OpenPin(const std::vector<uint8_t>& format,
                                     NTSTATUS* status = nullptr) {
        NTSTATUS s;
        auto pin = filter->CreatePin(0, format.data(), static_cast<ULONG>(format.size()), &s);
        if (status != nullptr) *status = s;
        return pin;
    }

    std::unique_ptr<ks::Pin> RunningPin(bool clock = true) {
        auto pin = OpenPin(Format());
        if (!pin) return pin;
        pin->UseClock(clock);
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        return pin;
    }

    LONG GetValue(ULONG id, NTSTATUS* status = nullptr) {
        CAMPROP_VALUE_S r{};
        r.Property = {PROPSETID_NorvikControl, id, KSPROPERTY_TYPE_GET};
        CAMPROP_VALUE_S data = r;
        NTSTATUS s = filter->Property(&r, sizeof r, &data, sizeof data);
        if (status != nullptr) *status = s;
        return data.Value;
    }
    NTSTATUS SetValue(ULONG id, LONG value) {
        CAMPROP_VALUE_S r{};
        r.Property = {PROPSETID_NorvikControl, id, KSPROPERTY_TYPE_SET};
        r.Value = value;
        CAMPROP_VALUE_S data = r;
        return filter->Property(&r, sizeof r, &data, sizeof data);
    }

    CameraRig rig;
    std::unique_ptr<ks::Filter> filter;
};

// The BGRA image a raw image must give at the device's settings, top row
// first, from the independent pixel oracle (not from the driver's own
// conversion, whose mistakes it would share).
inline std::vector<UCHAR> ReferenceImage(const std::vector<uint8_t>& raw, ULONG width = 2560,
                                         ULONG height = 1920, ULONG x = 0, ULONG y = 0) {
    std::vector<uint8_t> window(static_cast<size_t>(width) * height);
    for (ULONG r = 0; r < height; ++r)
        std::memcpy(&window[static_cast<size_t>(r) * width],
                    &raw[static_cast<size_t>(y + r) * 2560 + x], width);
    return oracle::Convert(window, static_cast<int>(width), static_cast<int>(height),
                           static_cast<int>(width), oracle::Settings{})
        .bgra;
}
