// Waits and time-outs taken from the settings, held to ranges that cannot
// stall a station: unchecked, a negative value reaches the clock as some 49
// days and an erase time-out of 0 reaches libusb as "no time-out".
#pragma once

#include <cstdint>
#include <string_view>

#include "data/settings.h"
#include "device/reset_reopen.h"

namespace quillon {

struct WaitRange {
  std::string_view key;
  int defaultMs;
  std::uint32_t minMs;
  std::uint32_t maxMs;
};

// "Wait Time": the longest wait for a chip after a reset, within the reset's own limit.
inline constexpr WaitRange kWaitTimeRange{key::kWaitTime, 5000, 0, kResetLimitMs};
// "EraseTimeOut": the chip erase command's time-out.
inline constexpr WaitRange kEraseTimeOutRange{key::kEraseTimeOut, 10000, 1000, 120000};
// "EraseCommandTime": the pause after a chip erase.
inline constexpr WaitRange kEraseCommandTimeRange{key::kEraseCommandTime, 0, 0, 60000};

// The setting in milliseconds, read as a signed number and clamped to the range.
std::uint32_t SettingWaitMs(const WaitRange& range);

}  // namespace quillon
