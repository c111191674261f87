// quillon with no arguments, offscreen, on a simulated chip: the window opens,
// "AutoRun" 2 writes the chip and the window closes by itself.
#include <gtest/gtest.h>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon::testing {
namespace {

TEST(WindowProcessTest, AutoRunTwoWritesTheChipAndCloses) {
  TempDir dir;
  const std::string state = (dir.path() / "chips.state").string();
  ASSERT_EQ(RunProgram("quillon-sim", {"new", state, "--off-bus-ms", "20"}, {}, dir.path()).exitCode, 0);
  const auto settings =
      dir.Write("settings.ini", "[Quillon Config]\r\nCheckVIDPID_INI=1\r\nAutoRun=2\r\nWait Time=50\r\nSaveResultToFile=1\r\n");
  const std::vector<std::pair<std::string, std::string>> env{{"QUILLON_HOME", dir.path().string()},
                                                             {"QUILLON_SETTINGS", settings.string()},
                                                             {"QUILLON_SIM", state},
                                                             {"QT_QPA_PLATFORM", "offscreen"}};
  const ProcessResult run = RunProgram("quillon", {}, env, dir.path());
  EXPECT_EQ(ReadText(dir.path() / "Result.txt"), "pass") << run.err;
  const std::string shown = RunProgram("quillon-sim", {"show", state}, {}, dir.path()).out;
  EXPECT_NE(shown.find("mode: code"), std::string::npos) << shown;
  EXPECT_NE(shown.find("version: 4.119.0000-0115.0000"), std::string::npos) << shown;
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace quillon::testing
