// The device result code every command of this layer returns: 0 for success,
// a failed transfer as 0x80070000 combined with the USB error code, and a few
// fixed values. The flat VxCam_* functions turn it into 1 (success) or 0.
#pragma once

#include <cstdint>

#include "proxy/transfers.h"

namespace quillon {

inline constexpr std::uint32_t kResultOk = 0;
// The command lock was not obtained; nothing was sent.
inline constexpr std::uint32_t kResultLockNotTaken = 1;
// A transfer failed and the backend named no error.
inline constexpr std::uint32_t kResultFail = 0x80004005;
inline constexpr std::uint32_t kResultInvalidArgument = 0x80070057;
// The transport does not carry this command.
inline constexpr std::uint32_t kResultNotImplemented = 0x80004001;
// A transfer to a device that has left the bus.
inline constexpr std::uint32_t kResultDeviceGone = 0x8007048F;

constexpr std::uint32_t ResultFromError(std::uint32_t usbError) {
  return usbError == 0 ? kResultFail : 0x80070000u | (usbError & 0xFFFFu);
}

constexpr std::uint32_t ResultOf(const UrbResult& urb) { return urb.ok ? kResultOk : ResultFromError(urb.error); }

}  // namespace quillon
