#include "proxy/use_flag.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/debug_lines.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

// Another instance of the tool: enters, reports through a pipe, and leaves
// when told; its exit code says whether it was the last.
class OtherInstance {
 public:
  explicit OtherInstance(const std::filesystem::path& file) {
    if (::pipe(entered_) != 0 || ::pipe(leave_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      UseFlag flag(file);
      char byte = flag.Enter() ? 'y' : 'n';
      (void)!::write(entered_[1], &byte, 1);
      (void)!::read(leave_[0], &byte, 1);
      ::_exit(flag.Leave() ? 10 : 20);
    }
  }
  ~OtherInstance() {
    if (pid_ > 0 && !left_) LeaveAndReportLast();
  }
  bool WaitEntered() {
    char byte = 0;
    return pid_ > 0 && ::read(entered_[0], &byte, 1) == 1 && byte == 'y';
  }
  bool LeaveAndReportLast() {
    left_ = true;
    (void)!::write(leave_[1], "x", 1);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 10;
  }

 private:
  pid_t pid_ = -1;
  int entered_[2] = {-1, -1};
  int leave_[2] = {-1, -1};
  bool left_ = false;
};

TEST(UseFlagTest, OnlyTheLastInstanceToLeaveIsTold) {
  testing::TempDir dir;
  auto file = dir.path() / kUseFlagFileName;
  UseFlag mine(file);
  EXPECT_FALSE(mine.InUse());
  ASSERT_TRUE(mine.Enter());
  EXPECT_TRUE(std::filesystem::exists(file));

  OtherInstance second(file);
  ASSERT_TRUE(second.WaitEntered());
  EXPECT_FALSE(second.LeaveAndReportLast()) << "we still hold it";
  EXPECT_TRUE(std::filesystem::exists(file));

  testing::DebugLines debug;
  EXPECT_TRUE(mine.Leave());
  EXPECT_FALSE(std::filesystem::exists(file));
  auto texts = debug.texts();
  EXPECT_EQ(texts.back(), "Uninstall VxtUpx driver");
}

TEST(UseFlagTest, FirstInstanceLeavingWhileAnotherRunsLeavesTheFlag) {
  testing::TempDir dir;
  auto file = dir.path() / kUseFlagFileName;
  UseFlag mine(file);
  ASSERT_TRUE(mine.Enter());
  OtherInstance second(file);
  ASSERT_TRUE(second.WaitEntered());
  EXPECT_FALSE(mine.Leave());
  EXPECT_TRUE(std::filesystem::exists(file));
  UseFlag observer(file);
  EXPECT_TRUE(observer.InUse());
  EXPECT_TRUE(second.LeaveAndReportLast());
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(observer.InUse());
}

TEST(UseFlagTest, UncreatableFlagIsReportedAndLeavingIsHarmless) {
  testing::DebugLines debug;
  UseFlag flag("/nonexistent-dir/VxtUpx.flag");
  EXPECT_FALSE(flag.Enter());
  EXPECT_FALSE(flag.held());
  EXPECT_FALSE(flag.Leave());
  EXPECT_EQ(debug.texts().back().rfind("Failed to create VxtUpx.flag file 0x", 0), 0u);
}

}  // namespace
}  // namespace quillon
