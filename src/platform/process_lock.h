// A lock shared by every process of the system: a file lock in the runtime
// directory, re-entrant on the thread that holds it, waited for a bounded time.
// The device layer holds it around every extension-unit command sequence.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string_view>

namespace quillon {

inline constexpr const char* kCommandLockName = "ICOperateSync_2014_3_28";
inline constexpr std::uint32_t kCommandLockWaitMs = 10000;

// Exclusive: one holder among all processes. Shared: any number of shared
// holders at once, none while an exclusive holder has it.
enum class LockMode { kExclusive, kShared };

class CrossProcessLock {
 public:
  explicit CrossProcessLock(std::filesystem::path file, LockMode mode = LockMode::kExclusive);
  ~CrossProcessLock();
  CrossProcessLock(const CrossProcessLock&) = delete;
  CrossProcessLock& operator=(const CrossProcessLock&) = delete;

  // Waits at most `waitMs` (real time: the other holder is another process)
  // for the lock; true when the calling thread holds it now. A thread that
  // already holds it gets it again at once and must release it as often.
  bool Acquire(std::uint32_t waitMs = kCommandLockWaitMs);
  void Release();

  const std::filesystem::path& file() const { return file_; }
  // Takes effect at the next first acquisition; a held lock keeps its mode.
  void SetMode(LockMode mode);
  LockMode mode() const { return mode_; }

 private:
  std::filesystem::path file_;
  LockMode mode_;
  std::mutex mutex_;
  std::condition_variable released_;
  std::uint32_t owner_ = 0;  // kernel thread id of the holder, 0 when free in this process
  std::uint32_t depth_ = 0;
  int fd_ = -1;
};

// $XDG_RUNTIME_DIR when set, else /tmp.
std::filesystem::path RuntimeDir();

// The command lock "ICOperateSync_2014_3_28" of this process.
CrossProcessLock& CommandLock();

// The file of the lock that one chip's writer holds, keyed by the chip's port
// location ("3-1.4"); characters a file name should not carry become '_'.
std::filesystem::path ChipLockFile(std::string_view location);

// Holds a CrossProcessLock for a scope when Acquire succeeded.
class ProcessLockGuard {
 public:
  explicit ProcessLockGuard(CrossProcessLock& lock, std::uint32_t waitMs = kCommandLockWaitMs)
      : lock_(lock), held_(lock.Acquire(waitMs)) {}
  ~ProcessLockGuard() {
    if (held_) lock_.Release();
  }
  ProcessLockGuard(const ProcessLockGuard&) = delete;
  ProcessLockGuard& operator=(const ProcessLockGuard&) = delete;
  bool held() const { return held_; }

 private:
  CrossProcessLock& lock_;
  bool held_;
};

}  // namespace quillon
