#include "app/record_copy_option.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

struct OptionCase {
  std::vector<std::string> args;
  std::vector<std::string> left;  // for the batch mode
  RecordCopyInstruction instruction;
  bool problem;
};

TEST(RecordCopyOptionTest, TakesTheLastTwoArgumentsOfAWrite) {
  const std::vector<std::string> write = {"quillon", "-f", "-write", "x.rfw"};
  const auto with = [&](std::vector<std::string> tail) {
    std::vector<std::string> args = write;
    args.insert(args.end(), tail.begin(), tail.end());
    return args;
  };
  const OptionCase cases[] = {
      {write, write, {}, false},
      {with({"--restore-record", "1-1"}), write, {"1-1", {}}, false},
      {with({"-d", "1", "--set-aside-record", "1-2.3"}), with({"-d", "1"}), {std::nullopt, {"1-2.3"}}, false},
      {{"quillon", "-f", "x.rfw", "--restore-record", "1-1"}, {"quillon", "-f", "x.rfw"}, {"1-1", {}}, false},
      {with({"--restore-record"}), {}, {}, true},
      {with({"--restore-record", "-d"}), {}, {}, true},
      {with({"--restore-record", "1-1", "-d", "1"}), {}, {}, true},
      {{"quillon", "-f", "-verify", "x.rfw", "--restore-record", "1-1"}, {}, {}, true},
      {{"quillon", "--set-aside-record", "1-1"}, {}, {}, true},
  };
  for (const OptionCase& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    std::vector<std::string> args = c.args;
    const RecordCopyOption option = TakeRecordCopyOption(args);
    EXPECT_EQ(!option.problem.empty(), c.problem) << option.problem;
    if (c.problem) {
      EXPECT_NE(option.problem.find("LOCATION comes as the last two arguments of a write"), std::string::npos);
      continue;
    }
    EXPECT_EQ(args, c.left);
    EXPECT_EQ(option.instruction, c.instruction);
  }
}

}  // namespace
}  // namespace quillon
