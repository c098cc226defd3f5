// usbmon records: the 64-byte binary header of the memory-mapped interface,
// then the captured data.
#include "platform/usb/usb_trace.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace usb {
namespace {

#pragma pack(push, 1)
struct PcapFileHeader {
    uint32_t magic = 0xA1B2C3D4;
    uint16_t major = 2, minor = 4;
    int32_t zone = 0;
    uint32_t sigfigs = 0;
    uint32_t snaplen = 0x40000;
    uint32_t network = 220;  // LINKTYPE_USB_LINUX_MMAPPED
};
struct PcapRecordHeader {
    uint32_t seconds, microseconds, captured, original;
};
struct UsbmonHeader {
    uint64_t id;
    uint8_t type;
    uint8_t transferType;
    uint8_t endpoint;
    uint8_t device;
    uint16_t bus;
    char setupFlag;
    char dataFlag;
    int64_t seconds;
    int32_t microseconds;
    int32_t status;
    uint32_t length;
    uint32_t captured;
    uint8_t setup[8];
    int32_t interval;
    int32_t startFrame;
    uint32_t transferFlags;
    uint32_t descriptors;
};
#pragma pack(pop)
static_assert(sizeof(UsbmonHeader) == 64);

// usbmon reports a URB's end as a negative errno.
int32_t Errno(USBD_STATUS s) {
    if (USBD_SUCCESS(s)) return 0;
    if (s == USBD_STATUS_CANCELED) return -ENOENT;
    if (s == USBD_STATUS_STALL_PID || s == USBD_STATUS_ENDPOINT_HALTED) return -EPIPE;
    if (s == USBD_STATUS_DEVICE_GONE) return -ENODEV;
    if (s == USBD_STATUS_DEV_NOT_RESPONDING) return -ETIMEDOUT;
    return -EPROTO;
}

}  // namespace

UsbTrace::UsbTrace(const std::string& path, uint8_t device, uint16_t bus)
    : file_(std::fopen(path.c_str(), "wb")), path_(path), device_(device), bus_(bus) {
    if (file_ == nullptr)
        throw std::runtime_error("cannot write trace " + path + ": " + std::strerror(errno));
    PcapFileHeader h;
    std::fwrite(&h, sizeof h, 1, file_);
    std::fflush(file_);
}

UsbTrace::~UsbTrace() {
    Finish();
}

std::string UsbTrace::Finish() {
    std::lock_guard<std::mutex> g(lock_);
    if (file_ != nullptr) {
        const bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
        const int e = errno;
        if (std::fclose(file_) != 0 && error_.empty()) error_ = std::strerror(errno);
        if (!ok && error_.empty()) error_ = std::strerror(e != 0 ? e : EIO);
        file_ = nullptr;
    }
    return error_.empty() ? "" : "cannot write trace " + path_ + ": " + error_;
}

void UsbTrace::Submit(uint64_t id, TraceTransferType type, uint8_t endpoint,
                      const SetupPacket* setup, ULONG length, const uint8_t* data,
                      ULONG dataLength) {
    Write(id, 'S', type, endpoint, setup, -EINPROGRESS, length, data, dataLength);
}

void UsbTrace::Complete(uint64_t id, TraceTransferType type, uint8_t endpoint, USBD_STATUS status,
                        ULONG length, const uint8_t* data, ULONG dataLength) {
    Write(id, 'C', type, endpoint, nullptr, Errno(status), length, data, dataLength);
}

void UsbTrace::Write(uint64_t id, char event, TraceTransferType type, uint8_t endpoint,
                     const SetupPacket* setup, int32_t status, ULONG length, const uint8_t* data,
                     ULONG dataLength) {
    ULONG captured = dataLength < captureLimit ? dataLength : captureLimit;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    UsbmonHeader h{};
    h.id = id;
    h.type = static_cast<uint8_t>(event);
    h.transferType = static_cast<uint8_t>(type);
    h.endpoint = endpoint;
    h.device = device_;
    h.bus = bus_;
    h.setupFlag = setup != nullptr ? 0 : '-';
    h.dataFlag = captured > 0 ? 0 : ((endpoint & 0x80) && event == 'S' ? '<' : '>');
    h.seconds = us / 1000000;
    h.microseconds = static_cast<int32_t>(us % 1000000);
    h.status = status;
    h.length = length;
    h.captured = captured;
    if (setup != nullptr) {
        h.setup[0] = setup->requestType;
        h.setup[1] = setup->request;
        std::memcpy(&h.setup[2], &setup->value, 2);
        std::memcpy(&h.setup[4], &setup->index, 2);
        std::memcpy(&h.setup[6], &setup->length, 2);
    }
    PcapRecordHeader r{static_cast<uint32_t>(h.seconds), static_cast<uint32_t>(h.microseconds),
                       static_cast<uint32_t>(sizeof h + captured),
                       static_cast<uint32_t>(sizeof h + captured)};
    std::lock_guard<std::mutex> g(lock_);
    if (file_ == nullptr) return;
    // A trace cut short (a full disk) is reported when it is finished.
    bool ok = std::fwrite(&r, sizeof r, 1, file_) == 1 && std::fwrite(&h, sizeof h, 1, file_) == 1;
    if (captured > 0) ok = std::fwrite(data, 1, captured, file_) == captured && ok;
    ok = std::fflush(file_) == 0 && ok;
    if (!ok && error_.empty()) error_ = std::strerror(errno != 0 ? errno : EIO);
}

}  // namespace usb
