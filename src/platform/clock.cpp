#include "platform/clock.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quillon {
namespace {

class SystemClock final : public Clock {
 public:
  std::uint64_t NowMs() override {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
  void SleepMs(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

SystemClock& System() {
  static SystemClock clock;
  return clock;
}

std::atomic<Clock*>& Current() {
  static std::atomic<Clock*> current{&System()};
  return current;
}

}  // namespace

Clock& TheClock() { return *Current().load(); }

ScopedClockOverride::ScopedClockOverride(Clock& clock) : previous_(Current().exchange(&clock)) {}

ScopedClockOverride::~ScopedClockOverride() { Current().store(previous_); }

std::uint32_t TickCount() { return static_cast<std::uint32_t>(TheClock().NowMs()); }

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

}  // namespace quillon
