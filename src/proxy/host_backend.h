// The backend for real chips on the host's USB stack.
#pragma once

#include <memory>

#include "proxy/usb_backend.h"

namespace quillon {

// libusb on this host; when libusb cannot start (a host without USB), a bus
// that lists nothing, fails every open and says why through Problem().
std::unique_ptr<UsbBackend> MakeHostBackend();

}  // namespace quillon
