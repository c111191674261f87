// The backend for real chips: libusb on the host's USB stack.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "proxy/usb_backend.h"

namespace quillon {

// The backend, or nothing when libusb cannot start on this host (`why` then
// says why in one line).
std::unique_ptr<UsbBackend> MakeLibusbBackend(std::string& why);

// libusb's error codes in the numbers the upper layers keep.
std::uint32_t UsbErrorFromLibusb(int libusbError);

// One interface (alternate setting 0) of a configuration.
struct InterfaceClass {
  std::uint8_t number;
  std::uint8_t cls;
  std::uint8_t subClass;
};

// The kind of a device from its interfaces: the first with an audio control
// (0x01/0x01) or video control (0x0E/0x01) class decides, and its number is the
// control interface. False when it has neither (not a chip of ours).
bool ClassifyInterfaces(std::span<const InterfaceClass> interfaces, DeviceKind& kind, std::uint8_t& interfaceNumber);

}  // namespace quillon
