#include "platform/run_locks.h"

#include <cstdlib>
#include <string_view>

#include "platform/debug_channel.h"

namespace quillon {

std::uint32_t RunLockWaitMs() {
  const char* text = std::getenv(kRunLockWaitEnv);
  if (text == nullptr || *text == '\0') return kRunLockWaitMs;
  std::uint64_t value = 0;
  for (const char c : std::string_view(text)) {
    if (c < '0' || c > '9' || value > 0xFFFFFFFFu / 10) return kRunLockWaitMs;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value > 0xFFFFFFFFu ? kRunLockWaitMs : static_cast<std::uint32_t>(value);
}

RunLocks::RunLocks() : gate_(RuntimeDir() / kRunGateName) {}

RunLocks::~RunLocks() {
  if (chip_) chip_->Release();
  if (commandHeld_) CommandLock().Release();
  if (gateHeld_) gate_.Release();
}

RunLockResult RunLocks::HoldForSingleRun(std::uint32_t waitMs, const std::function<void()>& onWait) {
  gate_.SetMode(LockMode::kShared);
  if (!gate_.Acquire(0)) {
    if (onWait) onWait();
    if (!gate_.Acquire(waitMs)) return RunLockResult::kFailed;
  }
  gateHeld_ = true;
  // Wait for running gangs; no new gang starts while we hold the gate.
  if (CommandLock().Acquire(0)) {
    CommandLock().Release();
    return RunLockResult::kHeld;
  }
  if (onWait) onWait();
  if (!CommandLock().Acquire(waitMs)) {
    DebugPrint("Run lock: a gang run did not end in %u ms\n", waitMs);
    return RunLockResult::kFailed;
  }
  CommandLock().Release();
  return RunLockResult::kHeld;
}

RunLockResult RunLocks::HoldForGang(std::uint32_t waitMs) {
  gate_.SetMode(LockMode::kExclusive);
  if (!gate_.Acquire(waitMs)) {
    DebugPrint("Run lock: single-chip runs did not end in %u ms\n", waitMs);
    return RunLockResult::kFailed;
  }
  CommandLock().SetMode(LockMode::kShared);
  commandHeld_ = CommandLock().Acquire(waitMs);
  gate_.Release();
  return commandHeld_ ? RunLockResult::kHeld : RunLockResult::kFailed;
}

RunLockResult RunLocks::HoldForGangWorker(const std::string& location) {
  CommandLock().SetMode(LockMode::kShared);
  commandHeld_ = CommandLock().Acquire(kCommandLockWaitMs);
  if (!commandHeld_) return RunLockResult::kFailed;
  chip_ = std::make_unique<CrossProcessLock>(ChipLockFile(location));
  if (!chip_->Acquire(0)) {
    chip_.reset();
    return RunLockResult::kBusy;
  }
  return RunLockResult::kHeld;
}

}  // namespace quillon
