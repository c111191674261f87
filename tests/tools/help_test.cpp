// Every program answers --help on stdout with exit code 0, so that a newcomer
// and a script can ask any of them what they take.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

TEST(HelpTest, EveryProgramAnswersHelpWithExitCodeZero) {
  testing::TempDir dir;
  struct Case {
    std::string program;
    std::string argument;
    std::string mustList;  // a form or option only the full text has
  };
  const Case cases[] = {
      {"quillon", "--help", "QUILLON_RESULT_JSON"},
      {"quillon-sim", "--help", "--off-bus-ms N"},
      {"quillon-sim", "-h", "corrupt-read ADDR"},
      {"quillon-mkimage", "--help", "--rev N"},
      {"quillon-mkimage", "-h", "--small-cache N"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " " + c.argument);
    auto run = testing::RunProgram(c.program, {c.argument}, {}, dir.path());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(c.mustList), std::string::npos) << run.out;
    // One line per form or option, readable on a terminal.
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 110u) << line;
  }
}

TEST(HelpTest, EveryProgramAnswersVersion) {
  testing::TempDir dir;
  for (const char* program : {"quillon", "quillon-sim", "quillon-mkimage"}) {
    auto run = testing::RunProgram(program, {"--version"}, {}, dir.path());
    EXPECT_EQ(run.exitCode, 0) << program;
    EXPECT_EQ(run.out, std::string(program) + " 2.61.9600.32\n");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// A wrong argument is one line that points to --help, not the whole usage.
TEST(HelpTest, ArgumentErrorsAreOneLineThatPointsToHelp) {
  testing::TempDir dir;
  const struct {
    const char* program;
    std::vector<std::string> args;
  } cases[] = {
      {"quillon", {"-f", "-write"}},
      {"quillon-mkimage", {"x.rfw", "--bogus"}},
      {"quillon-mkimage", {}},
      {"quillon-sim", {"new"}},
  };
  for (const auto& c : cases) {
    auto run = testing::RunProgram(c.program, c.args, {{"QUILLON_SETTINGS", ""}}, dir.path());
    EXPECT_EQ(run.exitCode, 1) << c.program;
    const std::string last = run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1);
    EXPECT_EQ(last.rfind(std::string(c.program) + ": ", 0), 0u) << run.err;
    EXPECT_NE(last.find("--help"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Usage:"), std::string::npos) << run.err;
  }
}

TEST(HelpTest, SimulatorWithoutACommandPointsToHelpAndFails) {
  testing::TempDir dir;
  auto run = testing::RunProgram("quillon-sim", {}, {}, dir.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace quillon
