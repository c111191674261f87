// A backend that shows only the device at one port location: a gang worker
// sees its own chip and nothing else, before and after the chip re-enumerates,
// so every way the flows find a device finds that chip.
#pragma once

#include <memory>
#include <string>

#include "proxy/usb_backend.h"

namespace quillon {

std::unique_ptr<UsbBackend> FilterToLocation(std::unique_ptr<UsbBackend> inner, std::string location);

}  // namespace quillon
