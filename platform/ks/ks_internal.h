// The stand-in's own records behind the public AVStream objects.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/fifo.h"
#include "platform/ks/ks_stream.h"

namespace ks::internal {

struct FactoryRecord;

struct DeviceRecord {
    KSDEVICE device;  // first, so the public pointer is the record's
    std::recursive_mutex mutex;
    std::vector<std::unique_ptr<FactoryRecord>> factories;
};

struct FactoryRecord {
    const KSFILTER_DESCRIPTOR* descriptor;
    std::u16string reference;
    ULONG flags;
    DeviceRecord* device;
    PVOID createItem;  // the factory's own pool block: what KsCreateFilterFactory hands out
};

struct PinRecord;

struct FilterRecord {
    KSFILTER filter;  // first
    FactoryRecord* factory;
    DeviceRecord* device;
    std::mutex lock;
    std::vector<PinRecord*> pins;
};

struct PinRecord {
    KSPIN pin;  // first
    FilterRecord* filter;
    std::vector<uint8_t> format;  // the connection format, owned here
    std::mutex lock;
    std::condition_variable signal;
    kernel::Fifo<PKSSTREAM_HEADER> queue;
    kernel::Fifo<PKSSTREAM_HEADER> completed;
    KSSTREAM_POINTER pointer{};
    bool stop = false;
    bool requested = false;
    IKsReferenceClock* clock = nullptr;
    std::function<void(PKSSTREAM_HEADER)> onHandBack;
    std::thread worker;
};

inline DeviceRecord* FromKsDevice(PKSDEVICE device) { return reinterpret_cast<DeviceRecord*>(device); }

}  // namespace ks::internal

namespace ks {
void ReleaseDriverRecord(PDRIVER_OBJECT driver);
}
