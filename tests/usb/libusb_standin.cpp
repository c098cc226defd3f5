// The libusb calls the libusb device makes, answered by the simulated camera
// in the stand-in's socket (see libusb_standin.h). Each call does what the
// library documents for it; the camera's answers are turned into what libusb
// reports from the kernel for them.
#include "tests/usb/libusb_standin.h"

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"

namespace {

// A configuration descriptor as libusb hands it out: the interfaces, each
// with its first alternate setting (all the libusb device reads).
struct Configuration {
    libusb_config_descriptor descriptor{};
    std::vector<libusb_interface> interfaces;
    std::vector<libusb_interface_descriptor> settings;
};

struct StandIn {
    std::mutex lock;
    std::condition_variable wake;
    sim::SimulatedCamera* camera = nullptr;
    bool interrupted = false;
    struct Done {
        libusb_transfer* native;
        USBD_STATUS status;
        ULONG actual;
        std::shared_ptr<usb::Transfer> transfer;
    };
    std::deque<Done> done;
    std::map<libusb_transfer*, std::shared_ptr<usb::Transfer>> inFlight;
    std::map<libusb_config_descriptor*, std::unique_ptr<Configuration>> configurations;
};

StandIn& S() {
    static StandIn* s = new StandIn;
    return *s;
}

sim::SimulatedCamera* Camera() {
    std::lock_guard<std::mutex> g(S().lock);
    return S().camera;
}

// The opaque objects: one context, one device, one handle.
int contextObject, deviceObject, handleObject;
libusb_context* Context() {
    return reinterpret_cast<libusb_context*>(&contextObject);
}
libusb_device* Device() {
    return reinterpret_cast<libusb_device*>(&deviceObject);
}
libusb_device_handle* Handle() {
    return reinterpret_cast<libusb_device_handle*>(&handleObject);
}

// What the kernel reports for a bulk transfer that ended so, as libusb
// passes it on.
libusb_transfer_status TransferStatus(USBD_STATUS s) {
    if (s == USBD_STATUS_SUCCESS) return LIBUSB_TRANSFER_COMPLETED;
    if (s == USBD_STATUS_CANCELED) return LIBUSB_TRANSFER_CANCELLED;
    if (s == USBD_STATUS_STALL_PID || s == USBD_STATUS_ENDPOINT_HALTED)
        return LIBUSB_TRANSFER_STALL;
    if (s == USBD_STATUS_DEVICE_GONE) return LIBUSB_TRANSFER_NO_DEVICE;
    return LIBUSB_TRANSFER_ERROR;
}

// The error a synchronous request that ended so returns.
int RequestError(USBD_STATUS s) {
    if (s == USBD_STATUS_SUCCESS) return LIBUSB_SUCCESS;
    if (s == USBD_STATUS_STALL_PID || s == USBD_STATUS_ENDPOINT_HALTED) return LIBUSB_ERROR_PIPE;
    if (s == USBD_STATUS_DEVICE_GONE) return LIBUSB_ERROR_NO_DEVICE;
    if (s == USBD_STATUS_DEV_NOT_RESPONDING) return LIBUSB_ERROR_TIMEOUT;
    return LIBUSB_ERROR_IO;
}

void Completed(libusb_transfer* native, USBD_STATUS status, ULONG actual) {
    StandIn& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.inFlight.find(native);
    std::shared_ptr<usb::Transfer> t;
    if (it != s.inFlight.end()) {
        t = std::move(it->second);  // kept until its callback has run
        s.inFlight.erase(it);
    }
    s.done.push_back({native, status, actual, std::move(t)});
    s.wake.notify_all();
}

}  // namespace

namespace libusb_standin {

Socket::Socket(sim::SimulatedCamera& camera) {
    std::lock_guard<std::mutex> g(S().lock);
    S().camera = &camera;
}

Socket::~Socket() {
    std::lock_guard<std::mutex> g(S().lock);
    S().camera = nullptr;
}

size_t TransfersInFlight() {
    std::lock_guard<std::mutex> g(S().lock);
    return S().inFlight.size();
}

}  // namespace libusb_standin

extern "C" {

int libusb_init(libusb_context** ctx) {
    if (ctx != nullptr) *ctx = Context();
    return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context*) {}

const char* libusb_strerror(int) {
    return "error of the libusb stand-in";
}

int libusb_has_capability(uint32_t) {
    return 0;  // no hot-plug events: a camera that goes is noticed by its transfers
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    const bool plugged = Camera() != nullptr;
    *list = new libusb_device* [2] { plugged ? Device() : nullptr, nullptr };
    return plugged ? 1 : 0;
}

void libusb_free_device_list(libusb_device** list, int) {
    delete[] list;
}

int libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* d) {
    sim::SimulatedCamera* camera = Camera();
    if (camera == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    const std::vector<uint8_t> b = camera->Descriptor(USB_DEVICE_DESCRIPTOR_TYPE);
    if (b.size() < 18) return LIBUSB_ERROR_IO;
    auto word = [&](size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); };
    d->bLength = b[0];
    d->bDescriptorType = b[1];
    d->bcdUSB = word(2);
    d->bDeviceClass = b[4];
    d->bDeviceSubClass = b[5];
    d->bDeviceProtocol = b[6];
    d->bMaxPacketSize0 = b[7];
    d->idVendor = word(8);
    d->idProduct = word(10);
    d->bcdDevice = word(12);
    d->iManufacturer = b[14];
    d->iProduct = b[15];
    d->iSerialNumber = b[16];
    d->bNumConfigurations = b[17];
    return LIBUSB_SUCCESS;
}

uint8_t libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t libusb_get_device_address(libusb_device*) {
    return 7;
}

int libusb_get_port_numbers(libusb_device*, uint8_t* ports, int length) {
    if (length < 1) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = 4;
    return 1;
}

int libusb_open(libusb_device*, libusb_device_handle** handle) {
    if (Camera() == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    *handle = Handle();
    return LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle*) {}

libusb_device* libusb_get_device(libusb_device_handle*) {
    return Device();
}

int libusb_get_string_descriptor_ascii(libusb_device_handle*, uint8_t, unsigned char*, int) {
    return LIBUSB_ERROR_PIPE;  // the camera has no strings
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_SUCCESS;
}

int libusb_kernel_driver_active(libusb_device_handle*, int) {
    return 0;
}

int libusb_detach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_attach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_claim_interface(libusb_device_handle*, int) {
    return Camera() != nullptr ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_release_interface(libusb_device_handle*, int) {
    return LIBUSB_SUCCESS;
}

int libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int,
                                     libusb_hotplug_callback_fn, void*,
                                     libusb_hotplug_callback_handle*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void libusb_hotplug_deregister_callback(libusb_context*, libusb_hotplug_callback_handle) {}

int libusb_get_active_config_descriptor(libusb_device*, libusb_config_descriptor** out) {
    sim::SimulatedCamera* camera = Camera();
    if (camera == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    const std::vector<uint8_t> b = camera->Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    if (b.size() < 9) return LIBUSB_ERROR_IO;
    auto c = std::make_unique<Configuration>();
    for (size_t at = 0; at + 2 <= b.size() && b[at] >= 2; at += b[at])
        if (b[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 9 <= b.size() && b[at + 3] == 0) {
            libusb_interface_descriptor i{};
            i.bLength = b[at];
            i.bDescriptorType = b[at + 1];
            i.bInterfaceNumber = b[at + 2];
            i.bNumEndpoints = b[at + 4];
            c->settings.push_back(i);
        }
    c->interfaces.resize(c->settings.size());
    for (size_t i = 0; i < c->settings.size(); ++i) c->interfaces[i] = {&c->settings[i], 1};
    c->descriptor.bLength = b[0];
    c->descriptor.bDescriptorType = b[1];
    c->descriptor.wTotalLength = static_cast<uint16_t>(b[2] | b[3] << 8);
    c->descriptor.bNumInterfaces = static_cast<uint8_t>(c->interfaces.size());
    c->descriptor.bConfigurationValue = b[5];
    c->descriptor.interface = c->interfaces.data();
    *out = &c->descriptor;
    std::lock_guard<std::mutex> g(S().lock);
    S().configurations[*out] = std::move(c);
    return LIBUSB_SUCCESS;
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    std::lock_guard<std::mutex> g(S().lock);
    S().configurations.erase(config);
}

int libusb_set_configuration(libusb_device_handle*, int value) {
    sim::SimulatedCamera* camera = Camera();
    if (camera == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    return RequestError(camera->SetConfiguration(static_cast<uint8_t>(value < 0 ? 0 : value)));
}

int libusb_control_transfer(libusb_device_handle*, uint8_t requestType, uint8_t request,
                            uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                            unsigned int) {
    sim::SimulatedCamera* camera = Camera();
    if (camera == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    if (requestType == 0x80 && request == 0x00) {
        // GET_STATUS of the device: any device on an enabled port answers it.
        const ULONG port = camera->PortStatus();
        if ((port & USBD_PORT_CONNECTED) == 0) return LIBUSB_ERROR_NO_DEVICE;
        if ((port & USBD_PORT_ENABLED) == 0) return LIBUSB_ERROR_TIMEOUT;
        for (uint16_t i = 0; i < length && i < 2; ++i) data[i] = 0;
        return length < 2 ? length : 2;
    }
    ULONG moved = 0;
    const USBD_STATUS s =
        camera->ControlTransfer(requestType, request, value, index, data, length, &moved);
    return s == USBD_STATUS_SUCCESS ? static_cast<int>(moved) : RequestError(s);
}

int libusb_clear_halt(libusb_device_handle*, unsigned char endpoint) {
    sim::SimulatedCamera* camera = Camera();
    if (camera == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    return RequestError(camera->ClearHalt(endpoint));
}

int libusb_reset_device(libusb_device_handle*) {
    sim::SimulatedCamera* camera = Camera();
    if (camera == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    const NTSTATUS s = camera->ResetPort();
    if (s == STATUS_SUCCESS) return LIBUSB_SUCCESS;
    return s == STATUS_NO_SUCH_DEVICE ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_IO;
}

libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    const size_t size = sizeof(libusb_transfer) +
                        sizeof(libusb_iso_packet_descriptor) * static_cast<size_t>(isoPackets);
    return static_cast<libusb_transfer*>(std::calloc(1, size));
}

void libusb_free_transfer(libusb_transfer* transfer) {
    std::free(transfer);
}

int libusb_submit_transfer(libusb_transfer* native) {
    sim::SimulatedCamera* camera = Camera();
    if (camera == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    auto t = std::make_shared<usb::Transfer>();
    t->endpoint = native->endpoint;
    t->buffer = native->buffer;
    t->length = static_cast<ULONG>(native->length);
    t->onComplete = [native](usb::Transfer&, USBD_STATUS status, ULONG actual) {
        Completed(native, status, actual);
    };
    {
        std::lock_guard<std::mutex> g(S().lock);
        S().inFlight[native] = t;
    }
    camera->Submit(t);
    return LIBUSB_SUCCESS;
}

int libusb_cancel_transfer(libusb_transfer* native) {
    std::shared_ptr<usb::Transfer> t;
    sim::SimulatedCamera* camera = nullptr;
    {
        std::lock_guard<std::mutex> g(S().lock);
        auto it = S().inFlight.find(native);
        if (it == S().inFlight.end()) return LIBUSB_ERROR_NOT_FOUND;
        t = it->second;
        camera = S().camera;
    }
    t->cancelRequested = true;
    if (camera != nullptr) camera->Cancel(t);
    return LIBUSB_SUCCESS;
}

int libusb_handle_events_timeout_completed(libusb_context*, timeval* tv, int*) {
    StandIn& s = S();
    std::deque<StandIn::Done> batch;
    {
        std::unique_lock<std::mutex> g(s.lock);
        const auto wait = std::chrono::seconds(tv != nullptr ? tv->tv_sec : 0) +
                          std::chrono::microseconds(tv != nullptr ? tv->tv_usec : 0);
        s.wake.wait_for(g, wait, [&] { return !s.done.empty() || s.interrupted; });
        s.interrupted = false;
        batch.swap(s.done);
    }
    for (auto& d : batch) {
        d.native->status = TransferStatus(d.status);
        d.native->actual_length = static_cast<int>(d.actual);
        d.native->callback(d.native);
    }
    return LIBUSB_SUCCESS;
}

void libusb_interrupt_event_handler(libusb_context*) {
    std::lock_guard<std::mutex> g(S().lock);
    S().interrupted = true;
    S().wake.notify_all();
}

}  // extern "C"
