// Client requests and the objects they create.
#include "platform/ks/ks_client.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/kernel/bugcheck.h"
#include "platform/kernel/frame_path.h"
#include "platform/kernel/pool.h"
#include "platform/ks/ks_internal.h"

namespace ks {
namespace internal {
void RegisterObject(const void* object, DeviceRecord* device);
void UnregisterObject(const void* object);
void RegisterControl(const void* object, FilterRecord* filter);
void RequestProcessingLocked(PinRecord* r);
bool& InProcessDispatch();
IKsReferenceClock* NewClock();
}  // namespace internal

using namespace internal;

namespace {

constexpr NTSTATUS STATUS_DEVICE_BUSY = MakeStatus(0x80000011);

// A request IRP for a dispatch; FileObject names the filter, as
// KsGetFilterFromIrp expects.
struct RequestIrp {
    PIRP irp;
    explicit RequestIrp(PKSFILTER filter) : irp(IoAllocateIrp(1, FALSE)) {
        if (irp != nullptr) {
            irp->Tail.Overlay.CurrentStackLocation = irp->NkStack;  // the one location is current
            irp->CurrentLocation = 1;
            irp->NkStack[0].FileObject = filter;
        }
    }
    ~RequestIrp() {
        if (irp != nullptr) {
            irp->CurrentLocation = irp->StackCount + 1;
            IoFreeIrp(irp);
        }
    }
};

bool Matches(const KSDATAFORMAT& f, const KSDATARANGE& r) {
    return f.MajorFormat == r.MajorFormat && f.SubFormat == r.SubFormat &&
           f.Specifier == r.Specifier;
}

const KSDATARANGE* MatchingRange(const KSPIN_DESCRIPTOR_EX& d, const KSDATAFORMAT& f) {
    for (ULONG i = 0; i < d.PinDescriptor.DataRangesCount; ++i)
        if (Matches(f, *d.PinDescriptor.DataRanges[i])) return d.PinDescriptor.DataRanges[i];
    return nullptr;
}

// A process dispatch that keeps returning STATUS_SUCCESS without handing a
// frame back would keep the platform's processing loop spinning: after this
// many calls in a row it is reported as the endless loop it is.
constexpr int kEndlessProcessing = 100000;

void Worker(PinRecord* r) {
    // The pin's process dispatch: the conversion and the copy into the
    // client's frame.
    const kernel::FramePathThread onPath("nv-process");
    std::unique_lock<std::mutex> g(r->lock);
    for (;;) {
        r->signal.wait(g, [r] { return r->stop || r->requested; });
        if (r->stop) break;
        r->requested = false;
        const KSPIN_DESCRIPTOR_EX* d = r->pin.Descriptor;
        if (d->Dispatch == nullptr || d->Dispatch->Process == nullptr) continue;
        // STATUS_SUCCESS: processing goes on at once; STATUS_PENDING (or a
        // failure) stops it until the next processing request.
        int idle = 0;
        while (!r->stop) {
            if ((d->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) &&
                r->pin.DeviceState != KSSTATE_RUN) {
                r->deferred = true;
                break;
            }
            const uint64_t before = r->ejected;
            g.unlock();
            InProcessDispatch() = true;
            const NTSTATUS s = d->Dispatch->Process(&r->pin);
            InProcessDispatch() = false;
            g.lock();
            if (s != STATUS_SUCCESS) break;
            idle = r->ejected != before ? 0 : idle + 1;
            if (idle >= kEndlessProcessing)
                kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                                 "the process dispatch keeps returning STATUS_SUCCESS without "
                                 "handing a frame back: "
                                 "the processing loop never ends");
        }
    }
    --Live().workers;
}

}  // namespace

std::unique_ptr<Filter> Filter::Open(HostedDevice& device, const std::u16string& reference,
                                     NTSTATUS* status) {
    auto* dev = reinterpret_cast<DeviceRecord*>(device.Device());
    FactoryRecord* factory = nullptr;
    {
        std::lock_guard<std::mutex> g(dev->listLock);
        for (auto& f : dev->factories)
            if (f->reference == reference) factory = f.get();
    }
    if (factory == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    auto* r = new FilterRecord;
    ++Live().filters;
    std::memset(&r->filter, 0, sizeof r->filter);
    r->filter.Descriptor = factory->descriptor;
    r->filter.Bag =
        CreateObjectBag([r] { return r->control.HeldByCaller(); }, "the filter control mutex");
    r->factory = factory;
    r->device = dev;
    RegisterObject(&r->filter, dev);
    RegisterControl(&r->filter, r);
    NTSTATUS s = STATUS_SUCCESS;
    if (factory->descriptor->Dispatch != nullptr &&
        factory->descriptor->Dispatch->Create != nullptr) {
        // Filters are made under the device mutex, and the new filter's
        // control mutex guards its bag from the start.
        dev->mutex.Lock("device mutex");
        {
            ControlScope control(r);
            RequestIrp req(&r->filter);
            s = req.irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                   : factory->descriptor->Dispatch->Create(&r->filter, req.irp);
        }
        dev->mutex.Unlock("device mutex");
    }
    *status = s;
    if (!NT_SUCCESS(s)) {
        RegisterControl(&r->filter, nullptr);
        UnregisterObject(&r->filter);
        FreeObjectBag(r->filter.Bag);
        delete r;
        --Live().filters;
        return nullptr;
    }
    std::unique_ptr<Filter> f(new Filter);
    f->record_ = r;
    return f;
}

Filter::~Filter() {
    FilterRecord* r = record_;
    // A pin still open goes with its filter.
    while (true) {
        PinRecord* pin = nullptr;
        {
            std::lock_guard<std::mutex> g(r->lock);
            if (!r->pins.empty()) pin = r->pins.back();
        }
        if (pin == nullptr) break;
        Pin p;
        p.record_ = pin;  // its destructor closes it and takes it off the list
    }
    const KSFILTER_DESCRIPTOR* d = r->filter.Descriptor;
    if (d->Dispatch != nullptr && d->Dispatch->Close != nullptr) {
        r->device->mutex.Lock("device mutex");
        {
            ControlScope control(r);
            RequestIrp req(&r->filter);
            d->Dispatch->Close(&r->filter, req.irp);
        }
        r->device->mutex.Unlock("device mutex");
    }
    RegisterControl(&r->filter, nullptr);
    UnregisterObject(&r->filter);
    FreeObjectBag(r->filter.Bag);
    delete r;
    --Live().filters;
}

PKSFILTER Filter::Raw() {
    return &record_->filter;
}

constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = MakeStatus(0xC0000206);

NTSTATUS Filter::Property(void* property, ULONG propertySize, void* data, ULONG dataSize,
                          ULONG* bytesReturned) {
    ULONG ignored = 0;
    ULONG& returned = bytesReturned != nullptr ? *bytesReturned : ignored;
    returned = 0;
    if (property == nullptr || propertySize < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
    auto* p = static_cast<KSPROPERTY*>(property);
    // A request is a get or a set, never both.
    if ((p->Flags & KSPROPERTY_TYPE_GET) && (p->Flags & KSPROPERTY_TYPE_SET))
        return STATUS_INVALID_PARAMETER;
    const KSAUTOMATION_TABLE* table = record_->filter.Descriptor->AutomationTable;
    const KSPROPERTY_ITEM* item = nullptr;
    for (ULONG i = 0; table != nullptr && i < table->PropertySetsCount && item == nullptr; ++i) {
        const KSPROPERTY_SET& set = table->PropertySets[i];
        if (!(*set.Set == p->Set)) continue;
        for (ULONG k = 0; k < set.PropertiesCount; ++k)
            if (set.PropertyItem[k].PropertyId == p->Id) item = &set.PropertyItem[k];
    }
    if (item == nullptr) return STATUS_NOT_FOUND;
    PFNKSHANDLER handler = nullptr;
    if (p->Flags & KSPROPERTY_TYPE_SET)
        handler = item->SetPropertyHandler;
    else if (p->Flags & KSPROPERTY_TYPE_GET)
        handler = item->GetPropertyHandler;
    else
        return STATUS_INVALID_PARAMETER;
    // Refused before any handler runs: a request the item does not admit,
    // or buffers shorter than its minimums. An empty data buffer is a size
    // query: it is answered with the size the item needs.
    if (handler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (propertySize < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
    if (item->MinData > 0 && dataSize == 0) {
        returned = item->MinData;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (dataSize < item->MinData || (item->MinData > 0 && data == nullptr)) {
        returned = item->MinData;
        return STATUS_BUFFER_TOO_SMALL;
    }
    RequestIrp req(&record_->filter);
    if (req.irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // The handler works on copies, as on the platform (the request's
    // buffers are captured), each followed by a guard pattern: a handler
    // that writes past either buffer is caught here.
    constexpr size_t kGuard = 32;
    constexpr uint8_t kGuardByte = 0xFD;
    std::vector<uint8_t> request(propertySize + kGuard, kGuardByte),
        buffer(dataSize + kGuard, kGuardByte);
    std::memcpy(request.data(), property, propertySize);
    if (dataSize > 0) std::memcpy(buffer.data(), data, dataSize);
    // A get returns the item's size unless its handler says otherwise.
    req.irp->IoStatus.Information = (p->Flags & KSPROPERTY_TYPE_GET) ? item->MinData : 0;
    const NTSTATUS s = handler(req.irp, reinterpret_cast<KSPROPERTY*>(request.data()),
                               dataSize > 0 ? buffer.data() : nullptr);
    for (size_t i = 0; i < kGuard; ++i)
        if (request[propertySize + i] != kGuardByte || buffer[dataSize + i] != kGuardByte)
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "a property handler wrote past the end of its request or data buffer");
    if (dataSize > 0) std::memcpy(data, buffer.data(), dataSize);
    if (NT_SUCCESS(s))
        returned = static_cast<ULONG>(std::min<ULONG_PTR>(req.irp->IoStatus.Information, dataSize));
    return s;
}

NTSTATUS Filter::Intersect(ULONG pinId, const void* range, ULONG rangeSize, void* out,
                           ULONG outSize, ULONG* written) {
    const KSFILTER_DESCRIPTOR* d = record_->filter.Descriptor;
    *written = 0;
    if (pinId >= d->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR_EX& pd = d->PinDescriptors[pinId];
    if (rangeSize < sizeof(KSDATARANGE) || range == nullptr) return STATUS_INVALID_PARAMETER;
    // The caller's range as the request carries it: a copy of the bytes the
    // caller sent, with FormatSize no larger than those bytes.
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(range),
                              static_cast<const uint8_t*>(range) + rangeSize);
    auto* callerRange = reinterpret_cast<PKSDATARANGE>(copy.data());
    if (callerRange->FormatSize > rangeSize) return STATUS_INVALID_PARAMETER;
    KSP_PIN request{};
    request.PinId = pinId;
    RequestIrp req(&record_->filter);
    NTSTATUS last = STATUS_NO_MATCH;
    for (ULONG i = 0; i < pd.PinDescriptor.DataRangesCount; ++i) {
        PKSDATARANGE mine = pd.PinDescriptor.DataRanges[i];
        if (!Matches(*callerRange, *mine) || pd.IntersectHandler == nullptr) continue;
        ULONG size = 0;
        NTSTATUS s = pd.IntersectHandler(&record_->filter, req.irp, &request, callerRange, mine,
                                         outSize, out, &size);
        *written = size;
        if (s != STATUS_NO_MATCH) return s;
        last = s;
    }
    return last;
}

void Filter::BetweenFormatAndCreate(std::function<void()> step) {
    std::lock_guard<std::mutex> g(record_->lock);
    record_->betweenFormatAndCreate = std::move(step);
}

std::unique_ptr<Pin> Filter::CreatePin(ULONG pinId, const void* format, ULONG formatSize,
                                       NTSTATUS* status) {
    FilterRecord* f = record_;
    const KSFILTER_DESCRIPTOR* d = f->filter.Descriptor;
    if (pinId >= d->PinDescriptorsCount || format == nullptr || formatSize < sizeof(KSDATAFORMAT)) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    const KSPIN_DESCRIPTOR_EX& pd = d->PinDescriptors[pinId];
    const auto* fmt = static_cast<const KSDATAFORMAT*>(format);
    if (fmt->FormatSize < sizeof(KSDATAFORMAT) || fmt->FormatSize > formatSize) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    const KSDATARANGE* range = MatchingRange(pd, *fmt);
    if (range == nullptr) {
        *status = STATUS_NO_MATCH;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> g(f->lock);
        ULONG instances = 0;
        for (PinRecord* p : f->pins) instances += p->pin.Id == pinId;
        if (instances >= pd.InstancesPossible) {
            *status = STATUS_DEVICE_BUSY;
            return nullptr;
        }
    }
    auto* r = new PinRecord;
    ++Live().pins;
    std::memset(&r->pin, 0, sizeof r->pin);
    r->filter = f;
    r->format.assign(static_cast<const uint8_t*>(format),
                     static_cast<const uint8_t*>(format) + fmt->FormatSize);
    r->pin.Descriptor = &pd;
    r->pin.Bag =
        CreateObjectBag([f] { return f->control.HeldByCaller(); }, "the filter control mutex");
    r->pin.Id = pinId;
    r->pin.Communication = pd.PinDescriptor.Communication;
    r->pin.DataFlow = pd.PinDescriptor.DataFlow;
    r->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(r->format.data());
    r->pin.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
    r->pin.DeviceState = r->pin.ClientState = KSSTATE_STOP;
    RegisterObject(&r->pin, f->device);
    RegisterControl(&r->pin, f);
    NTSTATUS s = STATUS_SUCCESS;
    {
        // Under the filter control mutex: the initial format first, with no
        // old one; then Create.
        ControlScope control(f);
        if (pd.Dispatch != nullptr && pd.Dispatch->SetDataFormat != nullptr)
            s = pd.Dispatch->SetDataFormat(&r->pin, nullptr, nullptr, range, nullptr);
        std::function<void()> step;
        {
            std::lock_guard<std::mutex> g(f->lock);
            step = std::exchange(f->betweenFormatAndCreate, nullptr);
        }
        if (NT_SUCCESS(s) && step) step();
        if (NT_SUCCESS(s) && pd.Dispatch != nullptr && pd.Dispatch->Create != nullptr) {
            RequestIrp req(&f->filter);
            s = req.irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                   : pd.Dispatch->Create(&r->pin, req.irp);
        }
    }
    *status = s;
    if (!NT_SUCCESS(s)) {
        RegisterControl(&r->pin, nullptr);
        UnregisterObject(&r->pin);
        FreeObjectBag(r->pin.Bag);
        delete r;
        --Live().pins;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> g(f->lock);
        f->pins.push_back(r);
    }
    ++Live().workers;
    r->worker = std::thread(Worker, r);
    std::unique_ptr<Pin> pin(new Pin);
    pin->record_ = r;
    return pin;
}

Pin::~Pin() {
    PinRecord* r = record_;
    if (r == nullptr) return;
    SetState(KSSTATE_STOP);
    const KSPIN_DESCRIPTOR_EX* d = r->pin.Descriptor;
    if (d->Dispatch != nullptr && d->Dispatch->Close != nullptr) {
        ControlScope control(r->filter);
        RequestIrp req(&r->filter->filter);
        d->Dispatch->Close(&r->pin, req.irp);
    }
    {
        std::lock_guard<std::mutex> g(r->lock);
        r->stop = true;
        // Frames still queued are dropped with the pin, untouched: their
        // client may already have let them go.
        r->queue.clear();
    }
    r->signal.notify_all();
    r->worker.join();
    {
        std::lock_guard<std::mutex> g(r->filter->lock);
        std::erase(r->filter->pins, r);
    }
    if (r->clock != nullptr) r->clock->Release();
    RegisterControl(&r->pin, nullptr);
    UnregisterObject(&r->pin);
    FreeObjectBag(r->pin.Bag);
    delete r;
    --Live().pins;
}

PKSPIN Pin::Raw() {
    return &record_->pin;
}

NTSTATUS Pin::SetState(KSSTATE target) {
    PinRecord* r = record_;
    const KSPIN_DESCRIPTOR_EX* d = r->pin.Descriptor;
    while (r->pin.DeviceState != target) {
        KSSTATE from = r->pin.DeviceState;
        auto to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
        NTSTATUS s = STATUS_SUCCESS;
        if (d->Dispatch != nullptr && d->Dispatch->SetDeviceState != nullptr) {
            ControlScope control(r->filter);
            s = d->Dispatch->SetDeviceState(&r->pin, to, from);
        }
        if (!NT_SUCCESS(s)) return s;
        std::lock_guard<std::mutex> g(r->lock);
        r->pin.DeviceState = r->pin.ClientState = to;
        if (to == KSSTATE_RUN && r->deferred) {
            r->deferred = false;
            r->requested = true;
            r->signal.notify_all();
        }
        if (to == KSSTATE_STOP) {
            // A stopped pin gives back every frame still queued, unfilled.
            if (r->pointerLocked)
                kernel::BugCheck(
                    kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "the pin stopped with its leading-edge stream pointer still locked");
            r->pointerValid = false;
            while (!r->queue.empty()) {
                PKSSTREAM_HEADER h = r->queue.front();
                r->queue.pop_front();
                h->DataUsed = 0;
                r->completed.push_back(h);
            }
            r->deferred = false;
            r->signal.notify_all();
        }
    }
    return STATUS_SUCCESS;
}

KSSTATE Pin::State() {
    std::lock_guard<std::mutex> g(record_->lock);
    return record_->pin.DeviceState;
}

NTSTATUS Pin::SetFormat(const void* format, ULONG formatSize) {
    PinRecord* r = record_;
    const auto* fmt = static_cast<const KSDATAFORMAT*>(format);
    if (format == nullptr || formatSize < sizeof(KSDATAFORMAT) ||
        fmt->FormatSize < sizeof(KSDATAFORMAT) || fmt->FormatSize > formatSize)
        return STATUS_INVALID_PARAMETER;
    const KSDATARANGE* range = MatchingRange(*r->pin.Descriptor, *fmt);
    if (range == nullptr) return STATUS_NO_MATCH;
    std::vector<uint8_t> old = r->format;
    r->format.assign(static_cast<const uint8_t*>(format),
                     static_cast<const uint8_t*>(format) + fmt->FormatSize);
    r->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(r->format.data());
    NTSTATUS s = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = r->pin.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
        ControlScope control(r->filter);
        s = dispatch->SetDataFormat(&r->pin, reinterpret_cast<PKSDATAFORMAT>(old.data()), nullptr,
                                    range, nullptr);
    }
    if (!NT_SUCCESS(s)) {
        r->format = old;  // a refused format leaves the old one in place
        r->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(r->format.data());
    }
    return s;
}

void Pin::UseClock(bool on) {
    std::lock_guard<std::mutex> g(record_->lock);
    if (on && record_->clock == nullptr) record_->clock = NewClock();
    if (!on && record_->clock != nullptr) {
        record_->clock->Release();
        record_->clock = nullptr;
    }
}

void Pin::Submit(KSSTREAM_HEADER* header) {
    PinRecord* r = record_;
    std::lock_guard<std::mutex> g(r->lock);
    const bool wasEmpty = r->queue.empty();
    r->queue.push_back(header);
    // A frame arriving in an empty queue starts processing, unless the pin
    // asked not to be started by frames.
    if (wasEmpty && !(r->pin.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING))
        RequestProcessingLocked(r);
}

void Pin::OnHandBack(std::function<void(KSSTREAM_HEADER*)> observer) {
    std::lock_guard<std::mutex> g(record_->lock);
    record_->onHandBack = std::move(observer);
}

KSSTREAM_HEADER* Pin::WaitCompleted(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(record_->lock);
    if (!record_->signal.wait_for(g, timeout, [this] { return !record_->completed.empty(); }))
        return nullptr;
    KSSTREAM_HEADER* h = record_->completed.front();
    record_->completed.pop_front();
    return h;
}

size_t Pin::Queued() {
    std::lock_guard<std::mutex> g(record_->lock);
    return record_->queue.size();
}

void Pin::Poke() {
    KsPinAttemptProcessing(&record_->pin, TRUE);
}

}  // namespace ks
