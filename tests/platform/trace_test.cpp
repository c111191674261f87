#include "platform/trace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/virtual_clock.h"
#include "support/debug_lines.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::DebugLines;

std::string Prefix(std::uint32_t tick) {
  char text[64];
  std::snprintf(text, sizeof text, "(%X-%d):", CurrentThreadId(), static_cast<std::int32_t>(tick));
  return text;
}

class TraceTest : public ::testing::Test {
 protected:
  VirtualClock clock{937};
  ScopedClockOverride useClock{clock};
  DebugLines debug;
};

TEST_F(TraceTest, LineCarriesThreadTickAndScopeName) {
  TraceScope scope{"CParseArg::Parse_Arg", 0, kTraceApp};
  Trace(scope, "Begin\n");
  ASSERT_EQ(debug.lines().size(), 1u);
  EXPECT_EQ(debug.lines()[0], Prefix(937) + "CParseArg::Parse_Arg:> Begin\r\n");
}

TEST_F(TraceTest, TickPrintsSignedAfterTwoToThe31Milliseconds) {
  clock.Advance((1ull << 31) - 937 + 5);  // tick 0x80000005
  Trace({"A::B", 0, kTraceDevice}, "x");
  ASSERT_EQ(debug.lines().size(), 1u);
  EXPECT_NE(debug.lines()[0].find("-2147483643):A::B:> x\r\n"), std::string::npos) << debug.lines()[0];
}

TEST_F(TraceTest, CategoryOutsideTheMaskWritesNothing) {
  Trace({"A::B", 0, 8}, "hidden\n");
  TraceRaw({"A::B", 0, 8}, "hidden\n");
  EXPECT_TRUE(debug.lines().empty());
  Trace({"A::B", 0, kTraceOtp}, "shown\n");
  EXPECT_EQ(debug.lines().size(), 1u);
}

TEST_F(TraceTest, TextWithoutLineFeedStillMakesOneLine) {
  Trace({"A::B", 0, kTraceApp}, "no newline");
  Trace({"A::B", 0, kTraceApp}, "trailing blanks   \t\n");
  EXPECT_EQ(debug.texts(), (std::vector<std::string>{Prefix(937) + "A::B:> no newline", Prefix(937) + "A::B:> trailing blanks"}));
}

TEST_F(TraceTest, LongTextIsCutTo511Characters) {
  std::string text(600, 'x');
  Trace({"A::B", 0, kTraceApp}, "%s\n", text.c_str());
  ASSERT_EQ(debug.lines().size(), 1u);
  std::string line = debug.lines()[0];
  EXPECT_EQ(line.size(), kTraceMaxLine + 2);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  EXPECT_EQ(line.rfind(Prefix(937) + "A::B:> xxx", 0), 0u);
}

TEST_F(TraceTest, LineThatFillsTheLimitAndEndsInLineFeedIsWrittenUnchanged) {
  std::string head = Prefix(937) + "A::B:> ";
  std::string text(kTraceMaxLine - head.size() - 1, 'y');
  Trace({"A::B", 0, kTraceApp}, "%s\n", text.c_str());
  ASSERT_EQ(debug.lines().size(), 1u);
  EXPECT_EQ(debug.lines()[0], head + text + "\r\n");
}

TEST_F(TraceTest, RawLinesHaveNoPrefixAndLoseTrailingBlanks) {
  TraceFailure({"A::B", 0, kTraceDevice}, "Load File Data Fail!\n");
  EXPECT_EQ(debug.lines(), (std::vector<std::string>{"----------------:\r\n", "Load File Data Fail!\r\n"}));
}

int ScopedOperation(bool returnEarly) {
  ScopedTrace trace("COtp::OTP_Write", kTraceOtp);
  if (returnEarly) return 1;
  Trace(trace, "work\n");
  throw std::runtime_error("unwound");
}

TEST_F(TraceTest, ScopedOperationWritesStartAndExitOnceOnEveryWayOut) {
  EXPECT_EQ(ScopedOperation(true), 1);
  EXPECT_THROW(ScopedOperation(false), std::runtime_error);
  std::string p = Prefix(937) + "COtp::OTP_Write:> ";
  EXPECT_EQ(debug.texts(), (std::vector<std::string>{p + "START --->>>", p + "EXIT <<<---", p + "START --->>>",
                                                     p + "work", p + "EXIT <<<---"}));
}

TEST_F(TraceTest, ExitMarkerOnlyForScopedRecords) {
  TraceExit({"A::B", 0, kTraceApp});
  EXPECT_TRUE(debug.lines().empty());
  TraceExit({"A::B", 1, kTraceApp});
  EXPECT_EQ(debug.texts(), std::vector<std::string>{Prefix(937) + "A::B:> EXIT <<<---"});
}

TEST_F(TraceTest, ConcurrentWritersNeverInterleaveWithinALine) {
  constexpr int kLines = 2000;
  auto writer = [](char fill) {
    std::string text(200, fill);
    for (int i = 0; i < kLines; ++i) Trace({"T::W", 0, kTraceDevice}, "%s\n", text.c_str());
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  auto lines = debug.lines();
  ASSERT_EQ(lines.size(), 2u * kLines);
  for (const std::string& line : lines) {
    std::string body = line.substr(line.find(":> ") + 3);
    ASSERT_TRUE(body == std::string(200, 'a') + "\r\n" || body == std::string(200, 'b') + "\r\n") << line;
  }
}

TEST(TraceInitTest, ReadOnlyLogFileBecomesWritableAndStaysUntouched) {
  testing::TempDir dir;
  auto log = dir.Write("Log.txt", "old content\n");
  std::filesystem::permissions(log, std::filesystem::perms::owner_read);
  TraceInit(dir.path());
  auto perms = std::filesystem::status(log).permissions();
  EXPECT_NE(perms & std::filesystem::perms::owner_write, std::filesystem::perms::none);
  std::ifstream in(log);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "old content\n");
}

TEST(TraceInitTest, MissingLogFileIsNotCreated) {
  testing::TempDir dir;
  TraceInit(dir.path());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Log.txt"));
}

}  // namespace
}  // namespace quillon
