// The USB bus driver: the lower device object of every camera. It serves the
// internal I/O control requests the driver sends (URBs, port status, port
// reset) by calling a UsbDevice. Bulk and interrupt transfers complete
// asynchronously, in the bus driver's own thread, and can be cancelled.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/fifo.h"
#include "platform/usb/usb_device.h"
#include "platform/usb/usb_trace.h"

namespace usb {

class BusDriver {
  public:
    // Writes a usbmon trace to tracePath, or to $NORVIKCAM_USB_TRACE when
    // tracePath is empty and the variable is set.
    explicit BusDriver(UsbDevice& device, const std::string& tracePath = "");
    ~BusDriver();
    BusDriver(const BusDriver&) = delete;
    BusDriver& operator=(const BusDriver&) = delete;

    PDEVICE_OBJECT DeviceObject() const { return device_; }
    size_t PendingTransfers();
    // A copy of every URB as it was submitted (its first Hdr.Length bytes),
    // so tests can assert the exact requests the driver sends.
    std::vector<std::vector<uint8_t>> UrbLog();
    void ClearUrbLog();
    // Kept from the start; a bus that serves a long stream turns it off, as
    // it would otherwise grow with every request.
    void KeepUrbLog(bool on);
    // The next n bulk or interrupt transfers on an endpoint are refused at
    // submission, as a starved host controller would refuse them.
    void RefuseSubmissions(uint8_t endpoint, int n);

    // Waits until every posted completion has run (tests use it to let the
    // bus settle before they read its state).
    void Drain();
    // The device is about to be destroyed (whoever owns both calls this
    // first; the destructor does when nobody did): what is still pending
    // with it is cancelled and waited for, 5 s at most, and from here on
    // the bus makes no call on it. A transfer that outlived the wait is
    // left as it is; every new request fails as on a removed device. The
    // device may still complete transfers into the bus while it goes.
    void DeviceGoing();
    // Closes the trace, if one is written; what went wrong writing it, or
    // empty. Call once the traffic is over.
    std::string FinishTrace();

  private:
    struct Pipe {
        uint8_t endpoint;
        USBD_PIPE_TYPE type;
        ULONG generation;
    };

    // A port status, port reset or clear-halt: the device answers it
    // synchronously, and a real one can block on it for seconds (a control
    // time-out, a device reset), so it runs on a thread of its own while the
    // request is pending, and a cancel completes the request at once.
    struct ControlCall {
        enum class Kind { PortStatus, ResetPort, ClearHalt } kind;
        PIRP irp;
        uint8_t endpoint;        // ClearHalt
        bool abandoned = false;  // cancelled: the answer is dropped
    };

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static void ControlCancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS QueueControl(PIRP irp, ControlCall::Kind kind, uint8_t endpoint);
    void ControlWorker();
    // Completes a control call's request with what the device answered,
    // unless a cancel completed it first.
    void FinishControl(const std::shared_ptr<ControlCall>& call, NTSTATUS status, USBD_STATUS usbd,
                       ULONG port);
    NTSTATUS HandleUrb(PIRP irp, PURB urb);
    NTSTATUS GetDescriptor(PURB urb);
    NTSTATUS SelectConfiguration(PURB urb);
    NTSTATUS BulkTransfer(PIRP irp, PURB urb);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    void FinishTransfer(PIRP irp, USBD_STATUS status, ULONG actual);
    // A transfer's end, waiting for the bus thread to complete its IRP.
    struct Completion {
        PIRP irp = nullptr;
        USBD_STATUS status = 0;
        ULONG actual = 0;
    };
    void Post(Completion completion);
    std::shared_ptr<Transfer> NewTransfer();
    std::shared_ptr<Transfer> FindPending(PIRP irp, bool remove);
    void Worker();
    NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

    UsbDevice& usb_;
    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT device_;
    std::unique_ptr<UsbTrace> trace_;

    std::mutex lock_;
    std::vector<std::unique_ptr<Pipe>> pipes_;  // kept for the bus's life: handles never dangle
    ULONG generation_ = 0;
    // Few at a time: searched in order, and never shrunk, so a stream of
    // transfers allocates nothing here.
    std::vector<std::pair<PIRP, std::shared_ptr<Transfer>>> pending_;
    std::vector<std::vector<uint8_t>> urbLog_;
    bool keepUrbLog_ = true;
    std::map<uint8_t, int> refuse_;
    bool deviceGone_ = false;  // set by DeviceGoing: usb_ is not called again

    std::mutex queueLock_;
    std::condition_variable queueSignal_;
    kernel::Fifo<Completion> queue_;
    size_t running_ = 0;
    bool stopping_ = false;
    std::thread worker_;

    std::mutex controlLock_;
    std::condition_variable controlSignal_;
    std::vector<std::shared_ptr<ControlCall>> controlCalls_;  // queued or running, in order
    bool controlStopping_ = false;
    std::thread controlWorker_;
};

}  // namespace usb
