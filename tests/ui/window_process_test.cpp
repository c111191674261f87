// quillon with no arguments, offscreen, on a simulated chip: the window opens,
// "AutoRun" 2 writes the chip and the window closes by itself; a unit plugged
// in with quillon-sim while the window holds the state is written the same way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

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
                                                             {"QT_QPA_PLATFORM", "offscreen"},
                                                             {"QUILLON_RESULT_JSON", (dir.path() / "runs.jsonl").string()}};
  const ProcessResult run = RunProgram("quillon", {}, env, dir.path());
  EXPECT_EQ(ReadText(dir.path() / "Result.txt"), "pass") << run.err;
  EXPECT_EQ(run.exitCode, 0) << "a window that closed itself after a PASS exits 0: " << run.err;
  const std::string shown = RunProgram("quillon-sim", {"show", state}, {}, dir.path()).out;
  EXPECT_NE(shown.find("mode: code"), std::string::npos) << shown;
  EXPECT_NE(shown.find("version: 4.119.0000-0115.0000"), std::string::npos) << shown;
  EXPECT_EQ(run.out, "");
  // The window's run leaves the same record a batch run does.
  const std::string records = ReadText(dir.path() / "runs.jsonl");
  EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 1) << records;
  for (const char* field : {"\"location\":\"1-1\"", "\"identity\":\"VID_3A7C&PID_0011&REV_0001\"",
                            "\"operation\":\"write\"", "\"verdict\":\"PASS\"", "\"image_source\":\"built-in\""}) {
    EXPECT_NE(records.find(field), std::string::npos) << field << " in " << records;
  }
  EXPECT_NE(run.err.find(", write PASS, status 0"), std::string::npos) << run.err;
}


// True once another process holds the state's lock (the window has opened it).
bool HeldByAnother(const std::string& state) {
  const int fd = ::open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

TEST(WindowProcessTest, AUnitPluggedWhileTheWindowHoldsTheStateIsWritten) {
  TempDir dir;
  const std::string state = (dir.path() / "chips.state").string();
  ASSERT_EQ(RunProgram("quillon-sim", {"new", state, "--off-bus-ms", "20"}, {}, dir.path()).exitCode, 0);
  ASSERT_EQ(RunProgram("quillon-sim", {"pull", state}, {}, dir.path()).exitCode, 0);
  const auto settings =
      dir.Write("settings.ini", "[Quillon Config]\r\nCheckVIDPID_INI=1\r\nAutoRun=2\r\nWait Time=50\r\nSaveResultToFile=1\r\n");
  const std::vector<std::pair<std::string, std::string>> env{{"QUILLON_HOME", dir.path().string()},
                                                             {"QUILLON_SETTINGS", settings.string()},
                                                             {"QUILLON_SIM", state},
                                                             {"QT_QPA_PLATFORM", "offscreen"}};
  StartedProgram window(dir.path(), "/usr/bin/timeout", {"60", (BinDir() / "quillon").string()}, env, "window");
  for (int i = 0; i < 500 && !HeldByAnother(state); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(HeldByAnother(state)) << "the window never opened the state";
  const ProcessResult plug = RunProgram("quillon-sim", {"plug", state, "--serial", "UNIT-0002"}, {}, dir.path());
  EXPECT_EQ(plug.exitCode, 0) << plug.err;
  const ProcessResult run = window.Wait();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ReadText(dir.path() / "Result.txt"), "pass");
  EXPECT_NE(run.err.find("chip 1-2 "), std::string::npos) << run.err;
  const std::string shown = RunProgram("quillon-sim", {"show", state}, {}, dir.path()).out;
  const std::size_t second = shown.find("location: 1-2");
  ASSERT_NE(second, std::string::npos) << shown;
  EXPECT_NE(shown.find("mode: code", second), std::string::npos) << shown;
  EXPECT_NE(shown.find("plugged: no"), std::string::npos) << "the first unit stays pulled: " << shown;
}

}  // namespace
}  // namespace quillon::testing
