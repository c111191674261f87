#include "platform/resources.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

TEST(ResourcesTest, BuiltInTextsAreThereWithCrLfLines) {
  for (int number : {2030, 2031, 2032, 3032, 3034}) {
    auto text = FindTextResource(number);
    ASSERT_TRUE(text) << number;
    ASSERT_FALSE(text->empty()) << number;
    for (std::size_t at = text->find('\n'); at != std::string_view::npos; at = text->find('\n', at + 1)) {
      ASSERT_GT(at, 0u);
      ASSERT_EQ((*text)[at - 1], '\r') << number;
    }
  }
}

TEST(ResourcesTest, LookupNeedsNumberAndType) {
  EXPECT_FALSE(FindResource(2031, "BINARY"));
  EXPECT_FALSE(FindResource(9999, "ICINI"));
}

TEST(ResourcesTest, AcceptedDeviceListHasTwoActiveAndSevenInertLines) {
  std::string text(*FindTextResource(3034));
  int active = 0, inert = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    std::string line = text.substr(start, end - start);
    start = end + 2;
    if (line.rfind("//", 0) == 0) {
      ++inert;
    } else if (!line.empty()) {
      ++active;
      EXPECT_TRUE(line == "VID_3A7C&PID_0011&REV_0001" || line == "VID_3A7C&PID_0022&REV_0001") << line;
    }
  }
  EXPECT_EQ(active, 2);
  EXPECT_EQ(inert, 7);
}

}  // namespace
}  // namespace quillon
