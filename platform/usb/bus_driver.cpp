// The bus driver's request handling.
#include "platform/usb/bus_driver.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/kernel/frame_path.h"

namespace usb {
namespace {

NTSTATUS FromUsbd(USBD_STATUS s) {
    if (USBD_SUCCESS(s)) return STATUS_SUCCESS;
    if (s == USBD_STATUS_CANCELED) return STATUS_CANCELLED;
    if (s == USBD_STATUS_DEVICE_GONE) return STATUS_DEVICE_NOT_CONNECTED;
    if (s == USBD_STATUS_INVALID_PIPE_HANDLE || s == USBD_STATUS_INVALID_PARAMETER)
        return STATUS_INVALID_PARAMETER;
    return STATUS_UNSUCCESSFUL;
}

PVOID TransferAddress(PVOID buffer, PMDL mdl) {
    return mdl != nullptr ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : buffer;
}

// Transfers are made for every request and let go by whichever thread holds
// the last reference (the bus, the device, a libusb callback). Their blocks,
// one size for all, go back on a free list under a lock, so a stream of
// requests stops reaching the heap once the most ever in flight exist.
class TransferBlocks {
  public:
    static TransferBlocks& Shared() {
        static auto* blocks =
            new TransferBlocks;  // never destroyed: a transfer may outlive every bus
        return *blocks;
    }
    void* Get(size_t bytes) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (bytes == size_ && !free_.empty()) {
                void* p = free_.back();
                free_.pop_back();
                return p;
            }
        }
        return ::operator new(bytes);
    }
    void Put(void* p, size_t bytes) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (size_ == 0) size_ = bytes;
            if (bytes == size_ && free_.size() < 1024) {
                free_.push_back(p);
                return;
            }
        }
        ::operator delete(p);
    }

  private:
    std::mutex lock_;
    size_t size_ = 0;
    std::vector<void*> free_;
};

template <typename T>
struct TransferAllocator {
    using value_type = T;
    TransferAllocator() = default;
    template <typename U>
    TransferAllocator(const TransferAllocator<U>&) {}  // NOLINT: rebinding is implicit by design
    T* allocate(size_t n) { return static_cast<T*>(TransferBlocks::Shared().Get(n * sizeof(T))); }
    void deallocate(T* p, size_t n) { TransferBlocks::Shared().Put(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const TransferAllocator<U>&) const {
        return true;
    }
    template <typename U>
    bool operator!=(const TransferAllocator<U>&) const {
        return false;
    }
};

}  // namespace

BusDriver::BusDriver(UsbDevice& device, const std::string& tracePath) : usb_(device) {
    std::string path = tracePath;
    if (path.empty())
        if (const char* env = std::getenv("NORVIKCAM_USB_TRACE")) path = env;
    if (!path.empty())
        trace_ = std::make_unique<UsbTrace>(path);  // may throw: before anything is made
    driver_ = kernel::CreateDriverObject("usbbus");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device_ = kernel::CreateDeviceObject(driver_, 1, this);
    worker_ = std::thread([this] { Worker(); });
    controlWorker_ = std::thread([this] { ControlWorker(); });
}

// Transfers still with the device would complete into a bus that is gone:
// they are cancelled, and their completions run, before the worker stops.
BusDriver::~BusDriver() {
    DeviceGoing();
    {
        std::lock_guard<std::mutex> g(queueLock_);
        stopping_ = true;
    }
    queueSignal_.notify_all();
    worker_.join();
    kernel::DeleteDeviceObject(device_);
    kernel::DeleteDriverObject(driver_);
}

void BusDriver::DeviceGoing() {
    std::vector<std::shared_ptr<Transfer>> left;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (deviceGone_) return;
        for (auto& [irp, transfer] : pending_) left.push_back(transfer);
    }
    for (auto& transfer : left) {
        transfer->cancelRequested = true;
        usb_.Cancel(transfer);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!left.empty()) {
        Drain();
        {
            std::lock_guard<std::mutex> g(lock_);
            if (pending_.empty()) break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        deviceGone_ = true;
    }
    // A control call the device is still answering (one a cancel gave up
    // on, say) ends before the device may go; calls not yet made are not.
    {
        std::lock_guard<std::mutex> g(controlLock_);
        controlStopping_ = true;
    }
    controlSignal_.notify_all();
    if (controlWorker_.joinable()) controlWorker_.join();
}

size_t BusDriver::PendingTransfers() {
    std::lock_guard<std::mutex> g(lock_);
    return pending_.size();
}

void BusDriver::Drain() {
    std::unique_lock<std::mutex> g(queueLock_);
    queueSignal_.wait(g, [this] { return queue_.empty() && running_ == 0; });
}

// Notified under the lock: once the worker has run the work, a Drain may
// return and the bus be destroyed, so the poster must be done with the
// bus's condition variable before the lock lets anyone see the work.
void BusDriver::Post(Completion completion) {
    std::lock_guard<std::mutex> g(queueLock_);
    queue_.push_back(completion);
    queueSignal_.notify_all();
}

// Completions run here, one at a time, so the driver's completion routines
// always run in the bus driver's thread. The queue is emptied before stop.
void BusDriver::Worker() {
    const kernel::FramePathThread onPath("nv-usb");  // completions
    std::unique_lock<std::mutex> g(queueLock_);
    for (;;) {
        queueSignal_.wait(g, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        const Completion work = queue_.front();
        queue_.pop_front();
        ++running_;
        g.unlock();
        FinishTransfer(work.irp, work.status, work.actual);
        g.lock();
        --running_;
        queueSignal_.notify_all();
    }
}

std::string BusDriver::FinishTrace() {
    return trace_ ? trace_->Finish() : std::string();
}

NTSTATUS BusDriver::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<BusDriver*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool gone;
    {
        std::lock_guard<std::mutex> g(self->lock_);
        gone = self->deviceGone_;
    }
    if (gone) {
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            stack->Parameters.Others.Argument1 != nullptr)
            static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Status =
                USBD_STATUS_DEVICE_GONE;
        return self->Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return self->HandleUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            if (stack->Parameters.Others.Argument1 == nullptr)
                return self->Complete(irp, STATUS_INVALID_PARAMETER);
            return self->QueueControl(irp, ControlCall::Kind::PortStatus, 0);
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return self->QueueControl(irp, ControlCall::Kind::ResetPort, 0);
        default:
            return self->Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

std::vector<std::vector<uint8_t>> BusDriver::UrbLog() {
    std::lock_guard<std::mutex> g(lock_);
    return urbLog_;
}

void BusDriver::RefuseSubmissions(uint8_t endpoint, int n) {
    std::lock_guard<std::mutex> g(lock_);
    refuse_[endpoint] = n;
}

void BusDriver::KeepUrbLog(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    keepUrbLog_ = on;
    if (!on) urbLog_.clear();
}

void BusDriver::ClearUrbLog() {
    std::lock_guard<std::mutex> g(lock_);
    urbLog_.clear();
}

NTSTATUS BusDriver::HandleUrb(PIRP irp, PURB urb) {
    if (urb == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
    {
        std::lock_guard<std::mutex> g(lock_);
        const auto* bytes = reinterpret_cast<const uint8_t*>(urb);
        if (keepUrbLog_) urbLog_.emplace_back(bytes, bytes + urb->UrbHeader.Length);
    }
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) break;
            return Complete(irp, GetDescriptor(urb));
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (urb->UrbHeader.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface)) break;
            return Complete(irp, SelectConfiguration(urb));
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            if (urb->UrbHeader.Length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) break;
            return BulkTransfer(irp, urb);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
            if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) break;
            Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
            if (pipe == nullptr) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
                return Complete(irp, STATUS_INVALID_PARAMETER);
            }
            if (urb->UrbHeader.Function != URB_FUNCTION_ABORT_PIPE)
                return QueueControl(irp, ControlCall::Kind::ClearHalt, pipe->endpoint);
            usb_.AbortEndpoint(pipe->endpoint);
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            return Complete(irp, STATUS_SUCCESS);
        }
        default:
            break;
    }
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    return Complete(irp, STATUS_INVALID_PARAMETER);
}

NTSTATUS BusDriver::GetDescriptor(PURB urb) {
    auto& r = urb->UrbControlDescriptorRequest;
    auto* buffer = static_cast<uint8_t*>(TransferAddress(r.TransferBuffer, r.TransferBufferMDL));
    ULONG length = r.TransferBufferLength > 0xFFFF ? 0xFFFF : r.TransferBufferLength;
    if (buffer == nullptr && length != 0) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    SetupPacket setup{0x80, 0x06, static_cast<uint16_t>(r.DescriptorType << 8 | r.Index),
                      r.LanguageId, static_cast<uint16_t>(length)};
    auto id = reinterpret_cast<uint64_t>(urb);
    if (trace_) trace_->Submit(id, TraceTransferType::Control, 0x80, &setup, length, nullptr, 0);
    ULONG moved = 0;
    USBD_STATUS s = usb_.ControlTransfer(setup.requestType, setup.request, setup.value, setup.index,
                                         buffer, static_cast<uint16_t>(length), &moved);
    if (trace_) trace_->Complete(id, TraceTransferType::Control, 0x80, s, moved, buffer, moved);
    urb->UrbHeader.Status = s;
    r.TransferBufferLength = USBD_SUCCESS(s) ? moved : 0;
    return FromUsbd(s);
}

NTSTATUS BusDriver::SelectConfiguration(PURB urb) {
    auto& r = urb->UrbSelectConfiguration;
    auto id = reinterpret_cast<uint64_t>(urb);
    PUSB_CONFIGURATION_DESCRIPTOR config = r.ConfigurationDescriptor;
    uint8_t value = 0;
    if (config != nullptr) {
        if (config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        value = config->bConfigurationValue;
    }
    SetupPacket setup{0x00, 0x09, value, 0, 0};  // SET_CONFIGURATION
    if (trace_) trace_->Submit(id, TraceTransferType::Control, 0, &setup, 0, nullptr, 0);
    std::lock_guard<std::mutex> g(lock_);
    ++generation_;
    if (config == nullptr) {
        USBD_STATUS s = usb_.SetConfiguration(0);
        if (trace_) trace_->Complete(id, TraceTransferType::Control, 0, s, 0, nullptr, 0);
        urb->UrbHeader.Status = s;
        return FromUsbd(s);
    }
    // Every interface information the request holds, walked by its own
    // length and never beyond the request.
    const auto* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    auto* info = &r.Interface;
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, std::vector<const USB_ENDPOINT_DESCRIPTOR*>>>
        plan;
    while (reinterpret_cast<const UCHAR*>(info) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <=
               end &&
           info->Length >= offsetof(USBD_INTERFACE_INFORMATION, Pipes) &&
           reinterpret_cast<const UCHAR*>(info) + info->Length <= end) {
        if (InterfaceInformationSize(info->NumberOfPipes) > info->Length) break;
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (d == nullptr) break;
        std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints(info->NumberOfPipes);
        if (CountEndpointsAfter(config, d, endpoints.data(), info->NumberOfPipes) <
            info->NumberOfPipes)
            break;
        plan.emplace_back(info, std::move(endpoints));
        info->Class = d->bInterfaceClass;
        info->SubClass = d->bInterfaceSubClass;
        info->Protocol = d->bInterfaceProtocol;
        if (info->Length == 0) break;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) +
                                                             info->Length);
        if (plan.size() >= config->bNumInterfaces) break;
    }
    if (plan.empty()) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        if (trace_)
            trace_->Complete(id, TraceTransferType::Control, 0, USBD_STATUS_INVALID_PARAMETER, 0,
                             nullptr, 0);
        return STATUS_INVALID_PARAMETER;
    }
    USBD_STATUS s = usb_.SetConfiguration(value);
    if (trace_) trace_->Complete(id, TraceTransferType::Control, 0, s, 0, nullptr, 0);
    urb->UrbHeader.Status = s;
    if (!USBD_SUCCESS(s)) return FromUsbd(s);
    for (auto& [i, endpoints] : plan) {
        i->InterfaceHandle = i;
        for (ULONG k = 0; k < i->NumberOfPipes; ++k) {
            const USB_ENDPOINT_DESCRIPTOR* e = endpoints[k];
            USBD_PIPE_INFORMATION& p = i->Pipes[k];
            p.MaximumPacketSize = e->wMaxPacketSize;
            p.EndpointAddress = e->bEndpointAddress;
            p.Interval = e->bInterval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipes_.push_back(
                std::make_unique<Pipe>(Pipe{e->bEndpointAddress, p.PipeType, generation_}));
            p.PipeHandle = pipes_.back().get();
        }
    }
    r.ConfigurationHandle = config;
    return STATUS_SUCCESS;
}

BusDriver::Pipe* BusDriver::FindPipe(USBD_PIPE_HANDLE handle) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& p : pipes_)
        if (p.get() == handle) return p->generation == generation_ ? p.get() : nullptr;
    return nullptr;
}

NTSTATUS BusDriver::BulkTransfer(PIRP irp, PURB urb) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = FindPipe(r.PipeHandle);
    bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    auto* buffer = static_cast<uint8_t*>(TransferAddress(r.TransferBuffer, r.TransferBufferMDL));
    if (pipe == nullptr ||
        (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) ||
        in != ((pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0) ||
        (buffer == nullptr && r.TransferBufferLength)) {
        urb->UrbHeader.Status =
            pipe == nullptr ? USBD_STATUS_INVALID_PIPE_HANDLE : USBD_STATUS_INVALID_PARAMETER;
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        if (refuse_[pipe->endpoint] > 0) {
            --refuse_[pipe->endpoint];
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    auto transfer = NewTransfer();
    transfer->endpoint = pipe->endpoint;
    transfer->buffer = buffer;
    transfer->length = r.TransferBufferLength;
    const auto type =
        pipe->type == UsbdPipeTypeBulk ? TraceTransferType::Bulk : TraceTransferType::Interrupt;
    transfer->onComplete = [this, irp](Transfer&, USBD_STATUS status, ULONG actual) {
        Post({irp, status, actual});
    };
    if (trace_)
        trace_->Submit(reinterpret_cast<uint64_t>(urb), type, pipe->endpoint, nullptr,
                       r.TransferBufferLength, in ? nullptr : buffer,
                       in ? 0 : r.TransferBufferLength);
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = urb;
    {
        std::lock_guard<std::mutex> g(lock_);
        pending_.emplace_back(irp, transfer);
    }
    IoSetCancelRoutine(irp, CancelRoutine);
    // A request cancelled before the routine was in place is cancelled now.
    // The flag is read under the cancel lock, which IoCancelIrp holds to set it.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const bool mine = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
    IoReleaseCancelSpinLock(irql);
    if (mine) transfer->cancelRequested = true;
    usb_.Submit(transfer);
    return STATUS_PENDING;
}

std::shared_ptr<Transfer> BusDriver::NewTransfer() {
    return std::allocate_shared<Transfer>(TransferAllocator<Transfer>());
}

std::shared_ptr<Transfer> BusDriver::FindPending(PIRP irp, bool remove) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->first != irp) continue;
        std::shared_ptr<Transfer> transfer = it->second;
        if (remove) pending_.erase(it);
        return transfer;
    }
    return nullptr;
}

void BusDriver::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<BusDriver*>(device->DeviceExtension);
    std::shared_ptr<Transfer> transfer = self->FindPending(irp, false);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    bool gone;
    {
        std::lock_guard<std::mutex> g(self->lock_);
        gone = self->deviceGone_;
    }
    // The IRP is not touched again here: it completes through the device,
    // unless the device has gone.
    if (transfer && !gone) {
        transfer->cancelRequested = true;
        self->usb_.Cancel(transfer);
    }
}

// The call is queued and its cancel routine set under the control lock, so
// a cancel that comes at once still finds the call to give it up.
NTSTATUS BusDriver::QueueControl(PIRP irp, ControlCall::Kind kind, uint8_t endpoint) {
    auto call = std::make_shared<ControlCall>(ControlCall{kind, irp, endpoint});
    IoMarkIrpPending(irp);
    bool cancelled;
    {
        std::lock_guard<std::mutex> g(controlLock_);
        IoSetCancelRoutine(irp, ControlCancelRoutine);
        // Cancelled before the routine was in place: cancelled now.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
        IoReleaseCancelSpinLock(irql);
        if (!cancelled) controlCalls_.push_back(call);
    }
    if (cancelled) {
        if (kind == ControlCall::Kind::ClearHalt)
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)
                ->UrbHeader.Status = USBD_STATUS_CANCELED;
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    controlSignal_.notify_all();
    return STATUS_PENDING;
}

// The calls run one at a time, in the order they came. A call that was
// cancelled before its turn is never made.
void BusDriver::ControlWorker() {
    kernel::NameThread("nv-usb-control");
    std::unique_lock<std::mutex> g(controlLock_);
    for (;;) {
        controlSignal_.wait(g, [this] { return controlStopping_ || !controlCalls_.empty(); });
        if (controlStopping_) break;
        std::shared_ptr<ControlCall> call = controlCalls_.front();
        if (call->abandoned) {
            controlCalls_.erase(controlCalls_.begin());
            continue;
        }
        g.unlock();
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        ULONG port = 0;
        switch (call->kind) {
            case ControlCall::Kind::PortStatus:
                port = usb_.PortStatus();
                break;
            case ControlCall::Kind::ResetPort:
                status = usb_.ResetPort();
                break;
            case ControlCall::Kind::ClearHalt: {
                SetupPacket setup{0x02, 0x01, 0, call->endpoint,
                                  0};  // CLEAR_FEATURE(ENDPOINT_HALT)
                auto id = reinterpret_cast<uint64_t>(call.get());
                if (trace_)
                    trace_->Submit(id, TraceTransferType::Control, 0, &setup, 0, nullptr, 0);
                usbd = usb_.ClearHalt(call->endpoint);
                if (trace_)
                    trace_->Complete(id, TraceTransferType::Control, 0, usbd, 0, nullptr, 0);
                status = FromUsbd(usbd);
                break;
            }
        }
        FinishControl(call, status, usbd, port);
        g.lock();
        controlCalls_.erase(controlCalls_.begin());
    }
    // Calls not made: the device is going, and answers no more.
    std::vector<std::shared_ptr<ControlCall>> left;
    left.swap(controlCalls_);
    g.unlock();
    for (auto& call : left)
        if (!call->abandoned)
            FinishControl(call, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
}

// Under the control lock, so a cancel routine that was already called has
// either marked the call given up (and the request may be gone) or waits to
// complete it itself.
void BusDriver::FinishControl(const std::shared_ptr<ControlCall>& call, NTSTATUS status,
                              USBD_STATUS usbd, ULONG port) {
    {
        std::lock_guard<std::mutex> g(controlLock_);
        if (call->abandoned) return;
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        const bool mine = IoSetCancelRoutine(call->irp, nullptr) != nullptr;
        IoReleaseCancelSpinLock(irql);
        if (!mine) return;  // its cancel routine completes it
        call->abandoned = true;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(call->irp);
    if (call->kind == ControlCall::Kind::PortStatus)
        *static_cast<ULONG*>(stack->Parameters.Others.Argument1) = port;
    if (call->kind == ControlCall::Kind::ClearHalt)
        static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Status = usbd;
    Complete(call->irp, status);
}

// Called once IoCancelIrp took the routine: the request is this routine's
// to complete, whether or not the call was made. The device's answer, when
// it comes, is dropped.
void BusDriver::ControlCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<BusDriver*>(device->DeviceExtension);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ControlCall::Kind kind = ControlCall::Kind::PortStatus;
    {
        std::lock_guard<std::mutex> g(self->controlLock_);
        for (auto& call : self->controlCalls_)
            if (call->irp == irp && !call->abandoned) {
                call->abandoned = true;
                kind = call->kind;
                break;
            }
    }
    if (kind == ControlCall::Kind::ClearHalt)
        static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)
            ->UrbHeader.Status = USBD_STATUS_CANCELED;
    self->Complete(irp, STATUS_CANCELLED);
}

void BusDriver::FinishTransfer(PIRP irp, USBD_STATUS status, ULONG actual) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    std::shared_ptr<Transfer> transfer = FindPending(irp, true);
    auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[0]);
    auto& r = urb->UrbBulkOrInterruptTransfer;
    if (actual > r.TransferBufferLength) actual = r.TransferBufferLength;
    bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (trace_ && transfer) {
        Pipe* pipe = FindPipe(r.PipeHandle);
        auto type = pipe != nullptr && pipe->type == UsbdPipeTypeInterrupt
                        ? TraceTransferType::Interrupt
                        : TraceTransferType::Bulk;
        trace_->Complete(reinterpret_cast<uint64_t>(urb), type, transfer->endpoint, status, actual,
                         in ? transfer->buffer : nullptr, in ? actual : 0);
    }
    urb->UrbHeader.Status = status;
    r.TransferBufferLength = actual;
    NTSTATUS s = FromUsbd(status);
    Complete(irp, s, NT_SUCCESS(s) ? actual : 0);
}

}  // namespace usb
