// Time and waiting. Every pause of the system goes through TheClock(), so that
// in-process tests can swap in a virtual clock and never spend real time.
#pragma once

#include <cstdint>

namespace quillon {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds since an arbitrary start.
  virtual std::uint64_t NowMs() = 0;
  virtual void SleepMs(std::uint32_t ms) = 0;
};

// The process's clock: the system clock unless a test installed another one.
Clock& TheClock();

// Installs `clock` for the lifetime of this object (tests).
class ScopedClockOverride {
 public:
  explicit ScopedClockOverride(Clock& clock);
  ~ScopedClockOverride();
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;

 private:
  Clock* previous_;
};

// Milliseconds of the process clock as a 32-bit value (wraps after 49 days).
std::uint32_t TickCount();

// The kernel's id of the calling thread.
std::uint32_t CurrentThreadId();

}  // namespace quillon
