#include "platform/debug_channel.h"

#include <gtest/gtest.h>

#include <string>

#include "support/debug_lines.h"

namespace quillon {
namespace {

TEST(DebugPrintTest, FormatsStripsTrailingWhiteSpaceAndEndsWithCrLf) {
  struct Case {
    const char* format;
    const char* arg;
    const char* expected;
  };
  const Case cases[] = {
      {"SetCmd failed %s\n", "31", "SetCmd failed 31\r\n"},
      {"%s", "tabs and blanks \t \r\n\n", "tabs and blanks\r\n"},
      {"%s", "", "\r\n"},
      {"  leading kept%s", " ", "  leading kept\r\n"},
      {"%s", "inner\nline feed kept\n", "inner\nline feed kept\r\n"},
  };
  for (const Case& c : cases) {
    testing::DebugLines debug;
    DebugPrint(c.format, c.arg);
    ASSERT_EQ(debug.lines().size(), 1u) << c.format;
    EXPECT_EQ(debug.lines()[0], c.expected);
  }
}

TEST(DebugPrintTest, CutsOutputAt4093Characters) {
  testing::DebugLines debug;
  std::string text(5000, 'z');
  DebugPrint("%s", text.c_str());
  ASSERT_EQ(debug.lines().size(), 1u);
  EXPECT_EQ(debug.lines()[0], std::string(kDebugPrintMaxChars, 'z') + "\r\n");
}

TEST(DebugPrintTest, ListenersStopReceivingWhenRemoved) {
  auto outer = std::make_unique<testing::DebugLines>();
  {
    testing::DebugLines inner;
    DebugPrint("one");
    EXPECT_EQ(inner.lines().size(), 1u);
  }
  DebugPrint("two");
  EXPECT_EQ(outer->texts(), (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace quillon
