#include "platform/shared_file.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <string>

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

std::string Contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Files the station keeps: writable for the group where the directory is the
// group's (umask or not), 0644 elsewhere, an existing file opened as it is.
TEST(StationFileTest, GroupWritableOnlyInAGroupsDirectory) {
  struct Case {
    const char* name;
    mode_t dirMode;
    mode_t expected;
  };
  for (const Case c : {Case{"group's", 02775, 0664}, Case{"private", 0755, 0644}}) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), c.dirMode), 0);
    const mode_t old = ::umask(022);
    const int fd = OpenStationFile(dir.path() / "Result.txt", O_WRONLY | O_CREAT | O_TRUNC);
    ::umask(old);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(ModeOf(dir.path() / "Result.txt"), c.expected);
    ASSERT_EQ(::chmod((dir.path() / "Result.txt").c_str(), 0600), 0);
    const int again = OpenStationFile(dir.path() / "Result.txt", O_WRONLY | O_CREAT);
    ASSERT_GE(again, 0);
    ::close(again);
    EXPECT_EQ(ModeOf(dir.path() / "Result.txt"), 0600u) << "an existing file keeps its mode";
  }
}

// A line that does not fit under a file-size limit leaves no part of itself,
// and the limit is a failed append (EFBIG), never the process's death.
TEST(StationFileTest, AnAppendPastAFileSizeLimitLeavesTheFileAsItWas) {
  testing::TempDir dir;
  const auto file = dir.path() / "runs.jsonl";
  std::ofstream(file, std::ios::binary) << std::string(4000, 'x') << "\n";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
    const auto appended = AppendWhole(file, std::string(200, 'y') + "\n");
    ::_exit(!appended && errno == EFBIG ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Contents(file), std::string(4000, 'x') + "\n") << "the 95 bytes that fitted were cut back";
}

// The header goes only into an empty file; a line is taken back only while
// it is still the file's last, never over another process's line.
TEST(StationFileTest, HeaderOnceAndOnlyTheLastLineIsTakenBack) {
  testing::TempDir dir;
  const auto file = dir.path() / "burn_result.txt";
  const auto first = AppendWhole(file, "one\n", "head\n");
  ASSERT_TRUE(first);
  const auto second = AppendWhole(file, "two\n", "head\n");
  ASSERT_TRUE(second);
  EXPECT_EQ(Contents(file), "head\none\ntwo\n");
  EXPECT_FALSE(RetractLine(*first)) << "another line follows it";
  EXPECT_TRUE(RetractLine(*second));
  EXPECT_EQ(Contents(file), "head\none\n");
  EXPECT_TRUE(RetractLine(*first));
  EXPECT_EQ(Contents(file), "") << "the header went in with the first line";
}

}  // namespace
}  // namespace quillon
