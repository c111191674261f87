// What a whole run holds so that single-chip runs and gang runs never work at
// the same time, while single-chip runs still interleave command by command
// among themselves and gangs run side by side on different chips.
//
//   single-chip run: the run gate shared for the run; first waits until no
//                    gang holds the command lock (its commands then take the
//                    command lock exclusively, one sequence at a time).
//   gang parent:     the run gate exclusively while it takes the command lock
//                    shared; keeps the command lock shared until its workers end.
//   gang worker:     the command lock shared for the run (its parent holds it
//                    already) and the lock of its own chip exclusively.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/process_lock.h"

namespace quillon {

inline constexpr const char* kRunGateName = "ICOperateSync_2014_3_28.gate";
// How long a run waits for the other kind of run to end: a gang of slow chips
// takes minutes.
inline constexpr std::uint32_t kRunLockWaitMs = 15 * 60 * 1000;
// A station whose gangs are quicker (or slower) sets its own wait in milliseconds.
inline constexpr const char* kRunLockWaitEnv = "QUILLON_RUN_WAIT_MS";

// $QUILLON_RUN_WAIT_MS when it is a decimal number, else kRunLockWaitMs.
std::uint32_t RunLockWaitMs();

enum class RunLockResult { kHeld, kBusy, kFailed };

class RunLocks {
 public:
  RunLocks();
  ~RunLocks();
  RunLocks(const RunLocks&) = delete;
  RunLocks& operator=(const RunLocks&) = delete;

  // kFailed when a gang did not end within waitMs.
  // `onWait` is told once the run has to wait, so the operator learns why
  // nothing happens.
  RunLockResult HoldForSingleRun(std::uint32_t waitMs = kRunLockWaitMs, const std::function<void()>& onWait = {});
  // kFailed when single-chip runs did not end within waitMs.
  RunLockResult HoldForGang(std::uint32_t waitMs = kRunLockWaitMs);
  // kBusy when another run holds the chip at `location`.
  RunLockResult HoldForGangWorker(const std::string& location);

 private:
  CrossProcessLock gate_;
  std::unique_ptr<CrossProcessLock> chip_;
  bool gateHeld_ = false;
  bool commandHeld_ = false;
};

}  // namespace quillon
