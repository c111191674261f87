// The whole program, run as a separate process in a scratch program directory.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

class QuillonProcessTest : public ::testing::Test {
 protected:
  testing::ProcessResult Run(const std::vector<std::string>& args, const std::string& settingsText = "") {
    std::vector<std::pair<std::string, std::string>> env{{"QUILLON_HOME", dir.path().string()},
                                                         {"QUILLON_SETTINGS", ""}};
    if (!settingsText.empty()) env.back().second = settings.Write("settings.ini", settingsText).string();
    return testing::RunProgram("quillon", args, env, settings.path());
  }
  testing::TempDir dir;
  testing::TempDir settings;
};

TEST_F(QuillonProcessTest, VersionAndHelpStandAlone) {
  auto version = Run({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "quillon 2.61.9600.32\n");
  auto help = Run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("-f -write FILE"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "neither writes into the program directory";
}

TEST_F(QuillonProcessTest, WindowModeWithoutTheWindowProgramSaysSoAndFails) {
  // A copy of the program alone in its directory, as on a headless station
  // without the window's package.
  testing::TempDir alone;
  const std::filesystem::path program = alone.path() / "quillon";
  std::filesystem::copy_file(testing::BinDir() / "quillon", program);
  const std::vector<std::pair<std::string, std::string>> env{{"QUILLON_HOME", dir.path().string()},
                                                             {"QUILLON_SETTINGS", ""}};
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"/FORCErestart"}}) {
    auto run = testing::RunProgram(program.string(), args, env, settings.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("quillon: the operator's window (quillon-window) is not installed beside this program; "
                           "see quillon --help\n"),
              std::string::npos)
        << run.err;
  }
  auto batch = testing::RunProgram(program.string(), {"/forcerestart2"}, env, settings.path());
  EXPECT_EQ(batch.err.find("window"), std::string::npos) << "any other text is a batch run: " << batch.err;
  EXPECT_NE(batch.err.find("quillon: no -f: nothing to do; see quillon --help\n"), std::string::npos) << batch.err;
  EXPECT_EQ(batch.err.find("Usage:"), std::string::npos) << "one line, not the whole usage: " << batch.err;
  EXPECT_EQ(batch.exitCode, 1);
}

TEST_F(QuillonProcessTest, DebugLogIsRecreatedAtEveryStartAndEndsWithTheStopLine) {
  const std::string debugOn = "[Quillon Config]\r\nDebug Log=1\r\n";
  auto first = Run({"-f", "-version"}, debugOn);
  EXPECT_NE(first.err.find("Tracing PID: "), std::string::npos) << first.err;
  EXPECT_EQ(first.out.find("Tracing PID"), std::string::npos) << "stdout holds only the batch mode's texts";
  std::string log = testing::ReadText(dir.path() / "DebugLog.txt");
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.find("Tracing PID: "), std::string::npos);
  const std::string last = "Exit Debug Thread\r\n";
  EXPECT_EQ(log.substr(log.size() - last.size()), last);

  std::ofstream(dir.path() / "DebugLog.txt", std::ios::app) << "marker of the first run\r\n";
  Run({"-f", "-version"}, debugOn);
  log = testing::ReadText(dir.path() / "DebugLog.txt");
  EXPECT_EQ(log.find("marker"), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

// The debug log tells afterwards which image a run wrote and how it ended.
TEST_F(QuillonProcessTest, DebugLogNamesTheImageAndEndsTheRunWithItsVerdict) {
  auto state = (settings.path() / "chip.state").string();
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"new", state, "--off-bus-ms", "20"}, {}, settings.path()).exitCode, 0);
  const auto image = testing::BinDir().parent_path() / "demo" / "TQ7704_SPI.rfw";
  auto file = settings.Write("settings.ini", "[Quillon Config]\r\nDebug Log=1\r\nWait Time=50\r\n");
  auto run = testing::RunProgram("quillon", {"-f", "-write", image.string()},
                                 {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", state}, {"QUILLON_SETTINGS", file.string()}},
                                 settings.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string log = testing::ReadText(dir.path() / "DebugLog.txt");
  EXPECT_NE(log.find("quillon: image to write: " + image.string() + ", version "), std::string::npos) << log;
  const std::string verdict = ", write PASS, status 0";
  const std::size_t at = log.rfind(verdict);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("write", at + verdict.size()), std::string::npos) << "the verdict is the run's last word";
}

TEST_F(QuillonProcessTest, WithoutDebugLogTheFileIsNeitherCreatedNorTouched) {
  Run({"-f", "-version"});
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "DebugLog.txt"));
  dir.Write("DebugLog.txt", "kept");
  Run({"-f", "-version"}, "[Quillon Config]\r\nDebug Log=0\r\n");
  EXPECT_EQ(testing::ReadText(dir.path() / "DebugLog.txt"), "kept");
}

// A typo in the settings would silently switch a feature off for a whole shift.
TEST_F(QuillonProcessTest, UnknownSettingsKeysAreNamedOnce) {
  auto run = Run({"-f", "-version"}, "[Quillon Config]\r\nLogType=0\r\nSaveResultsToFile=1\r\n");
  const std::string line = (settings.path() / "settings.ini").string() +
                           ":3: unknown key \"SaveResultsToFile\" in [Quillon Config] is ignored; nearest known key: "
                           "\"SaveResultToFile\"\n";
  const std::size_t at = run.err.find("quillon: " + line);
  EXPECT_NE(at, std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("unknown key", at + line.size()), std::string::npos) << "once per run: " << run.err;
  EXPECT_EQ(Run({"--list"}, "[Quillon Config]\r\nSaveResultToFile=1\r\n").err.find("unknown key"), std::string::npos);
}

TEST_F(QuillonProcessTest, ListsTheSimulatedChipsOfBothKinds) {
  auto state = (settings.path() / "chips.state").string();
  auto camera = (settings.path() / "camera.state").string();
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"new", state, "--chips", "2", "--pid", "0x0022"}, {}, settings.path()).exitCode, 0);
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"new", camera, "--kind", "camera", "--transport", "vendor", "--pid", "0x0099"}, {},
                                settings.path())
                .exitCode,
            0);
  auto run = testing::RunProgram("quillon", {"--list"}, {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", state}},
                                 settings.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "0 1-1 VID_3A7C&PID_0022&REV_0001 xu accepted\n"
            "1 1-2 VID_3A7C&PID_0022&REV_0001 xu accepted\n");
  run = testing::RunProgram("quillon", {"--list", "--json"}, {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", state}},
                            settings.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "[{\"index\":0,\"location\":\"1-1\",\"identity\":\"VID_3A7C&PID_0022&REV_0001\",\"transports\":[\"xu\"],"
            "\"accepted\":true},"
            "{\"index\":1,\"location\":\"1-2\",\"identity\":\"VID_3A7C&PID_0022&REV_0001\",\"transports\":[\"xu\"],"
            "\"accepted\":true}]\n");
  run = testing::RunProgram("quillon", {"--list"}, {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", camera}},
                            settings.path());
  EXPECT_EQ(run.out,
            "- 1-1 VID_3A7C&PID_0099&REV_0001 vendor not accepted (a camera chip: the batch mode takes audio chips)\n");
  run = testing::RunProgram("quillon", {"--list", "--json"}, {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", camera}},
                            settings.path());
  EXPECT_EQ(run.out,
            "[{\"index\":null,\"location\":\"1-1\",\"identity\":\"VID_3A7C&PID_0099&REV_0001\",\"transports\":"
            "[\"vendor\"],\"accepted\":false,\"reason\":\"a camera chip: the batch mode takes audio chips\"}]\n");
}

// "accepted" means the batch mode would take the chip, which its settings decide.
TEST_F(QuillonProcessTest, ListSaysWhetherTheBatchModeWouldTakeTheChip) {
  auto state = (settings.path() / "other.state").string();
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"new", state, "--vid", "0x1234"}, {}, settings.path()).exitCode, 0);
  const struct {
    const char* settingsText;
    const char* verdict;
  } cases[] = {
      {"[Quillon Config]\r\nCheckVIDPID_INI=1\r\n", "not accepted (not in the accepted list)"},
      {"[Quillon Config]\r\nCheckVIDPID_INI=2\r\n", "not accepted (not in VidPidList.ini)"},
      {"[Quillon Config]\r\nCheckVIDPID_INI=0\r\n", "accepted"},
  };
  for (const auto& c : cases) {
    auto file = settings.Write("list.ini", c.settingsText);
    auto run = testing::RunProgram("quillon", {"--list"},
                                   {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", state}, {"QUILLON_SETTINGS", file.string()}},
                                   settings.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, std::string("0 1-1 VID_1234&PID_0011&REV_0001 xu ") + c.verdict + "\n") << c.settingsText;
  }
  dir.Write("VidPidList.ini", "VID_1234&PID_0011&REV_0001\r\n");
  auto file = settings.Write("list.ini", "[Quillon Config]\r\nCheckVIDPID_INI=2\r\n");
  auto run = testing::RunProgram("quillon", {"--list"},
                                 {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", state}, {"QUILLON_SETTINGS", file.string()}},
                                 settings.path());
  EXPECT_EQ(run.out, "0 1-1 VID_1234&PID_0011&REV_0001 xu accepted\n");
}

TEST_F(QuillonProcessTest, ListWithoutUsbFailsWithOneLine) {
  auto run = Run({"--list"});
  if (run.exitCode == 0) GTEST_SKIP() << "this host has USB";
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err.rfind("quillon: cannot list chips: ", 0), 0u) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
}

TEST_F(QuillonProcessTest, UnusableSimulatorStateFailsWithOneLine) {
  auto run = testing::RunProgram("quillon", {"--list"},
                                 {{"QUILLON_HOME", dir.path().string()}, {"QUILLON_SIM", (dir.path() / "none").string()}},
                                 settings.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err.rfind("quillon: ", 0), 0u) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
}

}  // namespace
}  // namespace quillon
