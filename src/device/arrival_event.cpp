#include "device/arrival_event.h"

#include <algorithm>

#include "platform/clock.h"

namespace quillon {

bool ArrivalEvent::Wait(std::uint32_t timeoutMs) {
  std::uint32_t waited = 0;
  while (!signalled_) {
    if (waited >= timeoutMs) return false;
    const std::uint32_t step = std::min(kStepMs, timeoutMs - waited);
    TheClock().SleepMs(step);
    waited += step;
  }
  return true;
}

}  // namespace quillon
