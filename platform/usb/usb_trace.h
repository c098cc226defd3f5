// A USB trace in the Linux usbmon format (pcap link type 220), which
// Wireshark and tshark open: one record per submission and one per
// completion.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/usb/usb_types.h"

namespace usb {

enum class TraceTransferType : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

struct SetupPacket {
    uint8_t requestType, request;
    uint16_t value, index, length;
};

class UsbTrace {
  public:
    // Opens (truncates) the file; throws std::runtime_error when it cannot.
    explicit UsbTrace(const std::string& path, uint8_t deviceAddress = 1, uint16_t bus = 1);
    ~UsbTrace();
    UsbTrace(const UsbTrace&) = delete;
    UsbTrace& operator=(const UsbTrace&) = delete;

    // `data` is what travels with the record: OUT data on submission, IN
    // data on completion; at most `captureLimit` bytes of it are kept.
    void Submit(uint64_t id, TraceTransferType type, uint8_t endpoint, const SetupPacket* setup,
                ULONG length, const uint8_t* data, ULONG dataLength);
    void Complete(uint64_t id, TraceTransferType type, uint8_t endpoint, USBD_STATUS status,
                  ULONG length, const uint8_t* data, ULONG dataLength);

    static constexpr ULONG captureLimit = 256;

    // Flushes and closes the file; the first write error, if any, as a
    // message naming the file (empty when every record was written).
    std::string Finish();

  private:
    void Write(uint64_t id, char event, TraceTransferType type, uint8_t endpoint,
               const SetupPacket* setup, int32_t status, ULONG length, const uint8_t* data,
               ULONG dataLength);
    std::mutex lock_;
    FILE* file_;
    std::string path_;
    std::string error_;
    uint8_t device_;
    uint16_t bus_;
};

}  // namespace usb
