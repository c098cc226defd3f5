// The stand-in's own records behind the public AVStream objects.
#pragma once

#include <atomic>
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

// AVStream's device and filter control mutexes: never taken twice by one
// thread (that thread would wait for itself), and some calls need the
// caller to hold one. The owner is kept so both can be checked.
class OwnedMutex {
  public:
    void Lock(const char* name);
    void Unlock(const char* name);
    bool HeldByCaller() const { return owner_.load() == std::this_thread::get_id(); }

  private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

// The filter control mutexes the calling thread holds.
int& ControlMutexesHeld();

// What the stand-in has made and not yet freed, for the leak check.
struct LiveCounts {
    std::atomic<long> devices{0}, filters{0}, pins{0}, bags{0}, workers{0};
};
LiveCounts& Live();

struct DeviceRecord {
    KSDEVICE device;      // first, so the public pointer is the record's
    OwnedMutex mutex;     // the device mutex
    std::mutex listLock;  // the stand-in's own: the factory list
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
    OwnedMutex control;  // the filter control mutex, shared by its pins
    std::mutex lock;
    std::vector<PinRecord*> pins;
    std::function<void()> betweenFormatAndCreate;  // under lock
};

// The filter control mutex held for the length of a scope, as AVStream
// holds it around the dispatches it documents.
class ControlScope {
  public:
    explicit ControlScope(FilterRecord* f) : f_(f) {
        f_->control.Lock("filter control mutex");
        ++ControlMutexesHeld();
    }
    ~ControlScope() {
        --ControlMutexesHeld();
        f_->control.Unlock("filter control mutex");
    }
    ControlScope(const ControlScope&) = delete;
    ControlScope& operator=(const ControlScope&) = delete;

  private:
    FilterRecord* f_;
};

struct PinRecord {
    KSPIN pin;  // first
    FilterRecord* filter;
    std::vector<uint8_t> format;  // the connection format, owned here
    std::mutex lock;
    std::condition_variable signal;
    kernel::Fifo<PKSSTREAM_HEADER> queue;
    kernel::Fifo<PKSSTREAM_HEADER> completed;
    // The leading edge: handed out or not, locked or not, and whether its
    // frame is still queued (a pointer to an ejected frame is stale).
    KSSTREAM_POINTER pointer{};
    bool pointerValid = false;
    bool pointerLocked = false;
    uint64_t ejected = 0;  // frames handed back: what counts as progress
    bool stop = false;
    bool requested = false;
    bool deferred = false;  // asked for while not running: processed at run
    IKsReferenceClock* clock = nullptr;
    std::function<void(PKSSTREAM_HEADER)> onHandBack;
    std::thread worker;
};

inline DeviceRecord* FromKsDevice(PKSDEVICE device) {
    return reinterpret_cast<DeviceRecord*>(device);
}

}  // namespace ks::internal

namespace ks {
void ReleaseDriverRecord(PDRIVER_OBJECT driver);
}
