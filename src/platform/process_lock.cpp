#include "platform/process_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/shared_file.h"

namespace quillon {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(5);

}  // namespace

CrossProcessLock::CrossProcessLock(std::filesystem::path file, LockMode mode) : file_(std::move(file)), mode_(mode) {}

void CrossProcessLock::SetMode(LockMode mode) {
  std::lock_guard guard(mutex_);
  mode_ = mode;
}

CrossProcessLock::~CrossProcessLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool CrossProcessLock::Acquire(std::uint32_t waitMs) {
  const std::uint32_t self = CurrentThreadId();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::unique_lock guard(mutex_);
  if (owner_ == self) {
    ++depth_;
    return true;
  }
  // Another thread of this process first, then the other processes.
  if (!released_.wait_until(guard, deadline, [this] { return owner_ == 0; })) return false;
  if (fd_ < 0) {
    fd_ = OpenSharedFile(file_);
    if (fd_ < 0) {
      DebugPrint("Open lock file %s failed %d\n", file_.c_str(), errno);
      return false;
    }
  }
  // Keep the in-process slot while polling, so that threads of this process queue up behind us.
  owner_ = self;
  const int operation = (mode_ == LockMode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  while (::flock(fd_, operation) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      DebugPrint("Lock %s failed %d\n", file_.c_str(), errno);
      owner_ = 0;
      released_.notify_one();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      owner_ = 0;
      released_.notify_one();
      return false;
    }
    guard.unlock();
    std::this_thread::sleep_for(kPollInterval);
    guard.lock();
  }
  depth_ = 1;
  return true;
}

void CrossProcessLock::Release() {
  std::lock_guard guard(mutex_);
  if (owner_ != CurrentThreadId() || depth_ == 0) return;
  if (--depth_ > 0) return;
  ::flock(fd_, LOCK_UN);
  owner_ = 0;
  released_.notify_one();
}

std::filesystem::path RuntimeDir() {
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

CrossProcessLock& CommandLock() {
  static CrossProcessLock lock(RuntimeDir() / kCommandLockName);
  return lock;
}

std::filesystem::path ChipLockFile(std::string_view location) {
  std::string name = std::string(kCommandLockName) + ".chip-";
  for (char c : location) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.';
    name += plain ? c : '_';
  }
  return RuntimeDir() / name;
}

}  // namespace quillon
