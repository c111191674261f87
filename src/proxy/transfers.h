// The control transfers the tool makes, on the installed USB backend: opening
// and closing a device, descriptor reads, extension-unit control requests and
// vendor requests, each with its success test and its log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "proxy/usb_backend.h"

namespace quillon {

// The backend is not started (LibraryStartup has not run): "path not found".
inline constexpr std::uint32_t kErrorNotStarted = 3;
inline constexpr std::uint32_t kDescriptorTimeoutMs = 5000;
inline constexpr std::uint32_t kControlTimeoutMs = 5000;

// What a transfer did. `error` is the backend's error code, 0 when the
// transfer went through but failed its own test (a short descriptor).
struct UrbResult {
  bool ok = false;
  std::uint32_t error = 0;
  std::size_t length = 0;
};

// Opens the device listed under `instance`; 0 or the error (kErrorNotStarted
// before start-up).
std::uint32_t VxProxy_Open(const std::string& instance, UsbHandle& out);
// 0 or the error; a zero handle is not an error.
std::uint32_t VxProxy_Close(UsbHandle device);
// One control transfer; logs a failure with its error code.
UrbResult VxProxy_SendUrb(UsbHandle device, const SetupPacket& setup, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs);

// The 18-byte device descriptor; fails unless all 18 bytes arrive.
UrbResult GetDeviceDescriptor(UsbHandle device, std::span<std::uint8_t, 18> buffer);
// The configuration descriptor, buffer.size() bytes; fails unless all arrive.
UrbResult GetConfigureDescriptor(UsbHandle device, std::span<std::uint8_t> buffer);
// A string descriptor; a short answer succeeds.
UrbResult GetStringDescriptor(UsbHandle device, std::span<std::uint8_t> buffer, std::uint8_t index,
                              std::uint16_t languageId);
// A class request to an extension unit's control: wValue = selector << 8,
// wIndex = unitId << 8 | interfaceNumber.
UrbResult UvcControlRequest(UsbHandle device, std::uint8_t requestType, std::uint8_t request, std::uint8_t selector,
                            std::uint8_t unitId, std::uint8_t interfaceNumber, std::span<std::uint8_t> buffer,
                            bool deviceToHost, std::uint32_t timeoutMs);
// A vendor request to the device. The direction follows transferFlags (1 =
// device to host), whatever the request type byte says.
UrbResult UsbVendorRequest(UsbHandle device, std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index, std::span<std::uint8_t> buffer, std::uint32_t transferFlags,
                           std::uint32_t timeoutMs);

// The setup packets the two request kinds send (pure; for tests and logs).
SetupPacket UvcControlSetup(std::uint8_t request, std::uint8_t selector, std::uint8_t unitId,
                            std::uint8_t interfaceNumber, std::uint16_t length, bool deviceToHost);
SetupPacket VendorSetup(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint16_t length, std::uint32_t transferFlags);

}  // namespace quillon
