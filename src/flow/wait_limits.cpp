#include "flow/wait_limits.h"

#include <algorithm>
#include <string>

#include "platform/debug_channel.h"

namespace quillon {

std::uint32_t SettingWaitMs(const WaitRange& range) {
  const auto value = static_cast<std::int32_t>(Setting(range.key, range.defaultMs));
  const std::int64_t clamped = std::clamp<std::int64_t>(value, range.minMs, range.maxMs);
  if (clamped != value) {
    DebugPrint("%s=%d is outside %u..%u ms, using %u\n", std::string(range.key).c_str(), static_cast<int>(value),
               range.minMs, range.maxMs, static_cast<unsigned>(clamped));
  }
  return static_cast<std::uint32_t>(clamped);
}

}  // namespace quillon
