#include "platform/process_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "support/temp_dir.h"

namespace quillon {
namespace {

// A second process that takes the lock, reports it through a pipe and holds
// it until the test writes to the other pipe.
class LockHolder {
 public:
  explicit LockHolder(const std::filesystem::path& file) {
    if (::pipe(held_) != 0 || ::pipe(release_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      CrossProcessLock lock(file);
      char byte = lock.Acquire(1000) ? 'y' : 'n';
      (void)!::write(held_[1], &byte, 1);
      (void)!::read(release_[0], &byte, 1);
      lock.Release();
      ::_exit(0);
    }
  }
  ~LockHolder() {
    Release();
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    for (int fd : {held_[0], held_[1], release_[0], release_[1]}) ::close(fd);
  }
  bool WaitUntilHeld() {
    char byte = 0;
    return pid_ > 0 && ::read(held_[0], &byte, 1) == 1 && byte == 'y';
  }
  void Release() {
    if (released_) return;
    released_ = true;
    (void)!::write(release_[1], "r", 1);
  }

 private:
  pid_t pid_ = -1;
  int held_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  bool released_ = false;
};

TEST(CrossProcessLockTest, SecondProcessGivesUpAfterTheWait) {
  testing::TempDir dir;
  LockHolder other(dir.path() / kCommandLockName);
  ASSERT_TRUE(other.WaitUntilHeld());
  CrossProcessLock lock(dir.path() / kCommandLockName);
  EXPECT_FALSE(lock.Acquire(100));
}

TEST(CrossProcessLockTest, SecondProcessWaitsAndGetsTheLockOnceReleased) {
  testing::TempDir dir;
  LockHolder other(dir.path() / kCommandLockName);
  ASSERT_TRUE(other.WaitUntilHeld());
  CrossProcessLock lock(dir.path() / kCommandLockName);
  auto waiting = std::async(std::launch::async, [&] {
    bool got = lock.Acquire(30000);
    if (got) lock.Release();
    return got;
  });
  other.Release();
  EXPECT_TRUE(waiting.get());
}

TEST(CrossProcessLockTest, ReentrantOnTheHoldingThreadOnly) {
  testing::TempDir dir;
  CrossProcessLock lock(dir.path() / kCommandLockName);
  ASSERT_TRUE(lock.Acquire(100));
  ASSERT_TRUE(lock.Acquire(100));
  auto otherThreadTry = [&] {
    return std::async(std::launch::async, [&] {
             bool got = lock.Acquire(50);
             if (got) lock.Release();
             return got;
           }).get();
  };
  EXPECT_FALSE(otherThreadTry());
  lock.Release();
  EXPECT_FALSE(otherThreadTry()) << "still held once";
  lock.Release();
  EXPECT_TRUE(otherThreadTry());
}

TEST(CrossProcessLockTest, GuardReleasesOnScopeExit) {
  testing::TempDir dir;
  CrossProcessLock lock(dir.path() / kCommandLockName);
  {
    ProcessLockGuard guard(lock, 100);
    EXPECT_TRUE(guard.held());
  }
  EXPECT_TRUE(std::async(std::launch::async, [&] {
                bool got = lock.Acquire(50);
                if (got) lock.Release();
                return got;
              }).get());
}

TEST(CrossProcessLockTest, CommandLockLivesInTheRuntimeDirectory) {
  testing::TempDir dir;
  testing::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().string());
  EXPECT_EQ(RuntimeDir(), dir.path());
}

// Two lock objects on one file behave like two processes (flock is per open file).
TEST(CrossProcessLockTest, SharedHoldersCoexistAndKeepTheExclusiveOut) {
  testing::TempDir dir;
  const auto file = dir.path() / "lock";
  CrossProcessLock first(file, LockMode::kShared);
  CrossProcessLock second(file, LockMode::kShared);
  CrossProcessLock exclusive(file);
  ASSERT_TRUE(first.Acquire(0));
  EXPECT_TRUE(second.Acquire(0));
  EXPECT_FALSE(exclusive.Acquire(0));
  first.Release();
  EXPECT_FALSE(exclusive.Acquire(0));
  second.Release();
  ASSERT_TRUE(exclusive.Acquire(0));
  EXPECT_FALSE(first.Acquire(0));
  exclusive.Release();
  // A mode changed while free takes effect at the next acquisition.
  exclusive.SetMode(LockMode::kShared);
  ASSERT_TRUE(exclusive.Acquire(0));
  EXPECT_TRUE(first.Acquire(0));
  first.Release();
  exclusive.Release();
}

TEST(CrossProcessLockTest, ChipLockFilesAreKeyedByLocationAndStayInTheRuntimeDirectory) {
  const auto a = ChipLockFile("3-1.4");
  EXPECT_EQ(a.parent_path(), RuntimeDir());
  EXPECT_EQ(a.filename(), "ICOperateSync_2014_3_28.chip-3-1.4");
  EXPECT_NE(a, ChipLockFile("3-1.5"));
  EXPECT_EQ(ChipLockFile("../x/y").filename(), "ICOperateSync_2014_3_28.chip-.._x_y");
}

}  // namespace
}  // namespace quillon
