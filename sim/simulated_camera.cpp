// The simulated camera's firmware model.
#include "sim/simulated_camera.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "platform/kernel/frame_path.h"
#include "platform/kernel/sync.h"
#include "sim/test_scene.h"

namespace sim {
namespace {

constexpr uint8_t kBulk = 2, kIsochronous = 1;
constexpr ULONG kRawPitch = 2560, kRawLines = 2080, kRawFrameBytes = kRawPitch * kRawLines;

// Byte by byte: GCC 12 at -O3 reports a bounds warning, wrongly, for a
// vector insert of a short list, and warnings stop the build.
void Append(std::vector<uint8_t>& d, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) d.push_back(b);
}

void Endpoint(std::vector<uint8_t>& d, uint8_t address, uint8_t type, uint16_t packet) {
    Append(d, {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, static_cast<uint8_t>(packet & 0xFF),
               static_cast<uint8_t>(packet >> 8), 0});
}

void Interface(std::vector<uint8_t>& d, uint8_t number, uint8_t endpoints) {
    Append(d, {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, 0xFF, 0, 0, 0});
}

}  // namespace

std::vector<uint8_t> ConfigurationDescriptor(Layout layout) {
    std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250};
    const uint8_t type = layout == Layout::WrongEndpointTypes ? kIsochronous : kBulk;
    const uint16_t packet = layout == Layout::SmallPackets ? 8 : 512;
    if (layout == Layout::NoEndpoints) {
        Interface(d, 0, 0);
    } else {
        Interface(d, 0, 3);
        Endpoint(d, 0x01, type, packet);
        Endpoint(d, 0x82, type, packet);
        Endpoint(d, 0x86, type, packet);
    }
    if (layout == Layout::SeveralInterfaces) {
        d[4] = 2;
        Interface(d, 1, 1);
        Endpoint(d, 0x03, kBulk, 512);
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

SimulatedCamera::SimulatedCamera(Layout layout) : configuration_(ConfigurationDescriptor(layout)) {
    Init();
}

SimulatedCamera::SimulatedCamera(std::vector<uint8_t> configuration)
    : configuration_(std::move(configuration)) {
    Init();
}

void SimulatedCamera::Init() {
    device_ = {18,
               USB_DEVICE_DESCRIPTOR_TYPE,
               0x00,
               0x02,
               0xFF,
               0,
               0,
               64,
               static_cast<uint8_t>(kVendorId & 0xFF),
               static_cast<uint8_t>(kVendorId >> 8),
               static_cast<uint8_t>(kProductId & 0xFF),
               static_cast<uint8_t>(kProductId >> 8),
               0x00,
               0x01,
               1,
               2,
               0,
               1};
    // The firmware's pipes are the first interface's first three endpoints,
    // in order; a malformed descriptor simply leaves them unknown.
    std::vector<uint8_t> eps;
    bool inFirst = false;
    for (size_t i = 0; i + 2 <= configuration_.size() && configuration_[i] >= 2;) {
        uint8_t len = configuration_[i], type = configuration_[i + 1];
        if (i + len > configuration_.size()) break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (inFirst) break;
            inFirst = true;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && inFirst && len >= 7) {
            eps.push_back(configuration_[i + 2]);
        }
        i += len;
    }
    if (eps.size() > 0) commandEp_ = eps[0];
    if (eps.size() > 1) replyEp_ = eps[1];
    if (eps.size() > 2) frameEp_ = eps[2];
    kernel::SetDelayObserver([this](LONGLONG interval) {
        std::lock_guard<std::mutex> g(lock_);
        if (recordPauses_ && recording_)
            record_.push_back({Exchange::Kind::Pause, 0, {}, 0, 0, 0, interval});
    });
    deliverer_ = std::thread([this] { Deliverer(); });
}

SimulatedCamera::~SimulatedCamera() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    controlWake_.notify_all();
    deliverer_.join();
    kernel::SetDelayObserver(nullptr);
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& [ep, queue] : pending_)
            for (auto& t : queue) done.push_back({t, USBD_STATUS_DEVICE_GONE, 0});
        pending_.clear();
    }
    Finish(done);
}

std::vector<uint8_t> SimulatedCamera::Descriptor(uint8_t type) const {
    std::lock_guard<std::mutex> g(lock_);
    return type == USB_DEVICE_DESCRIPTOR_TYPE ? device_ : configuration_;
}

void SimulatedCamera::SetDeviceDescriptor(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> g(lock_);
    device_ = std::move(bytes);
}

void SimulatedCamera::Log(Exchange e) {
    if (recording_) record_.push_back(std::move(e));
}

void SimulatedCamera::SetRecording(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    recording_ = on;
}

std::vector<SimulatedCamera::Done>& SimulatedCamera::DoneList::Spare() {
    thread_local std::vector<Done> spare;
    return spare;
}

// Borrowed, not shared: a call made while another holds the vector starts
// an empty one of its own.
SimulatedCamera::DoneList::DoneList() {
    items.swap(Spare());
}

SimulatedCamera::DoneList::~DoneList() {
    items.clear();
    if (Spare().capacity() < items.capacity()) Spare().swap(items);
}

void SimulatedCamera::Finish(std::vector<Done>& done) {
    for (auto& d : done) d.transfer->Complete(d.status, d.actual);
    done.clear();
}

std::optional<uint32_t> SimulatedCamera::SensorRegister(uint32_t index) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = sensor_.find(index);
    if (it == sensor_.end()) return std::nullopt;
    return it->second;
}

std::map<uint32_t, uint32_t> SimulatedCamera::SensorRegisters() const {
    std::lock_guard<std::mutex> g(lock_);
    return sensor_;
}

std::optional<uint8_t> SimulatedCamera::ControllerRegister(uint8_t index) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = controller_.find(index);
    if (it == controller_.end()) return std::nullopt;
    return it->second;
}

void SimulatedCamera::SetMemory(uint16_t address, uint8_t value) {
    std::lock_guard<std::mutex> g(lock_);
    memory_[address] = value;
}

uint8_t SimulatedCamera::Configuration() const {
    std::lock_guard<std::mutex> g(lock_);
    return configured_;
}

int SimulatedCamera::PortResets() const {
    std::lock_guard<std::mutex> g(lock_);
    return portResets_;
}

std::vector<Exchange> SimulatedCamera::Record() const {
    std::lock_guard<std::mutex> g(lock_);
    return record_;
}

std::vector<std::vector<uint8_t>> SimulatedCamera::CommandBlocks() const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::vector<uint8_t>> blocks;
    for (const auto& e : record_)
        if (e.kind == Exchange::Kind::Out && e.endpoint == commandEp_) blocks.push_back(e.data);
    return blocks;
}

void SimulatedCamera::ClearRecord() {
    std::lock_guard<std::mutex> g(lock_);
    record_.clear();
}

void SimulatedCamera::RecordPauses(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    recordPauses_ = on;
}

void SimulatedCamera::HangCommands(int n) {
    std::lock_guard<std::mutex> g(lock_);
    hangCommands_ = n;
}

void SimulatedCamera::FailTransfers(uint8_t endpoint, int n, USBD_STATUS status) {
    std::lock_guard<std::mutex> g(lock_);
    faults_[endpoint].count = n;
    faults_[endpoint].status = status;
}

void SimulatedCamera::ShortTransfers(uint8_t endpoint, int n, ULONG bytes) {
    std::lock_guard<std::mutex> g(lock_);
    faults_[endpoint].shortCount = n;
    faults_[endpoint].shortBytes = bytes;
}

void SimulatedCamera::SetPort(bool connected, bool enabled) {
    std::lock_guard<std::mutex> g(lock_);
    connected_ = connected;
    enabled_ = enabled;
}

void SimulatedCamera::SurpriseRemove() {
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> g(lock_);
        RemoveLocked(done);
    }
    Finish(done);
}

size_t SimulatedCamera::PendingOn(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = pending_.find(endpoint);
    return it == pending_.end() ? 0 : it->second.size();
}

USBD_STATUS SimulatedCamera::ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                             uint16_t index, uint8_t* data, uint16_t length,
                                             ULONG* transferred) {
    std::lock_guard<std::mutex> g(lock_);
    *transferred = 0;
    Exchange e{
        Exchange::Kind::Control,
        0,
        {requestType, request, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8),
         static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8),
         static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>(length >> 8)}};
    e.requested = length;
    USBD_STATUS status = USBD_STATUS_STALL_PID;
    Fault& f = faults_[0];
    if (removed_) {
        status = USBD_STATUS_DEVICE_GONE;
    } else if (f.count > 0) {
        --f.count;
        status = f.status;
    } else if (requestType == 0x80 && request == 0x06) {
        const std::vector<uint8_t>* d = nullptr;
        if ((value >> 8) == USB_DEVICE_DESCRIPTOR_TYPE) d = &device_;
        if ((value >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE && (value & 0xFF) == 0)
            d = &configuration_;
        if (d != nullptr) {
            ULONG n = std::min<ULONG>(length, static_cast<ULONG>(d->size()));
            if (f.shortCount > 0) {
                --f.shortCount;
                n = std::min(n, f.shortBytes);
            }
            if (n > 0) std::memcpy(data, d->data(), n);
            *transferred = n;
            status = USBD_STATUS_SUCCESS;
        }
    }
    e.status = status;
    e.actual = *transferred;
    Log(std::move(e));
    return status;
}

USBD_STATUS SimulatedCamera::SetConfiguration(uint8_t value) {
    std::lock_guard<std::mutex> g(lock_);
    USBD_STATUS status = removed_ ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_SUCCESS;
    Exchange e{Exchange::Kind::SetConfiguration, 0, {value}, status};
    Log(std::move(e));
    if (USBD_SUCCESS(status)) configured_ = value;
    return status;
}

void SimulatedCamera::Submit(std::shared_ptr<usb::Transfer> t) {
    DoneList list;
    std::vector<Done>& done = list.items;
    {
        std::lock_guard<std::mutex> g(lock_);
        const bool in = (t->endpoint & 0x80) != 0;
        Exchange e{in ? Exchange::Kind::In : Exchange::Kind::Out, t->endpoint};
        e.requested = t->length;
        Fault& f = faults_[t->endpoint];
        if (removed_ || t->cancelRequested) {
            e.status = removed_ ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED;
            done.push_back({t, e.status, 0});
        } else if (halted_[t->endpoint]) {
            e.status = USBD_STATUS_STALL_PID;
            done.push_back({t, e.status, 0});
        } else if (f.count > 0 && t->endpoint != frameEp_) {
            --f.count;
            e.status = f.status;
            if (!in && recording_) e.data.assign(t->buffer, t->buffer + t->length);
            done.push_back({t, f.status, 0});
        } else if (!in) {
            if (recording_) e.data.assign(t->buffer, t->buffer + t->length);
            ULONG actual = t->length;
            if (f.shortCount > 0) {
                --f.shortCount;
                actual = std::min(actual, f.shortBytes);
            }
            e.actual = actual;
            if (t->endpoint == commandEp_ && hangCommands_ > 0) {
                --hangCommands_;
                pending_[t->endpoint].push_back(t);
            } else {
                if (t->endpoint == commandEp_ && t->length >= 64 && actual >= 64)
                    Interpret(t->buffer, done);
                done.insert(done.begin(), {t, USBD_STATUS_SUCCESS, actual});
            }
        } else {
            pending_[t->endpoint].push_back(t);
            e.status = STATUS_PENDING;
            if (t->endpoint == frameEp_) wake_.notify_all();
        }
        Log(std::move(e));
        ServeReplies(done);
    }
    Finish(done);
}

// Command blocks: byte 0 is the code; unused bytes are 0.
void SimulatedCamera::Interpret(const uint8_t* b, std::vector<Done>&) {
    switch (b[0]) {
        case 0x04:  // sensor register write
            if (b[1] == 0x20)
                sensor_[b[3]] = b[5];
            else if (b[1] == 0x30)
                sensor_[static_cast<uint32_t>(b[3] | b[4] << 8)] =
                    static_cast<uint32_t>(b[5] | b[6] << 8 | b[7] << 16);
            break;
        case 0x25:  // controller register write
            controller_[b[1]] = b[2];
            break;
        case 0x41: {  // byte read: two reply blocks, the byte in the second
            if (!replyOverride_.empty()) {
                for (auto& r : replyOverride_) replies_.push_back(std::move(r));
                replyOverride_.clear();
                break;
            }
            uint16_t address = static_cast<uint16_t>(b[4] << 8 | b[5]);
            std::vector<uint8_t> first(64, 0), second(64, 0);
            first[0] = 0x41;
            first[1] = b[4];
            first[2] = b[5];
            auto it = memory_.find(address);
            second[0] = it == memory_.end() ? 0 : it->second;
            replies_.push_back(first);
            replies_.push_back(second);
            break;
        }
        case 0x02:  // transfer begin: whatever was left of an earlier frame is dropped
            if (!keepTail_) {
                frameActive_ = false;
                frameRequested_ = false;  // and one asked for but not yet begun
                ++transferBegins_;
                wake_.notify_all();
            }
            break;
        case 0x03:  // transfer end: a frame follows on the frame pipe
            frameRequested_ = true;
            requestedAt_ = std::chrono::steady_clock::now();
            wake_.notify_all();
            break;
        default:  // 0x06, 0x0A, 0x40: taken, nothing to answer
            break;
    }
}

void SimulatedCamera::ServeReplies(std::vector<Done>& done) {
    auto& queue = pending_[replyEp_];
    while (!queue.empty() && !replies_.empty()) {
        TransferPtr t = queue.front();
        queue.pop_front();
        const auto& block = replies_.front();
        ULONG n = std::min<ULONG>(t->length, static_cast<ULONG>(block.size()));
        Fault& f = faults_[replyEp_];
        if (f.shortCount > 0) {
            --f.shortCount;
            n = std::min(n, f.shortBytes);
        }
        if (n > 0) std::memcpy(t->buffer, block.data(), n);
        Exchange e{Exchange::Kind::In, replyEp_};
        if (recording_) e.data.assign(block.begin(), block.begin() + n);
        e.requested = t->length;
        e.actual = n;
        Log(std::move(e));
        replies_.pop_front();
        done.push_back({t, USBD_STATUS_SUCCESS, n});
    }
}

void SimulatedCamera::Cancel(const std::shared_ptr<usb::Transfer>& t) {
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto& queue = pending_[t->endpoint];
        auto it = std::find(queue.begin(), queue.end(), t);
        if (it == queue.end()) return;
        queue.erase(it);
        done.push_back({t, USBD_STATUS_CANCELED, 0});
    }
    Finish(done);
}

void SimulatedCamera::AbortEndpoint(uint8_t endpoint) {
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> g(lock_);
        Log({Exchange::Kind::Abort, endpoint});
        // A stream that stops: the next one starts the clock again.
        if (endpoint == frameEp_) clockRunning_ = false;
        for (auto& t : pending_[endpoint]) done.push_back({t, USBD_STATUS_CANCELED, 0});
        pending_[endpoint].clear();
    }
    Finish(done);
}

void SimulatedCamera::HaltEndpoint(uint8_t endpoint) {
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> g(lock_);
        halted_[endpoint] = true;
        if (endpoint == frameEp_) frameActive_ = false;  // the frame in progress is lost
        for (auto& t : pending_[endpoint]) done.push_back({t, USBD_STATUS_STALL_PID, 0});
        pending_[endpoint].clear();
    }
    Finish(done);
}

bool SimulatedCamera::Halted(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = halted_.find(endpoint);
    return it != halted_.end() && it->second;
}

void SimulatedCamera::HangControl(std::chrono::milliseconds each) {
    {
        std::lock_guard<std::mutex> g(lock_);
        controlHang_ = each;
    }
    controlWake_.notify_all();
}

int SimulatedCamera::ControlCallsHung() const {
    std::lock_guard<std::mutex> g(lock_);
    return controlHung_;
}

bool SimulatedCamera::ControlHangLocked(std::unique_lock<std::mutex>& lock) {
    if (controlHang_.count() == 0) return false;
    const auto until = std::chrono::steady_clock::now() + controlHang_;
    ++controlHung_;
    controlWake_.wait_until(lock, until, [this] { return controlHang_.count() == 0 || stop_; });
    --controlHung_;
    return true;
}

USBD_STATUS SimulatedCamera::ClearHalt(uint8_t endpoint) {
    std::unique_lock<std::mutex> g(lock_);
    USBD_STATUS status = removed_ ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_SUCCESS;
    if (ControlHangLocked(g)) status = USBD_STATUS_DEV_NOT_RESPONDING;  // the time-out's status
    if (USBD_SUCCESS(status)) halted_[endpoint] = false;
    Log({Exchange::Kind::ClearHalt, endpoint, {}, status});
    return status;
}

ULONG SimulatedCamera::PortStatus() {
    std::unique_lock<std::mutex> g(lock_);
    // Unanswered, the port looks connected but not enabled, as it does to a
    // host whose status request timed out.
    if (ControlHangLocked(g)) return connected_ ? USBD_PORT_CONNECTED : 0;
    return (connected_ ? USBD_PORT_CONNECTED : 0) | (enabled_ ? USBD_PORT_ENABLED : 0);
}

NTSTATUS SimulatedCamera::ResetPort() {
    std::unique_lock<std::mutex> g(lock_);
    Log({Exchange::Kind::ResetPort});
    ++portResets_;
    if (ControlHangLocked(g)) return STATUS_UNSUCCESSFUL;
    if (!connected_) return STATUS_NO_SUCH_DEVICE;
    enabled_ = true;
    return STATUS_SUCCESS;
}

// Unplugged: every pending request ends with the device gone.
std::optional<std::chrono::steady_clock::time_point> SimulatedCamera::RemovedAt() const {
    std::lock_guard<std::mutex> g(lock_);
    return removedAt_;
}

void SimulatedCamera::RemoveLocked(std::vector<Done>& done) {
    if (!removed_) removedAt_ = std::chrono::steady_clock::now();
    removed_ = true;
    connected_ = enabled_ = false;
    frameActive_ = false;
    for (auto& [ep, queue] : pending_)
        for (auto& t : queue) done.push_back({t, USBD_STATUS_DEVICE_GONE, 0});
    pending_.clear();
}

void SimulatedCamera::StallFrameAfter(ULONG bytes) {
    std::lock_guard<std::mutex> g(lock_);
    stallAt_ = bytes == 0 ? 1 : bytes;
}

bool SimulatedCamera::StallPending() const {
    std::lock_guard<std::mutex> g(lock_);
    return stallAt_ != 0;
}

void SimulatedCamera::CycleFrames(uint32_t count) {
    std::lock_guard<std::mutex> g(lock_);
    cycle_ = count;
}

void SimulatedCamera::KeepFrameTail(bool keep) {
    std::lock_guard<std::mutex> g(lock_);
    keepTail_ = keep;
}

void SimulatedCamera::SlowFrame(double bytesPerSecond) {
    std::lock_guard<std::mutex> g(lock_);
    slowNext_ = bytesPerSecond;
}

void SimulatedCamera::RemoveDuringFrame(ULONG bytes) {
    std::lock_guard<std::mutex> g(lock_);
    removeAt_ = bytes == 0 ? 1 : bytes;
}

void SimulatedCamera::ReplyWith(std::vector<std::vector<uint8_t>> blocks) {
    std::lock_guard<std::mutex> g(lock_);
    replyOverride_ = std::move(blocks);
}

void SimulatedCamera::CompleteFrameReadsReversed(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    reverseFrameReads_ = on;
}

void SimulatedCamera::SkipFrameReads(int skip) {
    std::lock_guard<std::mutex> g(lock_);
    frameReadSkip_ = skip;
}

void SimulatedCamera::ClearFaults() {
    std::lock_guard<std::mutex> g(lock_);
    frameReadSkip_ = 0;
    faults_.clear();
    hangCommands_ = 0;
    stallAt_ = 0;
    keepTail_ = false;
    slowNext_ = 0;
    removeAt_ = 0;
    replyOverride_.clear();
    reverseFrameReads_ = false;
}

void SimulatedCamera::SetFrameRate(double fps) {
    std::lock_guard<std::mutex> g(lock_);
    fps_ = fps;
    clockRunning_ = false;  // the next frame starts the clock again
}

uint64_t SimulatedCamera::LateFrames() const {
    std::lock_guard<std::mutex> g(lock_);
    return lateFrames_;
}

uint64_t SimulatedCamera::FramesNotTaken() const {
    std::lock_guard<std::mutex> g(lock_);
    return notTaken_;
}

bool SimulatedCamera::FrameOwed() const {
    std::lock_guard<std::mutex> g(lock_);
    return frameRequested_ || readying_;
}

void SimulatedCamera::SetLinkSpeed(double bytesPerSecond) {
    std::lock_guard<std::mutex> g(lock_);
    linkSpeed_ = bytesPerSecond;
}

uint32_t SimulatedCamera::FramesDelivered() const {
    std::lock_guard<std::mutex> g(lock_);
    return framesDelivered_;
}

double SimulatedCamera::SignalLocked() const {
    auto reg = [this](uint32_t i) {
        auto it = sensor_.find(i);
        return it == sensor_.end() ? 0u : it->second;
    };
    // The sensor holds 1014 - exposure; gain is ten bits over two registers.
    int r = static_cast<int>(((reg(0xA1) & 0x03) << 8) | (reg(0xA0) & 0xFF));
    int exposure = std::max(0, 1014 - r);
    int gain = static_cast<int>(((reg(3) & 0x03) << 8) | (reg(2) & 0xFF));
    return (exposure + 64) / 128.0 * (1.0 + gain / 1023.0);
}

double SimulatedCamera::Signal() const {
    std::lock_guard<std::mutex> g(lock_);
    return SignalLocked();
}

std::vector<uint8_t> SimulatedCamera::ExpectedImage(uint32_t number) const {
    std::vector<uint8_t> image(static_cast<size_t>(kSceneWidth) * kSceneHeight);
    uint32_t cycle;
    {
        std::lock_guard<std::mutex> g(lock_);
        cycle = cycle_;
    }
    RenderMosaic(cycle == 0 ? number : number % cycle, Signal(), image.data(), kSceneWidth);
    return image;
}

uint8_t SimulatedCamera::FillerByte(ULONG line, ULONG column) {
    return static_cast<uint8_t>(((line * 7 + column) & 0xFF) ^ 0xA5);
}

namespace {

// The wire layout: image rows 0, 2, ... at raw lines 5-964, rows 1, 3, ...
// at raw lines 1019-1978, filler elsewhere.
size_t WireLine(int y) {
    return (y & 1) == 0 ? 5 + static_cast<size_t>(y) / 2 : 1019 + static_cast<size_t>(y - 1) / 2;
}

}  // namespace

void SimulatedCamera::RenderStillWire(double signal) {
    still_.resize(kRawFrameBytes);
    for (ULONG line = 0; line < kRawLines; ++line) {
        if ((line >= 5 && line <= 964) || (line >= 1019 && line <= 1978)) continue;
        uint8_t* dst = still_.data() + static_cast<size_t>(line) * kRawPitch;
        for (ULONG c = 0; c < kRawPitch; ++c) dst[c] = FillerByte(line, c);
    }
    RenderStillRows(
        signal,
        [](void* context, int y) {
            return static_cast<uint8_t*>(context) + WireLine(y) * kRawPitch;
        },
        still_.data());
}

void SimulatedCamera::PlanFrameLocked(uint32_t number, double signal) {
    MovingSpans(number, spans_);
    sendingSpans_.clear();
    for (const SceneSpan& s : spans_)
        sendingSpans_.push_back({WireLine(s.y) * kRawPitch + static_cast<size_t>(s.x0), s});
    std::sort(sendingSpans_.begin(), sendingSpans_.end(),
              [](const WireSpan& a, const WireSpan& b) { return a.offset < b.offset; });
    nextSpan_ = 0;
    LightCurve(signal, sendingLut_);
}

void SimulatedCamera::PaintSpansLocked(ULONG from, ULONG n, uint8_t* at) {
    const size_t end = static_cast<size_t>(from) + n;
    for (size_t i = nextSpan_; i < sendingSpans_.size(); ++i) {
        const WireSpan& w = sendingSpans_[i];
        if (w.offset >= end) break;
        const size_t spanEnd = w.offset + static_cast<size_t>(w.span.x1 - w.span.x0);
        if (spanEnd <= from) {
            if (i == nextSpan_) ++nextSpan_;  // wholly sent: never looked at again
            continue;
        }
        // Columns of the span's line that lie in the bytes sent.
        const size_t lineStart = w.offset - static_cast<size_t>(w.span.x0);
        const int c0 = static_cast<int>(std::max<size_t>(w.offset, from) - lineStart),
                  c1 = static_cast<int>(std::min(spanEnd, end) - lineStart);
        PaintSpan(w.span, sendingLut_, c0, c1, at + (lineStart + static_cast<size_t>(c0) - from));
    }
}

// The camera's clock: frame slot k is due at clockStart_ + k / fps,
// whatever the host does. A request before the next slot waits for it; one
// after it gets the frame being exposed, at once, the slots it passed by
// are frames the host did not ask for in time, and the clock counts on
// from that frame, so frames never come closer than a frame time.
std::chrono::steady_clock::time_point SimulatedCamera::NextDueLocked(
    std::chrono::steady_clock::time_point now) {
    if (fps_ <= 0) {
        clockRunning_ = false;
        return now;
    }
    const std::chrono::duration<double> period(1.0 / fps_);
    auto slotTime = [&](uint64_t k) {
        return clockStart_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 period * static_cast<double>(k));
    };
    if (!clockRunning_ || clockFps_ != fps_) {
        clockRunning_ = true;
        clockFps_ = fps_;
        clockStart_ = now;
        nextSlot_ = 1;
        return now;
    }
    uint64_t slot = nextSlot_;
    if (slotTime(slot) < now) {
        const auto exposing = static_cast<uint64_t>((now - clockStart_) / period);
        if (exposing > slot) notTaken_ += exposing - slot;
        // The frame being exposed goes out now, and the clock counts from
        // it: frames never come closer together than a frame time.
        clockStart_ = now;
        nextSlot_ = 1;
        return now;
    }
    nextSlot_ = slot + 1;
    return slotTime(slot);
}

void SimulatedCamera::Deliverer() {
    // It stands in for the camera's hardware, which keeps its own clock
    // whatever the host does: a step above the host's frame threads.
    const kernel::FramePathThread onPath("nv-camera", 1);
    std::unique_lock<std::mutex> lk(lock_);
    for (;;) {
        wake_.wait(lk, [this] {
            return stop_ || frameRequested_ || (frameActive_ && !pending_[frameEp_].empty());
        });
        if (stop_) return;
        if (frameRequested_ && !frameActive_) {
            frameRequested_ = false;
            readying_ = true;
            // A transfer begun before the frame goes out gives it up: its
            // slot stays unused and the request that may follow is served
            // anew.
            const uint64_t begun = transferBegins_;
            const auto clockBefore =
                std::tuple(clockRunning_, clockStart_, nextSlot_, notTaken_, lateFrames_);
            auto givenUp = [&] {
                if (transferBegins_ == begun) return false;
                readying_ = false;
                // (unless a stop or a new rate set the clock back meanwhile)
                if (clockRunning_)
                    std::tie(clockRunning_, clockStart_, nextSlot_, notTaken_, lateFrames_) =
                        clockBefore;
                return true;
            };
            // The slot is the request's: a deliverer that wakes late was
            // itself starved, which is the camera's lateness, not the host's.
            const auto due = NextDueLocked(requestedAt_);
            wake_.wait_until(lk, due, [&] { return stop_ || transferBegins_ != begun; });
            if (stop_) return;  // (readying_ is not looked at again)
            if (givenUp()) continue;
            // Woken well after the frame was due, the camera itself fell
            // behind its clock (a starved host thread stands in for it).
            if (fps_ > 0 &&
                std::chrono::steady_clock::now() - due > std::chrono::duration<double>(0.5 / fps_))
                ++lateFrames_;
            const uint32_t number = framesDelivered_;
            const double signal = SignalLocked();
            if (signal != stillSignal_) {
                // No frame is going out, so nothing reads the still meanwhile.
                lk.unlock();
                RenderStillWire(signal);
                lk.lock();
                stillSignal_ = signal;
            }
            if (givenUp()) continue;
            // A frame that goes out well after its slot (the first one, whose
            // picture took a while to render, or one the camera was late
            // with) moves the clock on with it: the next does not follow at
            // once. A wake-up a little late leaves the clock where it is.
            if (const auto out = std::chrono::steady_clock::now();
                clockRunning_ && out - due > std::chrono::duration<double>(0.25 / fps_))
                clockStart_ += out - due;
            PlanFrameLocked(cycle_ == 0 ? number : number % cycle_, signal);
            readying_ = false;
            ++framesDelivered_;
            frameActive_ = !removed_;
            frameOffset_ = 0;
            frameSpeed_ = slowNext_ > 0 ? slowNext_ : linkSpeed_;
            slowNext_ = 0;
        }
        DeliverLocked(delivered_, lk);
        lk.unlock();
        Finish(delivered_);
        lk.lock();
    }
}

void SimulatedCamera::DeliverLocked(std::vector<Done>& done, std::unique_lock<std::mutex>& lk) {
    const size_t first = done.size();
    DeliverInOrderLocked(done, lk);
    if (reverseFrameReads_ && first < done.size())
        std::reverse(done.begin() + static_cast<std::ptrdiff_t>(first), done.end());
}

void SimulatedCamera::DeliverInOrderLocked(std::vector<Done>& done,
                                           std::unique_lock<std::mutex>& lk) {
    auto& queue = pending_[frameEp_];
    while (frameActive_ && !queue.empty()) {
        if (removeAt_ != 0 && frameOffset_ >= removeAt_) {
            removeAt_ = 0;
            RemoveLocked(done);
            return;
        }
        TransferPtr t = queue.front();
        ULONG n = std::min<ULONG>(t->length, kRawFrameBytes - frameOffset_);
        if (stallAt_ != 0 && frameOffset_ + n > stallAt_) {
            stallAt_ = 0;
            frameActive_ = false;  // the rest never comes
            return;
        }
        queue.pop_front();
        if (removeAt_ != 0) n = std::min(n, removeAt_ - frameOffset_);
        Fault& f = faults_[frameEp_];
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        ULONG moved = n;
        if (frameReadSkip_ > 0 && (f.count > 0 || f.shortCount > 0)) {
            --frameReadSkip_;
        } else if (f.count > 0) {
            --f.count;
            status = f.status;
            moved = 0;  // the data of a failed read is lost
        } else if (f.shortCount > 0) {
            --f.shortCount;
            moved = n = std::min(n, f.shortBytes);
        }
        if (moved > 0) {
            std::memcpy(t->buffer, still_.data() + frameOffset_, moved);
            PaintSpansLocked(frameOffset_, moved, t->buffer);
        }
        Exchange e{Exchange::Kind::In, frameEp_};
        e.status = status;
        e.requested = t->length;
        e.actual = moved;
        Log(std::move(e));
        done.push_back({t, status, moved});
        frameOffset_ += n;
        if (frameOffset_ >= kRawFrameBytes) frameActive_ = false;
        if (frameSpeed_ > 0) {
            double seconds = n / frameSpeed_;
            lk.unlock();
            Finish(done);
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            lk.lock();
        }
    }
}

}  // namespace sim
