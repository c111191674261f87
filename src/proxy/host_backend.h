// The backend for real chips on the host's USB stack.
#pragma once

#include <memory>

#include "proxy/usb_backend.h"

namespace quillon {

// Until the libusb backend is built this is an empty bus: it lists no devices
// and every open fails with kUsbErrorNotFound.
std::unique_ptr<UsbBackend> MakeHostBackend();

}  // namespace quillon
