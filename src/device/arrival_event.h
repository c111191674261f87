// The device object's arrival event: set when the platform reports a device
// arrival, waited on while a reset chip is off the bus. A manual-reset event.
// The wait goes through TheClock() in short steps, so a test's virtual clock
// never spends real time.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillon {

class ArrivalEvent {
 public:
  void Set() { signalled_ = true; }
  void Reset() { signalled_ = false; }
  bool IsSet() const { return signalled_; }
  // Waits until set or `timeoutMs` passed; true when set.
  bool Wait(std::uint32_t timeoutMs);

  static constexpr std::uint32_t kStepMs = 50;

 private:
  std::atomic<bool> signalled_{false};
};

}  // namespace quillon
