// The client side of the streaming stand-in: what an application calls to
// open a filter through its factory, send property requests, intersect and
// create a pin with a format, walk its states, hand it frames and wait for
// the completed ones.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/ks/device_host.h"
#include "platform/ks/ks_stream.h"

namespace ks {

namespace internal {
struct FilterRecord;
struct PinRecord;
}  // namespace internal

class Pin;

class Filter {
  public:
    // Opens a filter of the device's factory with this reference string.
    static std::unique_ptr<Filter> Open(HostedDevice& device, const std::u16string& reference,
                                        NTSTATUS* status);
    ~Filter();  // the Close dispatch, then the filter's bag
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    PKSFILTER Raw();
    // IOCTL_KS_PROPERTY: checked against the automation table's item before
    // any handler runs. `returned` gets the bytes a get wrote.
    // A property request through the filter's automation table. An empty
    // data buffer asks for the size (STATUS_BUFFER_OVERFLOW and the size in
    // *bytesReturned); on success *bytesReturned is what the handler filled.
    NTSTATUS Property(void* property, ULONG propertySize, void* data, ULONG dataSize,
                      ULONG* bytesReturned = nullptr);
    // The data-intersection request of a pin: outSize 0 asks for the size.
    NTSTATUS Intersect(ULONG pinId, const void* range, ULONG rangeSize, void* out, ULONG outSize,
                       ULONG* written);
    std::unique_ptr<Pin> CreatePin(ULONG pinId, const void* format, ULONG formatSize,
                                   NTSTATUS* status);
    // Runs `step` once, in the next pin creation, after the pin's initial
    // format was accepted and before its Create dispatch: where a property
    // request of another thread can fall, since property requests do not
    // take the filter control mutex.
    void BetweenFormatAndCreate(std::function<void()> step);

  private:
    Filter() = default;
    internal::FilterRecord* record_ = nullptr;
};

class Pin {
  public:
    ~Pin();  // back to stop, the Close dispatch, then the pin's bag
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    PKSPIN Raw();
    // Walks one state at a time towards the target; stops at a failed step.
    NTSTATUS SetState(KSSTATE target);
    KSSTATE State();
    NTSTATUS SetFormat(const void* format, ULONG formatSize);
    // Gives the pin a reference clock (before it leaves the stop state).
    void UseClock(bool on);
    void Submit(KSSTREAM_HEADER* header);
    // Called on the processing thread for every frame the pin hands back,
    // inside the process call that filled it and before WaitCompleted can
    // return it. Set it before the pin runs.
    void OnHandBack(std::function<void(KSSTREAM_HEADER*)> observer);
    // The oldest frame handed back, or null when none came in time.
    KSSTREAM_HEADER* WaitCompleted(std::chrono::milliseconds timeout);
    size_t Queued();
    // Requests processing as a client-side trigger never would: for tests of
    // the pin's own rules.
    void Poke();

  private:
    friend class Filter;
    Pin() = default;
    internal::PinRecord* record_ = nullptr;
};

}  // namespace ks
