// The decisions of the reset sequence that depend only on numbers: which value
// goes with the reset command and which transport carries it, what the chip
// mode asks for, and where the chip is looked for when it comes back.
#pragma once

#include <cstdint>

#include "proxy/usb_backend.h"

namespace quillon {

// The reset commands; the numbers are the chip's command codes.
enum class ResetCode : std::uint8_t {
  kToUpdateFW = 7,  // into the ROM loader, with a sub-mode
  kToNewCode = 8,
  kToRom = 9,  // into the new code
  // The reset to ROM carried by vendor requests whatever the probe says.
  kToRomByRequest = 10,
};

struct ResetValuePlan {
  std::uint16_t sent = 0;   // goes with the reset command
  std::uint16_t later = 0;  // goes with the reconnect check
  bool fast = false;        // no wait for the old device to go
  std::uint32_t vendorRequest6 = 0;
  std::uint32_t vendorTransport = 0;
};

// Value 2 is sent as 2 and checked as 1; 2 and 5 ask for the fast reset. A
// forced extension unit (with a unit) drops both vendor transports. On the
// extension unit alone the chip reads 0 and 1 the other way round.
constexpr ResetValuePlan PlanResetValue(std::uint16_t value, bool forceUnit, int unitId, std::uint32_t vendorRequest6,
                                        std::uint32_t vendorTransport) {
  ResetValuePlan plan{value, value, false, vendorRequest6, vendorTransport};
  if (value == 2) plan.later = 1;
  if (forceUnit && unitId > 0) plan.vendorTransport = plan.vendorRequest6 = 0;
  if (plan.sent != 2 && plan.vendorTransport == 0 && plan.vendorRequest6 == 0) {
    if (plan.sent == 0) {
      plan.sent = 1;
    } else if (plan.sent == 1) {
      plan.sent = 0;
    }
  }
  plan.fast = plan.sent == 2 || plan.sent == 5;
  return plan;
}

// These variants need longer to come back after a reset.
constexpr bool NeedsExtraWait(std::uint16_t chipMode) { return chipMode == 0xB013 || chipMode == 0xB014; }

// The class the chip comes back in: a camera stays a camera; an audio chip
// reset to its loader with mode 0x0010 comes back as a camera.
constexpr DeviceKind ReopenKind(DeviceKind oldKind, ResetCode command, std::uint16_t chipMode) {
  if (oldKind == DeviceKind::kCamera) return DeviceKind::kCamera;
  if (command == ResetCode::kToUpdateFW && chipMode == 0x0010) return DeviceKind::kCamera;
  return DeviceKind::kAudio;
}

}  // namespace quillon
