// The keep-awake thread with a fake capture system: which device, the cycle,
// the failure lines, and a stop that always joins.
#include <gtest/gtest.h>

#include <ostream>

#include "support/debug_lines.h"
#include "ui/fake_capture.h"
#include "ui/keep_awake.h"

namespace quillon::testing {
namespace {

TEST(KeepAwakePickTest, FirstUsbDeviceInListOrder) {
  struct Case {
    std::vector<CaptureHint> hints;
    int expected;
  };
  const Case cases[] = {
      {{{"default", "Default ALSA Output"}, {"hw:1,0", "usb audio"}, {"hw:2,0", "USB Audio 2"}}, 1},
      {{{"hw:0,0", "HDA Intel PCH"}, {"sysdefault:CARD=Usb", "Device"}}, 1},  // the name counts too
      {{{"hw:0,0", "HDA Intel PCH"}}, -1},
      {{}, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(PickUsbCaptureDevice(c.hints), c.expected);
  EXPECT_EQ(CaptureDisplayName({"hw:1,0", "USB Audio"}), "USB Audio (hw:1,0)");
  EXPECT_EQ(CaptureDisplayName({std::string(300, 'n'), "d"}).size(), 255u);
}

TEST(KeepAwakeTest, CyclesTheFirstUsbDeviceUntilStopped) {
  DebugLines debug;
  FakeCapture capture;
  capture.hints = {{"hw:0,0", "HDA Intel PCH"}, {"hw:1,0", "USB Audio"}, {"hw:2,0", "USB Audio 2"}};
  CWakeUpThread thread(capture);
  thread.Start();
  capture.AwaitStarts(1);
  thread.Stop();
  EXPECT_FALSE(thread.Running());
  EXPECT_EQ(capture.opened(), std::vector<std::string>{"hw:1,0"});
  EXPECT_EQ(capture.starts(), capture.stops()) << "every started stream is stopped";
  EXPECT_EQ(thread.Cycles(), capture.stops());
  const auto lines = debug.texts();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "deviceCount is 3");
  EXPECT_EQ(lines[2], "deviceName is USB Audio (hw:1,0)");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "."), lines.end());
  thread.Stop();  // a second stop has nothing to wait for
}

struct FailureCase {
  const char* name;
  std::vector<CaptureHint> hints;
  std::string listError, openError, startError;
  std::vector<std::string> lastLines;
};
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class KeepAwakeFailureTest : public ::testing::TestWithParam<FailureCase> {};

// Every failure writes its line and ends the thread; a later stop still joins.
TEST_P(KeepAwakeFailureTest, EndsWithItsLine) {
  const FailureCase& c = GetParam();
  DebugLines debug;
  FakeCapture capture;
  capture.hints = c.hints;
  capture.listError = c.listError;
  capture.openError = c.openError;
  capture.startError = c.startError;
  CWakeUpThread thread(capture);
  thread.Start();
  if (!c.startError.empty()) capture.AwaitStartAttempts(1);
  thread.Stop();
  const auto lines = debug.texts();
  ASSERT_GE(lines.size(), c.lastLines.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(c.lastLines.size()), lines.end()), c.lastLines);
  EXPECT_EQ(capture.starts(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, KeepAwakeFailureTest,
    ::testing::Values(
        FailureCase{"NoUsbDevice", {{"hw:0,0", "HDA Intel PCH"}}, "", "", "", {"Record Start Fail PickDevice"}},
        FailureCase{"ListFails", {}, "no sound cards", "", "",
                    {"Unable to retrieve device collection: no sound cards", "Record Start Fail PickDevice"}},
        FailureCase{"Busy", {{"hw:1,0", "USB Audio"}}, "", "Device or resource busy", "",
                    {"Unable to initialize audio client: Device or resource busy.", "Record Start Fail Initialize"}},
        FailureCase{"StartFails", {{"hw:1,0", "USB Audio"}}, "", "", "File descriptor in bad state",
                    {"Unable to start capture client: File descriptor in bad state.", "Record Start Fail"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeepAwakeTest, StopBeforeAnyCycleIsNeverLost) {
  FakeCapture capture;
  capture.hints = {{"hw:1,0", "USB Audio"}};
  for (int i = 0; i < 20; ++i) {
    CWakeUpThread thread(capture);
    thread.Start();
    thread.Stop();
    EXPECT_FALSE(thread.Running());
  }
  EXPECT_EQ(capture.starts(), capture.stops());
}

}  // namespace
}  // namespace quillon::testing
