#include "platform/shared_file.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process_lock.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST(SharedFileTest, CreatesForEveryAccountWhateverTheUmask) {
  testing::TempDir dir;
  const mode_t old = ::umask(077);
  const int fd = OpenSharedFile(dir.path() / "lock");
  ::umask(old);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(ModeOf(dir.path() / "lock"), 0666u);
}

TEST(SharedFileTest, OpensAnExistingFileAsItIs) {
  testing::TempDir dir;
  auto file = dir.Write("lock", "kept");
  ::chmod(file.c_str(), 0644);
  const int fd = OpenSharedFile(file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(ModeOf(file), 0644u);
  EXPECT_EQ(std::filesystem::file_size(file), 4u);
}

TEST(SharedFileTest, RefusesLinksAndWhatIsNotARegularFile) {
  testing::TempDir dir;
  auto target = dir.Write("target", "");
  std::filesystem::create_symlink(target, dir.path() / "link");
  std::filesystem::create_directory(dir.path() / "folder");
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0666), 0);
  errno = 0;
  EXPECT_EQ(OpenSharedFile(dir.path() / "link"), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(OpenSharedFile(dir.path() / "folder"), -1);
  EXPECT_EQ(OpenSharedFile(dir.path() / "pipe"), -1);
  EXPECT_EQ(OpenSharedFile(dir.path() / "missing-dir" / "lock"), -1);
}

// Runs `body` in a child process under another account; its exit code.
template <typename Body>
int RunAsOtherUser(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// A lock file made by one account (root, as an installer or a first run may)
// must serve every other account of the station, in a sticky /tmp-like
// directory and also when the file left behind is not writable for others.
TEST(SharedFileTest, LockMadeByOneAccountServesAnother) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to a second account";
  testing::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  const auto shared = dir.path() / kCommandLockName;
  {
    CrossProcessLock lock(shared);
    ASSERT_TRUE(lock.Acquire(100));
    lock.Release();
  }
  EXPECT_EQ(RunAsOtherUser([&] {
              CrossProcessLock lock(shared);
              if (!lock.Acquire(1000)) return 1;
              lock.Release();
              return 0;
            }),
            0);

  const auto strict = dir.path() / "strict";
  const int fd = ::open(strict.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(RunAsOtherUser([&] {
              CrossProcessLock lock(strict);
              if (!lock.Acquire(1000)) return 1;
              lock.Release();
              return 0;
            }),
            0);
}

}  // namespace
}  // namespace quillon
