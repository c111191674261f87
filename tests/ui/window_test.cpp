// The update window's logic on simulated chips, driven through a fake view.
#include "ui/window_fixture.h"

namespace quillon::testing {
namespace {

constexpr int kImage0011 = 3021;  // the built-in image for 3A7C/0011

using WindowTest = WindowFixture;

TEST_F(WindowTest, OpeningFindsTheChipAndShowsIt) {
  AddBlankChip();
  Open();
  EXPECT_EQ(view.title, "USB Audio FW Update Tool 2.61.32");
  EXPECT_EQ(view.list, std::vector<std::string>{"VID_3A7C&PID_0011&REV_0001"});
  EXPECT_EQ(view.selected, 0);
  EXPECT_EQ(Shown(Control::DeviceListLabel), "Audio IC:");
  EXPECT_EQ(Shown(Control::ImageText).rfind("Update FW version:", 0), 0u) << Shown(Control::ImageText);
  EXPECT_EQ(Shown(Control::Result), "N/A");
  EXPECT_TRUE(window->devicePresent());
  EXPECT_TRUE(view.enabled[Control::Start]);
  EXPECT_FALSE(view.visible[Control::GetVersion]);
  EXPECT_FALSE(view.visible[Control::LoopTotal]) << "shown only with the loop test";
  EXPECT_EQ(view.layouts, 1);
}

TEST_F(WindowTest, NoChipLeavesStartDisabled) {
  Open();
  EXPECT_EQ(Shown(Control::StatusText), "No USB Audio");
  EXPECT_EQ(Shown(Control::VersionText), "Current FW: N/A");
  EXPECT_FALSE(window->devicePresent());
  EXPECT_FALSE(view.enabled[Control::Start]);
}

// A whole update from the Start button: the built-in image for the chip is
// written, the chip runs it, PASS is green, and each result file has one entry.
TEST_F(WindowTest, WholeUpdateToPass) {
  AddBlankChip();
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open("SaveResultToFile=2\r\nLogType=1\r\n");
  ClickStart();
  std::filesystem::current_path(previous);

  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_EQ(view.resultColour, kPassColour);
  EXPECT_EQ(Shown(Control::StatusText), "Download Succeed");
  EXPECT_FALSE(window->busy());
  EXPECT_EQ(window->lastResult(), 1);
  EXPECT_EQ(Count("Start Download"), 1);
  const auto image = BuiltinImage(kImage0011);
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(FlashBytes(image.size()), image);
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
  EXPECT_EQ(ReadFile(temp.path() / "Result.txt"),
            "After Download,TestResult = pass, VID is 0x3a7c, PID is 0x0011, Rev is 0x0001\r\n");
  const std::string burn = ReadFile(temp.path() / "burn_result.txt");
  EXPECT_EQ(std::count(burn.begin(), burn.end(), '\n'), 3) << burn;  // two header lines and one entry
  EXPECT_NE(burn.find("Pass,"), std::string::npos);
  // The chip was found again after its reset and can be updated once more.
  EXPECT_TRUE(window->devicePresent());
  EXPECT_TRUE(view.enabled[Control::Start]);
}

}  // namespace
}  // namespace quillon::testing
