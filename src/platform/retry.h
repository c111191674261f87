// The one attempt loop of the system: up to `attempts` tries of a command,
// 128 ms apart, each after asking whether the caller has given up.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace quillon {

inline constexpr std::uint32_t kRetryPauseMs = 128;

// True as soon as `command` does; false when every attempt failed or `stopped` said so first.
template <class Stopped, class Command>
bool TryAttempts(int attempts, Stopped&& stopped, Command&& command) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (stopped()) return false;
    if (command()) return true;
    if (attempt + 1 < attempts) TheClock().SleepMs(kRetryPauseMs);
  }
  return false;
}

// For the layers below the flows, which have no cancel of their own.
inline bool NeverStopped() { return false; }

}  // namespace quillon
