// The error codes every USB backend reports. The upper layers keep these
// numbers (they combine them into device result codes), so each backend maps
// its own failures onto them.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon {

inline constexpr std::uint32_t kUsbOk = 0;
inline constexpr std::uint32_t kUsbErrorNotFound = 2;
inline constexpr std::uint32_t kUsbErrorAccessDenied = 5;
inline constexpr std::uint32_t kUsbErrorNotReady = 21;
inline constexpr std::uint32_t kUsbErrorIo = 31;  // stall or I/O error
inline constexpr std::uint32_t kUsbErrorInvalidArgument = 87;
inline constexpr std::uint32_t kUsbErrorBusy = 170;
inline constexpr std::uint32_t kUsbErrorNoMoreItems = 259;
inline constexpr std::uint32_t kUsbErrorDeviceGone = 1167;
inline constexpr std::uint32_t kUsbErrorTimeout = 1460;

// A short name for log lines ("device gone"); "error" for unknown codes.
std::string_view UsbErrorName(std::uint32_t code);

}  // namespace quillon
