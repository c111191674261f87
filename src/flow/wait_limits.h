// Waits and time-outs taken from the settings, held to their ranges (the
// ranges and why they exist: data/setting_rules.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "data/setting_rules.h"
#include "device/reset_reopen.h"

namespace quillon {

static_assert(kWaitTimeRange.maxMs == kResetLimitMs, "a reset never waits longer than its own limit");

// The setting in milliseconds, read as a signed number and clamped to the range.
std::uint32_t SettingWaitMs(const WaitRange& range);

}  // namespace quillon
