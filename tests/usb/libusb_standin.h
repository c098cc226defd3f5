// libusb as the libusb device meets it, with a simulated camera plugged into
// its one USB socket: the test program that links libusb_standin.cpp gets
// these definitions of the libusb calls instead of the library's (the
// program's own definitions win over a shared library's), so the libusb
// device runs unchanged, on a host without USB. What the camera does comes
// back as libusb reports it from the kernel: a transfer on a halted
// endpoint completes with LIBUSB_TRANSFER_STALL, a control request the
// camera refuses fails with LIBUSB_ERROR_PIPE, a camera gone with
// LIBUSB_TRANSFER_NO_DEVICE. Completions run on the thread that handles
// libusb's events, as with the library.
#pragma once

#include "sim/simulated_camera.h"

namespace libusb_standin {

// The camera in the socket (bus 1, port 4) for as long as this lives; one
// at a time. It must outlive every libusb device opened on it.
class Socket {
  public:
    explicit Socket(sim::SimulatedCamera& camera);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
};

// Transfers submitted and not yet completed.
size_t TransfersInFlight();

}  // namespace libusb_standin
