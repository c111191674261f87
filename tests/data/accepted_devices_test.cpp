#include "data/accepted_devices.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(AcceptedDevicesTest, BuiltInListIgnoresTheRevision) {
  struct Case {
    const char* id;
    bool accepted;
  };
  const Case cases[] = {
      {"VID_3A7C&PID_0011&REV_0001", true},  {"VID_3A7C&PID_0011&REV_0200", true},
      {"vid_3a7c&pid_0022&rev_0001", true},  {"VID_3A7C&PID_0012&REV_0001", false},  // commented out
      {"VID_3A7D&PID_0011&REV_0001", false}, {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsInBuiltInVidPidList(c.id), c.accepted) << c.id;
}

TEST(AcceptedDevicesTest, ListLinesAreTrimmedAndCommentsNeverMatch) {
  const char* list = "  VID_1234&PID_5678&REV_0000 \r\n\r\n//VID_AAAA&PID_BBBB&REV_0000\r\nVID_CCCC&PID_DDDD\r\n";
  EXPECT_TRUE(ListAcceptsIgnoringRevision(list, "VID_1234&PID_5678&REV_0009"));
  EXPECT_FALSE(ListAcceptsIgnoringRevision(list, "VID_AAAA&PID_BBBB&REV_0000"));
  EXPECT_TRUE(ListAcceptsIgnoringRevision(list, "VID_CCCC&PID_DDDD&REV_0001"));
}

TEST(AcceptedDevicesTest, ALineThatIsOnlyARevisionAcceptsNothing) {
  // Cutting "REV..." off such a line leaves nothing, and nothing would be part of every identity.
  EXPECT_FALSE(ListAcceptsIgnoringRevision("REV_0001\r\n&REV_0001\r\n", "VID_3A7C&PID_0011&REV_0001"));
}

}  // namespace
}  // namespace quillon
