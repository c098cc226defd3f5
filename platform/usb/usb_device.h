// The narrow interface under the bus driver: what a USB device, simulated or
// real, must do. The bus driver calls it; the device never sees IRPs or URBs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/usb/usb_types.h"

namespace usb {

// One queued bulk or interrupt transfer. The device completes it exactly
// once, from any thread, by calling Complete.
struct Transfer {
    uint8_t endpoint = 0;  // address, bit 7 set for IN
    uint8_t* buffer = nullptr;
    ULONG length = 0;
    std::function<void(Transfer&, USBD_STATUS status, ULONG actual)> onComplete;
    // Set by the bus before it asks the device to cancel, so a device that
    // is handed an already cancelled transfer ends it at once.
    std::atomic<bool> cancelRequested{false};
    void Complete(USBD_STATUS status, ULONG actual) { onComplete(*this, status, actual); }
};

class UsbDevice {
  public:
    virtual ~UsbDevice() = default;
    // A control transfer on endpoint 0; the data stage is IN when bit 7 of
    // requestType is set. Returns the status and the bytes moved.
    virtual USBD_STATUS ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                        uint16_t index, uint8_t* data, uint16_t length,
                                        ULONG* transferred) = 0;
    // Selects a configuration by its value; 0 unconfigures.
    virtual USBD_STATUS SetConfiguration(uint8_t value) = 0;
    virtual void Submit(std::shared_ptr<Transfer> transfer) = 0;
    // Asks for a queued transfer to end early; it still completes once,
    // with USBD_STATUS_CANCELED unless it had already finished.
    virtual void Cancel(const std::shared_ptr<Transfer>& transfer) = 0;
    // Cancels every transfer queued on an endpoint.
    virtual void AbortEndpoint(uint8_t endpoint) = 0;
    virtual USBD_STATUS ClearHalt(uint8_t endpoint) = 0;
    // USBD_PORT_ENABLED and USBD_PORT_CONNECTED bits.
    virtual ULONG PortStatus() = 0;
    virtual NTSTATUS ResetPort() = 0;
};

}  // namespace usb
