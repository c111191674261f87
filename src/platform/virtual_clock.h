// A clock for in-process tests: sleeping advances virtual time at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace quillon {

class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(std::uint64_t startMs = 1000) : now_(startMs) {}
  std::uint64_t NowMs() override { return now_.load(); }
  void SleepMs(std::uint32_t ms) override {
    now_ += ms;
    slept_ += ms;
  }
  void Advance(std::uint64_t ms) { now_ += ms; }
  // Total of all SleepMs calls, for tests that check a wait was made.
  std::uint64_t SleptMs() const { return slept_.load(); }

 private:
  std::atomic<std::uint64_t> now_;
  std::atomic<std::uint64_t> slept_{0};
};

}  // namespace quillon
