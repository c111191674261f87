#include "flow/status.h"

#include "flow/chip_snapshot.h"

#include <gtest/gtest.h>

#include "device/link_failure.h"
#include "device/result.h"
#include "flow/step_list.h"
#include "flow/step_runner.h"
#include "platform/virtual_clock.h"
#include "proxy/usb_errors.h"

#include <functional>
#include <mutex>
#include <vector>

namespace quillon {
namespace {

TEST(MessageTableTest, TextsAreStoredExactly) {
  struct Row {
    std::uint32_t id;
    const char* text;
  };
  const Row rows[] = {
      {41500, "Not Support!"},
      {41512, "Reset Device Fail!"},
      {41714, "The Vid/Pid does not Match!"},
      {41718, "Wait device to reset"},
      {41726, "SN Length Doesnot Match!"},
      {41728, "REV ID Doesnot MaTCH!"},
      {41755, "Firmware Update Succeed."},
      {41802, "Read EERPOM Fail!"},
      {41905, "Can't Enter cache code!"},
      {41922, "Reduant Fail!"},
      {41929, "ReadOTP Succeed."},
      {41937, "Last OTP Write Abnormal!"},
      {42003, "OTP"},
      {42013, "MTP"},
      {42022, "MIPI"},
      {42041, "Cann't find correct option"},
  };
  for (const Row& row : rows) {
    auto text = MessageText(row.id);
    ASSERT_TRUE(text) << row.id;
    EXPECT_EQ(*text, row.text) << row.id;
  }
  for (std::uint32_t unknown : {0u, 41499u, 41503u, 41909u, 42042u}) EXPECT_FALSE(MessageText(unknown)) << unknown;
}

TEST(MessageTableTest, IdsAreAscendingAndInRange) {
  auto table = MessageTable();
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(table.front().id, 41500u);
  EXPECT_EQ(table.back().id, 42041u);
  for (std::size_t i = 1; i < table.size(); ++i) EXPECT_LT(table[i - 1].id, table[i].id);
  // The OTP group is complete from 41901 to 41937 except 41909.
  for (std::uint32_t id = 41901; id <= 41937; ++id) EXPECT_EQ(MessageText(id).has_value(), id != 41909) << id;
}

class RecordingWindow final : public FlowWindow {
 public:
  struct Posted {
    std::uint32_t notification, wParam, lParam;
    bool operator==(const Posted&) const = default;
  };
  bool Post(std::uint32_t n, std::uint32_t w, std::uint32_t l, const ChipSnapshot&) override {
    posted.push_back({n, w, l});
    return true;
  }
  bool CancelRequested() override {
    std::lock_guard guard(lock);
    return cancel;
  }
  std::mutex lock;
  bool cancel = false;
  std::vector<Posted> posted;
};

class LastStatusTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetMainWindow(nullptr);
    SetLastStatus(0);
  }
};

TEST_F(LastStatusTest, NotificationsSetTheLastStatus) {
  struct Case {
    std::uint32_t notification, wParam, before, after;
  };
  const Case cases[] = {
      {WM_FLOW_PASS, 41755, 41706, 0},          {WM_FLOW_PASS, 41753, 0, 41753},
      {WM_FLOW_PASS, 41751, 5, 0},              {WM_FLOW_PASS, 41851, 5, 0},
      {WM_FLOW_PASS, 41854, 5, 0},              {WM_FLOW_PASS, 41910, 5, 0},
      {WM_FLOW_PASS, 41913, 5, 0},              {WM_FLOW_PASS, 41931, 5, 0},
      {WM_FLOW_PASS, 41752, 0, 41752},          {WM_FLOW_INFO, 41906, 0, 41906},
      {WM_FLOW_NOTE, 41755, 41706, 41706},      {WM_FLOW_NOTE, 0, 35, 35},
      {WM_FLOW_PROGRESS, 35, 0, 35},            {WM_FLOW_FAIL, 41705, 0, 41705},
      {WM_FLOW_STEP, 41719, 0, 41719},          {WM_FLOW_INFO, 0, 41511, 0},
      {WM_FLOW_FAIL, 41755, 41705, 0},  // the id decides, not the notification
  };
  for (const Case& c : cases) {
    SetLastStatus(c.before);
    EXPECT_EQ(PostFlowMessage(c.notification, c.wParam), 0) << "no window: nothing posted";
    EXPECT_EQ(LastStatus(), c.after) << std::hex << c.notification << " " << std::dec << c.wParam;
  }
}

TEST_F(LastStatusTest, ExitCodeFollowsTheLastStatus) {
  PostFlowMessage(WM_FLOW_PROGRESS, 35);
  EXPECT_EQ(ExitCodeFromStatus(LastStatus()), 1);
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, 41755);
  EXPECT_EQ(ExitCodeFromStatus(LastStatus()), 0);
  PostFlowMessage(WM_FLOW_FAIL, 41512);
  EXPECT_EQ(ExitCodeFromStatus(LastStatus()), 1);
}

TEST_F(LastStatusTest, WindowReceivesEveryNotificationInOrder) {
  RecordingWindow window;
  SetMainWindow(&window);
  EXPECT_EQ(PostFlowMessage(WM_FLOW_STEP, 41721), 1);
  EXPECT_EQ(PostFlowMessage(WM_FLOW_NOTE, 7), 1);
  EXPECT_EQ(PostFlowMessage(WM_FLOW_PASS, 41755), 1);
  EXPECT_EQ(window.posted, (std::vector<RecordingWindow::Posted>{
                               {WM_FLOW_STEP, 41721, 0}, {WM_FLOW_NOTE, 7, 0}, {WM_FLOW_PASS, 41755, 0}}));
  EXPECT_EQ(LastStatus(), 0u);
}

TEST_F(LastStatusTest, CancellationNeedsAWindowWithItsFlagSet) {
  EXPECT_FALSE(FlowCancelled());
  RecordingWindow window;
  SetMainWindow(&window);
  EXPECT_FALSE(FlowCancelled());
  window.cancel = true;
  EXPECT_TRUE(FlowCancelled());
  SetMainWindow(nullptr);
  EXPECT_FALSE(FlowCancelled());
}

class LinkFailureTest : public LastStatusTest {
 protected:
  void TearDown() override {
    TakeLinkFailure();
    LastStatusTest::TearDown();
  }
  VirtualClock clock;
  ScopedClockOverride useClock{clock};
};

// A run that fails while a transfer failure is pending names it (operation,
// address, USB error, step); a verdict it would have posted becomes the link
// failure.
TEST_F(LinkFailureTest, AFailureAfterAFailedTransferIsTheLinkFailure) {
  RecordingWindow window;
  SetMainWindow(&window);
  PostFlowMessage(WM_FLOW_STEP, msg::kStepCheckEmpty);
  NoteLinkFailure("SPI_SF_Read", 0x3000, ResultFromError(kUsbErrorIo));
  NoteLinkFailure("ReadMem", 0xFEA0, ResultFromError(kUsbErrorIo));  // follows from the first
  ::testing::internal::CaptureStderr();
  PostFlowMessage(WM_FLOW_FAIL, msg::kCheckEmptyFail);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(LastStatus(), msg::kLinkFail);
  EXPECT_EQ(window.posted.back(), (RecordingWindow::Posted{WM_FLOW_FAIL, msg::kLinkFail, 0}));
  EXPECT_EQ(err,
            "quillon: link failure: SPI_SF_Read at 0x3000 failed with USB error 31 (stall or I/O error) in step "
            "\"Check empty\"\n");
  EXPECT_EQ(MessageText(msg::kLinkFail), "USB Link Fail!");

  // Reported once: the next failure is its own again.
  PostFlowMessage(WM_FLOW_FAIL, msg::kCheckEmptyFail);
  EXPECT_EQ(LastStatus(), msg::kCheckEmptyFail);

  // A failed operation (no verdict) keeps its id; the link is still named.
  NoteLinkFailure("SPI_SF_EraseChip", 0, kResultDeviceGone);
  ::testing::internal::CaptureStderr();
  PostFlowMessage(WM_FLOW_FAIL, msg::kEraseFlashFail);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("SPI_SF_EraseChip at 0x0 failed with USB error 1167"),
            std::string::npos);
  EXPECT_EQ(LastStatus(), msg::kEraseFlashFail);

  // After a PASS the next run's early failure is in no step yet, not in the passed run's last one.
  PostFlowMessage(WM_FLOW_STEP, msg::kStepCheckEmpty);
  PostFlowMessage(WM_FLOW_PASS, msg::kFirmwareUpdateSucceed);
  NoteLinkFailure("ReadMem", 0xFE21, ResultFromError(kUsbErrorIo));
  ::testing::internal::CaptureStderr();
  PostFlowMessage(WM_FLOW_FAIL, msg::kLinkFail);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("ReadMem at 0xFE21 failed with USB error 31 (stall or I/O error) in step \"start\""),
            std::string::npos);
}

// A verdict blames the chip or the image, so a pending link failure replaces
// it; an operation's own failure id stays, with the link named beside it.
TEST(VerdictIds, JudgeTheChipOrTheImageNotAnOperation) {
  for (std::uint32_t id : {msg::kParseFwFileFail, msg::kCompareDataFail, msg::kVidPidNotMatch,
                           msg::kFirmwareNotForDevice}) {
    EXPECT_TRUE(IsVerdictId(id)) << id;
  }
  for (std::uint32_t id : {msg::kDetectDeviceFail, msg::kResetDeviceFail, msg::kEraseFlashFail,
                           msg::kDisableWriteProtectFail, msg::kLinkFail}) {
    EXPECT_FALSE(IsVerdictId(id)) << id;
  }
}

TEST_F(LinkFailureTest, WhatARetryOrALaterStepGotPastIsNoCause) {
  struct Case {
    const char* name;
    std::function<void()> run;
    std::uint32_t status;
  };
  const Case cases[] = {
      {"retried read that then succeeded",
       [] {
         int calls = 0;
         EXPECT_TRUE(Retried(3, [&] {
           if (++calls == 1) NoteLinkFailure("ReadMem", 0xC2A8, ResultFromError(kUsbErrorIo));
           return calls > 1 ? 1 : 0;
         }));
       },
       msg::kFirmwareNotForDevice},
      {"retried read that failed every time",
       [] { EXPECT_FALSE(Retried(2, [] { NoteLinkFailure("ReadMem", 0xC2A8, kResultDeviceGone); return 0; })); },
       msg::kLinkFail},
      {"failure in an earlier step that passed",
       [] {
         const TraceScope scope{"Test::Steps", 0, kTraceApp};
         EXPECT_EQ(RunSteps(scope, {{nullptr, msg::kEraseFlashFail,
                                     [] {
                                       NoteLinkFailure("ReadMem", 0xFEA0, ResultFromError(kUsbErrorIo));
                                       return true;
                                     }},
                                    {nullptr, msg::kFirmwareNotForDevice, [] { return false; }}}),
                   msg::kFirmwareNotForDevice);
       },
       msg::kFirmwareNotForDevice},
      {"a refusal of this layer, not the link",
       [] { NoteLinkFailure("ReadMem", 0, kResultInvalidArgument); }, msg::kFirmwareNotForDevice},
      {"a PASS in between", [] {
         NoteLinkFailure("ReadMem", 0, kResultDeviceGone);
         PostFlowMessage(WM_FLOW_PASS, msg::kFirmwareUpdateSucceed);
       },
       msg::kFirmwareNotForDevice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.run();
    ::testing::internal::CaptureStderr();
    PostFlowMessage(WM_FLOW_FAIL, msg::kFirmwareNotForDevice);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(LastStatus(), c.status);
  }
}

}  // namespace
}  // namespace quillon
