#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "app/debug_capture.h"
#include "app/history_report.h"
#include "app/quillon_app.h"
#include "app/tool_version.h"
#include "data/ic_type_ini.h"
#include "flow/status.h"
#include "platform/debug_channel.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

TEST(ModeDecisionTest, WindowOnlyForNothingOrForceRestart) {
  struct Case {
    const char* args;
    bool window;
  };
  const Case cases[] = {
      {"", true},           {"/forcerestart", true}, {"/FORCERESTART", true}, {"/ForceRestart", true},
      {"/forcerestart2", false}, {"-f -erase", false}, {"forcerestart", false}, {" ", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsWindowMode(c.args), c.window) << '"' << c.args << '"';
  EXPECT_EQ(ArgumentPart({"quillon"}), "");
  EXPECT_EQ(ArgumentPart({"quillon", "-f", "-write", "a b.rfw"}), "-f -write a b.rfw");
}

TEST(ToolVersionTest, DropsTheThirdField) {
  struct Case {
    const char* file;
    const char* shown;
  };
  const Case cases[] = {
      {"2.61.9600.32", "2.61.32"}, {"1.0.0.0", "1.0.0"},   {"2.61.9600", "2.61."},
      {"2.61", "2.61"},            {"", ""},               {"10.200.3000.40000", "10.200.40000"},
      {"123456.7890123.1.45678901", "123456.7890123."},  // cut to the 15 characters the text holds
  };
  for (const Case& c : cases) EXPECT_EQ(ToolVersionText(c.file), c.shown) << c.file;
}

class DebugCaptureTest : public ::testing::Test {
 protected:
  std::string LogText() { return testing::ReadText(dir.path() / "DebugLog.txt"); }
  testing::TempDir dir;
};

TEST_F(DebugCaptureTest, StoresEveryLineInOrderAndEndsWithTheStopLine) {
  dir.Write("DebugLog.txt", "stale content of an earlier run\r\n");
  DebugCapture capture;
  ASSERT_TRUE(capture.Start(dir.path()));
  std::thread other([] {
    for (int i = 0; i < 100; ++i) DebugPrint("other %d", i);
  });
  for (int i = 0; i < 100; ++i) DebugPrint("main %d", i);
  other.join();
  capture.Stop();
  EXPECT_FALSE(capture.Running());
  std::string text = LogText();
  EXPECT_EQ(text.find("stale"), std::string::npos);
  EXPECT_NE(text.find("main 99\r\n"), std::string::npos);
  EXPECT_NE(text.find("other 0\r\n"), std::string::npos);
  EXPECT_LT(text.find("other 10\r\n"), text.find("other 11\r\n"));
  const std::string last = "Exit Debug Thread\r\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 201);
}

TEST_F(DebugCaptureTest, LinesAfterStopAreNotStored) {
  DebugCapture capture;
  ASSERT_TRUE(capture.Start(dir.path()));
  capture.Stop();
  DebugPrint("late line");
  EXPECT_EQ(LogText(), "Exit Debug Thread\r\n");
}

TEST_F(DebugCaptureTest, UncreatableFileMeansNoThreadAndStopReturnsAtOnce) {
  DebugCapture capture;
  EXPECT_FALSE(capture.Start(dir.path() / "missing-dir"));
  EXPECT_FALSE(capture.Running());
  capture.Stop();
}

class RecordingModes final : public RunModes {
 public:
  void RunBatch(const std::vector<std::string>& args) override {
    batchArgs = args;
    profileDuringRun = CurrentProfile() != nullptr;
  }
  void RunWindow() override { window = true; }
  std::vector<std::string> batchArgs;
  bool window = false;
  bool profileDuringRun = false;
};

class AppTest : public ::testing::Test {
 protected:
  void TearDown() override { SetLastStatus(0); }
  testing::TempDir dir;
  testing::ScopedEnv home{"QUILLON_HOME", dir.path().string()};
  testing::ScopedEnv settings{"QUILLON_SETTINGS", ""};
};

TEST_F(AppTest, BatchRunHasTheSharedObjectsAndShutdownReleasesThem) {
  RecordingModes modes;
  CQuillonApp app(modes);
  EXPECT_FALSE(app.InitInstance({"quillon", "-f", "-erase"}));
  EXPECT_FALSE(modes.window);
  EXPECT_EQ(modes.batchArgs, (std::vector<std::string>{"quillon", "-f", "-erase"}));
  EXPECT_TRUE(modes.profileDuringRun);
  EXPECT_NE(app.osVersionInfo(), nullptr);
  EXPECT_EQ(app.toolVersionText(), "2.61.32");
  EXPECT_EQ(app.ExitInstance(), 0);
  EXPECT_EQ(CurrentProfile(), nullptr);
  EXPECT_EQ(app.osVersionInfo(), nullptr);
}

TEST_F(AppTest, ExitCodeComesFromTheLastStatusAndIsStoredBack) {
  struct FailingModes final : RunModes {
    void RunBatch(const std::vector<std::string>&) override { PostFlowMessage(WM_FLOW_PROGRESS, 35); }
    void RunWindow() override {}
  } modes;
  CQuillonApp app(modes);
  app.InitInstance({"quillon", "-f", "-write", "a.rfw"});
  EXPECT_EQ(LastStatus(), 35u);
  EXPECT_EQ(app.ExitInstance(), 1);
  EXPECT_EQ(LastStatus(), 1u);
}

// A mode that decides its exit code overrides the last status both ways.
TEST_F(AppTest, ModesOwnExitCodeWins) {
  struct DecidingModes final : RunModes {
    void RunBatch(const std::vector<std::string>&) override { PostFlowMessage(WM_FLOW_PROGRESS, status); }
    void RunWindow() override {}
    std::optional<int> ExitCode() const override { return code; }
    std::uint32_t status = 0;
    int code = 0;
  };
  for (auto [status, code] : {std::pair<std::uint32_t, int>{41752, 0}, {0, 1}}) {
    DecidingModes modes;
    modes.status = status;
    modes.code = code;
    CQuillonApp app(modes);
    app.InitInstance({"quillon", "-f", "-erase"});
    EXPECT_EQ(app.ExitInstance(), code) << status;
    EXPECT_EQ(LastStatus(), static_cast<std::uint32_t>(code));
  }
}

TEST_F(AppTest, ForceRestartOpensTheWindow) {
  RecordingModes modes;
  CQuillonApp app(modes);
  app.InitInstance({"quillon", "/ForceRestart"});
  EXPECT_TRUE(modes.window);
  EXPECT_TRUE(modes.batchArgs.empty());
  EXPECT_EQ(app.ExitInstance(), 0);
}

// A serial with a newline (kept by an older run) stays in its row: the listing
// is one line per run whatever the texts hold.
TEST(HistoryListingTest, ASerialWithALineBreakStaysInItsRow) {
  RunRecord record;
  record.operation = "write";
  record.passed = true;
  record.serialNumber = "SN\n42\r\xFF";
  const std::string text = HistoryListingText({record, record});
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_NE(text.find("  \"SN\\n42\\r\xFF\"  "), std::string::npos) << text;
}

}  // namespace
}  // namespace quillon
