// The libusb-1.0 device: synchronous control requests, asynchronous bulk
// transfers completed on one event thread, cancellation, clear-halt, device
// reset, and removal noticed from the transfers themselves or from hot-plug
// events where libusb has them.
#include "platform/usb/libusb/libusb_device.h"

#include <libusb-1.0/libusb.h>

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/kernel/frame_path.h"

namespace usb {
namespace {

constexpr unsigned kControlTimeoutMs = 5000;

std::string Hex4(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

std::string Ids(const std::vector<UsbId>& ids) {
    std::string s;
    for (const auto& id : ids)
        s += (s.empty() ? "" : ", ") + Hex4(id.vendor) + ":" + Hex4(id.product);
    return s;
}

bool Matches(const libusb_device_descriptor& d, const std::vector<UsbId>& ids) {
    for (const auto& id : ids)
        if (d.idVendor == id.vendor && d.idProduct == id.product) return true;
    return false;
}

// A libusb context for a look at the attached devices.
struct Context {
    libusb_context* ctx = nullptr;
    int error = 0;
    Context() { error = libusb_init(&ctx); }
    ~Context() {
        if (error == 0) libusb_exit(ctx);
    }
};

// "BUS-PORT.PORT...", as the kernel names a USB socket.
std::string PortPath(libusb_device* device) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string s = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < n; ++i) {
        s += i == 0 ? '-' : '.';
        s += std::to_string(ports[i]);
    }
    return s;
}

}  // namespace

bool ParseUsbDeviceName(const std::string& full, UsbId* id, bool* any, std::string* port) {
    const size_t at = full.find('@');
    const std::string name = full.substr(0, at);
    if (name != "usb" && name.rfind("usb:", 0) != 0) return false;
    std::string where = at == std::string::npos ? "" : full.substr(at + 1);
    if (at != std::string::npos &&
        (where.empty() || where.find_first_not_of("0123456789-.") != std::string::npos ||
         where.find('-') == std::string::npos))
        throw std::invalid_argument(
            "'" + full +
            "': after '@' comes the USB socket as 'norvikcam list' shows it, e.g. @1-2.3");
    if (port != nullptr) *port = where;
    if (name == "usb") {
        *any = true;
        return true;
    }
    unsigned vendor = 0, product = 0;
    char tail = 0;
    if (std::sscanf(name.c_str() + 4, "%x:%x%c", &vendor, &product, &tail) != 2 ||
        vendor > 0xFFFF || product > 0xFFFF)
        throw std::invalid_argument(
            "'" + full +
            "' is not a USB device name: write usb:VID:PID in hexadecimal, e.g. usb:4e56:2560");
    *id = {static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)};
    *any = false;
    return true;
}

std::vector<FoundDevice> FindUsbDevices(const std::vector<UsbId>& ids) {
    std::vector<FoundDevice> found;
    Context c;
    if (c.error != 0) return found;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(c.ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || !Matches(d, ids)) continue;
        FoundDevice f{{d.idVendor, d.idProduct},
                      libusb_get_bus_number(list[i]),
                      libusb_get_device_address(list[i]),
                      PortPath(list[i]),
                      ""};
        f.name = "usb:" + Hex4(d.idVendor) + ":" + Hex4(d.idProduct) + "@" + f.port;
        found.push_back(f);
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return found;
}

int64_t UsbfsMemoryLimit(const std::string& path) {
    std::ifstream in(path);
    long long mb = -1;
    if (!(in >> mb) || mb < 0) return -1;
    return static_cast<int64_t>(mb) * 1024 * 1024;
}

std::vector<std::string> ProcessesHolding(const std::string& node, const std::string& proc) {
    namespace fs = std::filesystem;
    std::vector<std::string> holders;
    std::error_code ec;
    const std::string self = std::to_string(::getpid());
    for (fs::directory_iterator p(proc, ec), end; !ec && p != end; p.increment(ec)) {
        const std::string pid = p->path().filename();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(p->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
             fd.increment(fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd->path(), linkError) != node || linkError) continue;
            std::string name;
            std::ifstream(p->path() / "comm") >> name;
            holders.push_back((name.empty() ? std::string("a program") : name) + " (pid " + pid +
                              ")");
            break;
        }
    }
    return holders;
}

std::unique_ptr<LibusbDevice> LibusbDevice::Open(const std::vector<UsbId>& ids,
                                                 const std::string& port) {
    std::unique_ptr<LibusbDevice> d(new LibusbDevice());
    int r = libusb_init(&d->context_);
    if (r != 0) {
        d->context_ = nullptr;
        throw LibusbError(std::string("USB is not available here (libusb: ") + libusb_strerror(r) +
                          ")");
    }
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(d->context_, &list);
    libusb_device* chosen = nullptr;
    libusb_device_descriptor desc{};
    for (ssize_t i = 0; i < n && chosen == nullptr; ++i)
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && Matches(desc, ids) &&
            (port.empty() || PortPath(list[i]) == port))
            chosen = list[i];
    if (chosen == nullptr) {
        if (n >= 0) libusb_free_device_list(list, 1);
        throw LibusbError("no camera with USB id " + Ids(ids) +
                          (port.empty() ? "" : " at " + port) +
                          " is attached ('norvikcam list' shows what is)");
    }
    d->port_ = PortPath(chosen);
    d->identity_ = "port-" + d->port_;
    char path[64];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(chosen),
                  libusb_get_device_address(chosen));
    d->node_ = path;
    d->address_ = libusb_get_device_address(chosen);
    r = libusb_open(chosen, &d->handle_);
    libusb_free_device_list(list, 1);
    if (r == LIBUSB_ERROR_ACCESS)
        throw LibusbError(std::string("permission denied opening the camera at ") + path +
                          ": install udev/60-norvikcam.rules into /etc/udev/rules.d, add yourself "
                          "to the plugdev group "
                          "and plug the camera in again (see the README)");
    if (r != 0) {
        d->handle_ = nullptr;
        throw LibusbError(std::string("cannot open the camera at ") + path + ": " +
                          libusb_strerror(r));
    }
    d->description_ = std::string("USB camera at ") + path;
    if (desc.iSerialNumber != 0) {
        unsigned char serial[128] = {};
        int len = libusb_get_string_descriptor_ascii(d->handle_, desc.iSerialNumber, serial,
                                                     sizeof serial - 1);
        std::string text(reinterpret_cast<char*>(serial), len > 0 ? static_cast<size_t>(len) : 0);
        // Only characters that can stand in a registry key's name.
        for (char& c : text)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
                c = '_';
        if (!text.empty()) d->identity_ = "serial-" + text;
    }
    libusb_set_auto_detach_kernel_driver(d->handle_, 1);
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        auto left = [](libusb_context*, libusb_device* device, libusb_hotplug_event, void* user) {
            auto* self = static_cast<LibusbDevice*>(user);
            if (device == libusb_get_device(self->handle_)) self->gone_ = true;
            return 0;
        };
        int handle = -1;
        if (libusb_hotplug_register_callback(d->context_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                             LIBUSB_HOTPLUG_NO_FLAGS, desc.idVendor, desc.idProduct,
                                             LIBUSB_HOTPLUG_MATCH_ANY, left, d.get(),
                                             &handle) == LIBUSB_SUCCESS)
            d->hotplug_ = handle;
    }
    d->events_ = std::thread([self = d.get()] { self->EventLoop(); });
    return d;
}

LibusbDevice::~LibusbDevice() {
    if (handle_ != nullptr) {
        {
            std::unique_lock<std::mutex> g(lock_);
            for (auto& [native, f] : inFlight_) libusb_cancel_transfer(native);
            // Every callback runs on the event thread, still going here.
            idle_.wait_for(g, std::chrono::seconds(5), [this] { return inFlight_.empty(); });
        }
        ReleaseInterfaces();
        // What was bound before the camera was opened is bound again.
        if (!gone_)
            for (int i : detached_) libusb_attach_kernel_driver(handle_, i);
    }
    if (hotplug_ >= 0) libusb_hotplug_deregister_callback(context_, hotplug_);
    stop_ = true;
    if (context_ != nullptr) libusb_interrupt_event_handler(context_);
    if (events_.joinable()) events_.join();
    if (handle_ != nullptr) libusb_close(handle_);
    if (context_ != nullptr) libusb_exit(context_);
}

void LibusbDevice::EventLoop() {
    const kernel::FramePathThread onPath("nv-libusb");
    while (!stop_) {
        timeval tv{0, 200000};
        // An error that comes back at once must not spin a real-time thread.
        const int e = libusb_handle_events_timeout_completed(context_, &tv, nullptr);
        if (e < 0 && e != LIBUSB_ERROR_INTERRUPTED)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

USBD_STATUS LibusbDevice::Status(int e) {
    switch (e) {
        case LIBUSB_SUCCESS:
            return USBD_STATUS_SUCCESS;
        case LIBUSB_ERROR_NO_DEVICE:
            gone_ = true;
            return USBD_STATUS_DEVICE_GONE;
        case LIBUSB_ERROR_PIPE:
            return USBD_STATUS_STALL_PID;
        case LIBUSB_ERROR_TIMEOUT:
            return USBD_STATUS_DEV_NOT_RESPONDING;
        case LIBUSB_ERROR_INVALID_PARAM:
            return USBD_STATUS_INVALID_PARAMETER;
        case LIBUSB_ERROR_NO_MEM:
            return USBD_STATUS_NO_MEMORY;
        default:
            return USBD_STATUS_XACT_ERROR;
    }
}

USBD_STATUS LibusbDevice::ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                          uint16_t index, uint8_t* data, uint16_t length,
                                          ULONG* transferred) {
    *transferred = 0;
    int r = libusb_control_transfer(handle_, requestType, request, value, index, data, length,
                                    kControlTimeoutMs);
    if (r < 0) return Status(r);
    *transferred = static_cast<ULONG>(r);
    return USBD_STATUS_SUCCESS;
}

void LibusbDevice::ReleaseInterfaces() {
    for (int i : claimed_) libusb_release_interface(handle_, i);
    claimed_.clear();
}

std::string LibusbDevice::Refusal() const {
    std::lock_guard<std::mutex> g(refusalLock_);
    return refusal_;
}

// A configuration cannot be set while any interface is claimed, and the
// automatic detach acts only when an interface is claimed, after that: a
// kernel driver bound to the camera is let go here first. An interface a
// program holds through usbfs is not taken from it.
void LibusbDevice::DetachKernelDrivers() {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(handle_), &config) != 0) return;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const int number = config->interface[i].altsetting[0].bInterfaceNumber;
        if (libusb_kernel_driver_active(handle_, number) == 1 &&
            libusb_detach_kernel_driver(handle_, number) == 0)
            detached_.push_back(number);
    }
    libusb_free_config_descriptor(config);
}

// Deconfiguring (value 0) lets the interfaces go but leaves the camera in
// the configuration it is in: on this system the kernel configures a device
// when it arrives, and its drivers and other programs expect to find it so.
USBD_STATUS LibusbDevice::SetConfiguration(uint8_t value) {
    ReleaseInterfaces();
    if (value == 0) return USBD_STATUS_SUCCESS;
    DetachKernelDrivers();
    int r = libusb_set_configuration(handle_, value);
    if (r == LIBUSB_ERROR_BUSY) {
        // Someone still holds an interface: say who, as the system tells it.
        std::string who;
        for (const std::string& h : ProcessesHolding(node_)) who += (who.empty() ? "" : ", ") + h;
        std::string driver;
        std::error_code ec;
        auto link =
            std::filesystem::read_symlink("/sys/bus/usb/devices/" + port_ + ":1.0/driver", ec);
        if (!ec) driver = link.filename();
        std::string text;
        if (!who.empty())
            text = "the camera is in use by " + who + ", which has " + node_ +
                   " open: close it, or wait until it is done";
        else if (!driver.empty() && driver != "usbfs")
            text = "the camera is held by the kernel driver '" + driver +
                   "', which would not let it go: unbind it with "
                   "'echo " +
                   port_ + ":1.0 > /sys/bus/usb/drivers/" + driver + "/unbind' as root";
        else
            text = "the camera is in use by another program (one this user cannot see: 'fuser -v " +
                   node_ + "' as root names it): close it, or wait until it is done";
        std::lock_guard<std::mutex> g(refusalLock_);
        refusal_ = text;
    }
    if (r != 0) return Status(r);
    // Bulk transfers need the configuration's interfaces claimed.
    libusb_config_descriptor* config = nullptr;
    r = libusb_get_active_config_descriptor(libusb_get_device(handle_), &config);
    if (r != 0) return Status(r);
    for (int i = 0; i < config->bNumInterfaces && r == 0; ++i) {
        const int number = config->interface[i].altsetting[0].bInterfaceNumber;
        r = libusb_claim_interface(handle_, number);
        if (r == 0)
            claimed_.push_back(number);
        else if (r == LIBUSB_ERROR_BUSY) {
            std::lock_guard<std::mutex> g(refusalLock_);
            refusal_ = "interface " + std::to_string(number) +
                       " of the camera is claimed by another program: close it, "
                       "or wait until it is done";
        }
    }
    libusb_free_config_descriptor(config);
    return Status(r);
}

void LibusbDevice::Submit(std::shared_ptr<Transfer> t) {
    if (t->cancelRequested) return t->Complete(USBD_STATUS_CANCELED, 0);
    if (gone_) return t->Complete(USBD_STATUS_DEVICE_GONE, 0);
    libusb_transfer* native = libusb_alloc_transfer(0);
    if (native == nullptr) return t->Complete(USBD_STATUS_XACT_ERROR, 0);
    libusb_fill_bulk_transfer(native, handle_, t->endpoint, t->buffer, static_cast<int>(t->length),
                              Callback, this, 0);
    int r;
    {
        std::lock_guard<std::mutex> g(lock_);
        inFlight_[native] = t;
        r = libusb_submit_transfer(native);
        if (r != 0) inFlight_.erase(native);
        // A cancel that came between the check above and the submission
        // found nothing to cancel: do it now.
        else if (t->cancelRequested)
            libusb_cancel_transfer(native);
    }
    if (r != 0) {
        // usbfs shares one memory budget among every program: this is the
        // sign that others left too little of it for a frame.
        if (r == LIBUSB_ERROR_NO_MEM) ++noMemory_;
        libusb_free_transfer(native);
        t->Complete(Status(r), 0);
    }
}

void LibusbDevice::Callback(libusb_transfer* native) {
    auto* self = static_cast<LibusbDevice*>(native->user_data);
    USBD_STATUS status;
    switch (native->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            status = USBD_STATUS_SUCCESS;
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            status = USBD_STATUS_CANCELED;
            break;
        case LIBUSB_TRANSFER_STALL:
            status = USBD_STATUS_STALL_PID;
            break;
        case LIBUSB_TRANSFER_NO_DEVICE:
            self->gone_ = true;
            status = USBD_STATUS_DEVICE_GONE;
            break;
        default:  // error, timed out, overflow
            status = USBD_STATUS_XACT_ERROR;
            break;
    }
    const auto actual = static_cast<ULONG>(native->actual_length);
    std::shared_ptr<Transfer> t;
    {
        std::lock_guard<std::mutex> g(self->lock_);
        auto it = self->inFlight_.find(native);
        if (it != self->inFlight_.end()) {
            t = std::move(it->second);
            self->inFlight_.erase(it);
        }
    }
    libusb_free_transfer(native);
    if (t) t->Complete(status, actual);
    std::lock_guard<std::mutex> g(self->lock_);
    self->idle_.notify_all();
}

void LibusbDevice::Cancel(const std::shared_ptr<Transfer>& t) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& [native, f] : inFlight_)
        if (f == t) libusb_cancel_transfer(native);
}

void LibusbDevice::AbortEndpoint(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& [native, f] : inFlight_)
        if (f->endpoint == endpoint) libusb_cancel_transfer(native);
}

USBD_STATUS LibusbDevice::ClearHalt(uint8_t endpoint) {
    return Status(libusb_clear_halt(handle_, endpoint));
}

ULONG LibusbDevice::PortStatus() {
    if (gone_) return 0;
    // GET_STATUS of the device: answered by any device that is attached and
    // addressed, whatever it runs.
    uint8_t status[2];
    int r = libusb_control_transfer(handle_, 0x80, 0x00, 0, 0, status, sizeof status,
                                    kControlTimeoutMs);
    if (r >= 0) return USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
    return Status(r) == USBD_STATUS_DEVICE_GONE ? 0 : USBD_PORT_CONNECTED;
}

NTSTATUS LibusbDevice::ResetPort() {
    int r = libusb_reset_device(handle_);
    if (r == 0) return STATUS_SUCCESS;
    // NOT_FOUND: the device came back as another one and must be opened anew.
    if (r == LIBUSB_ERROR_NOT_FOUND || r == LIBUSB_ERROR_NO_DEVICE) {
        reenumerated_ = true;
        gone_ = true;
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_UNSUCCESSFUL;
}

}  // namespace usb
