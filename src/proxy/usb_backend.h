// The one door to USB: list the chips on the bus, open and close them, and make
// one synchronous control transfer at a time. Two implementations exist: the
// host's USB stack (real chips) and the chip simulator. The transfer functions of
// the device layer build their setup packets on top of this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "proxy/usb_errors.h"

namespace quillon {

// Which class-specific control interface a device has.
enum class DeviceKind : std::uint8_t {
  kAudio = 0,   // audio-class control interface
  kCamera = 1,  // video-class control interface
};

// One entry of a bus listing.
struct UsbDeviceInfo {
  // Names this enumeration of the device; a device that re-enumerates (after a
  // reset) comes back under a new instance name even at the same location.
  std::string instance;
  // The physical port: bus number and port chain, e.g. "3-1.4". Stays the same
  // across re-enumerations.
  std::string location;
  DeviceKind kind = DeviceKind::kAudio;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t interfaceNumber = 0;  // the class control interface
};

// Opaque, non-zero while open.
using UsbHandle = std::uint64_t;

struct SetupPacket {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;

  bool DeviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

struct TransferResult {
  std::uint32_t error = kUsbOk;  // one of the codes of usb_errors.h
  std::size_t length = 0;        // bytes moved in the data stage
  bool ok() const { return error == kUsbOk; }
};

// Receives arrival and removal events, on the thread that calls HandleEvents().
class UsbEventListener {
 public:
  virtual ~UsbEventListener() = default;
  virtual void OnDeviceArrived(const UsbDeviceInfo& device) = 0;
  virtual void OnDeviceRemoved(const UsbDeviceInfo& device) = 0;
};

class UsbBackend {
 public:
  virtual ~UsbBackend() = default;

  // The devices present now. Listing never claims or opens anything.
  virtual std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) = 0;

  // Opens the device listed under `instance`. kUsbErrorNotFound when no such
  // instance is on the bus (any more).
  virtual std::uint32_t Open(const std::string& instance, UsbHandle& out) = 0;
  virtual void Close(UsbHandle handle) = 0;

  // One control transfer. `data` must hold at least wLength bytes: the bytes to
  // send (host to device) or room for the answer (device to host). A transfer on
  // a handle whose device has left the bus fails with kUsbErrorDeviceGone.
  virtual TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                         std::uint32_t timeoutMs) = 0;

  // Arrival and removal events go to `listener` (null: none) from HandleEvents.
  virtual void SetEventListener(UsbEventListener* listener) = 0;
  // Delivers the events that happened since the last call; returns how many.
  virtual std::size_t HandleEvents() = 0;

  // Whether arrival and removal events come at all; when not, HotplugError()
  // gives the platform's reason as a number.
  virtual bool HotplugAvailable() const { return true; }
  virtual int HotplugError() const { return 0; }

  // Why this backend cannot reach any device (one line), or empty when it can.
  virtual std::string Problem() const { return {}; }
};

}  // namespace quillon
