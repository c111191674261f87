// The check that a run's records can be written, made before the chip is
// touched: it must never create, change or hang on what it probes.
#include "app/record_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

TEST(RecordCheckTest, NamesTheFirstTargetThatCannotBeWrittenAndChangesNothing) {
  testing::TempDir dir;
  const auto kept = dir.Write("kept.txt", "earlier lines\n");
  const auto fresh = dir.path() / "fresh.jsonl";
  const auto folder = dir.path() / "folder";
  std::filesystem::create_directory(folder);
  const auto fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    RecordTargets targets;
    const char* problem;  // null: every target can be written
  };
  const Case cases[] = {
      {"an existing file and a new one in a writable directory", {{kept, fresh}, {dir.path()}}, nullptr},
      {"a file in a missing directory", {{kept, dir.path() / "no" / "runs.jsonl"}, {}}, "No such file or directory"},
      {"a directory in a file's place", {{folder}, {}}, "Is a directory"},
      {"a FIFO nobody reads", {{fifo}, {}}, "No such device or address"},
      {"a missing directory to write in", {{}, {dir.path() / "none"}}, "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto problem = FirstUnwritableRecord(c.targets);
    if (c.problem == nullptr) {
      EXPECT_FALSE(problem.has_value()) << problem->line;
      continue;
    }
    ASSERT_TRUE(problem.has_value());
    const std::filesystem::path& target = c.targets.files.empty() ? c.targets.directories.back() : c.targets.files.back();
    EXPECT_EQ(problem->target, target);
    EXPECT_NE(problem->line.find(target.string()), std::string::npos) << problem->line;
    EXPECT_NE(problem->line.find(c.problem), std::string::npos) << problem->line;
  }
  EXPECT_EQ(testing::ReadText(kept), "earlier lines\n");
  EXPECT_FALSE(std::filesystem::exists(fresh)) << "probing creates no record";
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 3u) << "no scratch file is left behind";
}

TEST(RecordCheckTest, LeftoverResultIsEmptiedButNeverCreated) {
  testing::TempDir dir;
  const auto result = dir.Write("Result.txt", "pass");
  EmptyLeftoverResultFile(result);
  EXPECT_TRUE(std::filesystem::exists(result));
  EXPECT_EQ(testing::ReadText(result), "");
  const auto missing = dir.path() / "missing" / "Result.txt";
  EmptyLeftoverResultFile(missing);
  EmptyLeftoverResultFile(dir.path() / "Other.txt");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Other.txt"));
}

}  // namespace
}  // namespace quillon
