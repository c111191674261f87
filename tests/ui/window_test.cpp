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
  EXPECT_EQ(Shown(Control::Result), "READY");
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
  EXPECT_EQ(window->lastResult(), RunVerdict::Pass);
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


// The erase fails: FAIL in red with the first report's text (the one the
// records hold) after the list refresh, and exactly one result entry
// although the run reported twice.
TEST_F(WindowTest, FailAtAStepWritesOneResultEntry) {
  AddBlankChip();
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open("SaveResultToFile=2\r\nLogType=1\r\n");
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (!IsOp(s, d, 0x02, 0x04)) return std::nullopt;
    window->Post(WM_FLOW_FAIL, msg::kResetDeviceFail, 0, CurrentChipSnapshot());  // a second report of the same run
    return TransferResult{31, 0};
  };
  ClickStart();
  hookBus->hook = nullptr;
  std::filesystem::current_path(previous);

  EXPECT_EQ(Shown(Control::Result), "FAIL");
  EXPECT_EQ(view.resultColour, kFailColour);
  EXPECT_EQ(Shown(Control::StatusText), "Reset Device Fail!");
  EXPECT_EQ(window->lastResult(), RunVerdict::Fail);
  EXPECT_FALSE(window->busy());
  EXPECT_TRUE(view.enabled[Control::Start]);
  EXPECT_EQ(ReadFile(temp.path() / "Result.txt"), "TestResult = fail, VID is 0x3a7c, PID is 0x0011, Rev is 0x0001\r\n");
  const std::string burn = ReadFile(temp.path() / "burn_result.txt");
  EXPECT_EQ(std::count(burn.begin(), burn.end(), '\n'), 3) << burn;
  EXPECT_NE(burn.find(std::to_string(msg::kResetDeviceFail)), std::string::npos) << burn;
}

TEST(VersionWordsTest, DecideTheQuestion) {
  using W = std::array<std::uint32_t, 6>;
  struct Case {
    W image;
    W device;
    VersionQuestion expected;
  };
  const Case cases[] = {
      {{1, 2, 3, 4, 5, 6}, {2, 0, 0, 0, 0, 7}, VersionQuestion::None},  // the last word is newer
      {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, VersionQuestion::Same},
      {{1, 2, 3, 4, 5, 5}, {1, 2, 3, 4, 5, 6}, VersionQuestion::Older},
      {{1, 2, 3, 4, 5, 5}, {0x000B, 0x000B, 0x00BB, 0xBBBB, 0xBBBB, 0xBBBB}, VersionQuestion::None},
      {{0x000B, 0x000B, 0x00BB, 0xBBBB, 0xBBBB, 0xBBBB}, {0x000B, 0x000B, 0x00BB, 0xBBBB, 0xBBBB, 0xBBBB},
       VersionQuestion::Same},
  };
  for (const Case& c : cases) EXPECT_EQ(CompareVersionWords(c.image, c.device), c.expected);
}

TEST(BuiltinNameTest, ComesFromTheSelectedEntry) {
  EXPECT_EQ(BuiltinNameForSelection("VID_3A7C&PID_0011&REV_0001"), "FFU_3A7C_0011");
  EXPECT_EQ(BuiltinNameForSelection(""), "FFU");
}

// The chip runs the image already: the window asks; No leaves everything as
// it was, Yes writes it again.
TEST_F(WindowTest, SameVersionIsAskedFirst) {
  AddBlankChip();
  Open();
  ClickStart();
  ASSERT_EQ(Shown(Control::Result), "PASS");
  EXPECT_TRUE(view.questions.empty()) << "a blank chip takes any image";

  MarkWire();
  view.answers = {Answer::No};
  ClickStart();
  EXPECT_EQ(view.questions, std::vector<std::string>{kSameVersionQuestion});
  EXPECT_EQ(Count("Start Download"), 1);
  EXPECT_TRUE(WireCommands().empty());
  EXPECT_FALSE(window->busy());
  EXPECT_EQ(Shown(Control::StatusText), "Download Succeed");

  view.answers = {Answer::Yes};
  ClickStart();
  EXPECT_EQ(Count("Start Download"), 2);
  EXPECT_EQ(Shown(Control::Result), "PASS");
}

TEST_F(WindowTest, OlderImageIsAskedFirst) {
  mkimage::ImageSpec spec;
  spec.version = {0x41, 0x19, 0x00, 0x00, 0x09, 0x15, 0x00, 0x00};  // a newer library than the built-in image
  std::string error;
  auto running = mkimage::MakeImage(spec, &error);
  ASSERT_TRUE(running.has_value()) << error;
  chip = &AddChipWith({}, *running);
  Open();
  view.answers = {Answer::No};
  ClickStart();
  EXPECT_EQ(view.questions, std::vector<std::string>{kOlderVersionQuestion});
  EXPECT_EQ(Count("Start Download"), 0);
  EXPECT_EQ(FlashBytes(running->size()), *running);
}

// Three loops: the count goes down, the worker starts the next loop itself,
// and Start stays disabled in between; after the last PASS the chip is listed again.
TEST_F(WindowTest, LoopTestRunsTheCountDown) {
  AddBlankChip();
  Open("Loop Test=1\r\nSaveResultToFile=1\r\n");
  EXPECT_TRUE(view.visible[Control::LoopTotal]);
  view.loopTotalTyped = "3";
  window->OnStart();
  PumpUntil([&] { return window->passCount() == 1; });
  EXPECT_EQ(Shown(Control::Result), "BUSY") << "the loop goes on";
  EXPECT_EQ(Shown(Control::LoopLeft), "Left : 2");
  EXPECT_FALSE(view.enabled[Control::Start]) << "a click now would only cancel the next loop";
  Settle();
  EXPECT_EQ(Count("Start Download"), 3);
  EXPECT_EQ(Count("Auto next loop text"), 2);
  EXPECT_EQ(window->loopTotal(), 0);
  EXPECT_EQ(Shown(Control::LoopLeft), "Left : 0");
  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_TRUE(view.enabled[Control::Start]);
  EXPECT_TRUE(window->devicePresent());
  EXPECT_EQ(ReadFile(temp.path() / "Result.txt"), "pass") << "the last loop's entry";

  // A count of 0 starts nothing.
  view.loopTotalTyped = "0";
  ClickStart();
  EXPECT_EQ(Count("Start Download"), 3);
}

struct LoopFailureCase {
  const char* name;
  const char* total;
  const char* left;
};
void PrintTo(const LoopFailureCase& c, std::ostream* out) { *out << c.name; }

class WindowLoopFailureTest : public WindowFixture, public ::testing::WithParamInterface<LoopFailureCase> {};

// The second run fails: no further loop starts, whether loops were left or not.
TEST_P(WindowLoopFailureTest, StopsTheLoop) {
  AddBlankChip();
  Open("Loop Test=1\r\n");
  view.loopTotalTyped = GetParam().total;
  int erases = 0;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04) && ++erases >= 2) return TransferResult{31, 0};  // every try of the second run
    return std::nullopt;
  };
  ClickStart();
  hookBus->hook = nullptr;
  EXPECT_EQ(Count("Start Download"), 2);
  EXPECT_EQ(Shown(Control::Result), "FAIL");
  EXPECT_EQ(Shown(Control::StatusText), "Erase Flash Fail!");
  EXPECT_EQ(Shown(Control::LoopLeft), GetParam().left);
  EXPECT_TRUE(view.enabled[Control::Start]);
}

INSTANTIATE_TEST_SUITE_P(Runs, WindowLoopFailureTest,
                         ::testing::Values(LoopFailureCase{"LoopsLeft", "3", "Left : 1"},
                                           LoopFailureCase{"LastLoop", "2", "Left : 0"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, LoopTotalThatIsNotACountStartsNothing) {
  AddBlankChip();
  Open("Loop Test=1\r\n");
  for (const char* typed : {"-1", "x", ""}) {
    view.loopTotalTyped = typed;
    ClickStart();
    EXPECT_EQ(Count("Start Download"), 0) << typed;
    EXPECT_EQ(window->loopTotal(), 1) << typed;
    EXPECT_FALSE(window->busy());
  }
  EXPECT_EQ(view.messages.size(), 3u);
}

// "AutoRun" 1: one automatic start for each unit that arrives; its own resets
// and the listing after its PASS never start it again. A unit pulled and
// plugged back is a new arrival.
TEST_F(WindowTest, AutoRunStartsOnce) {
  AddBlankChip();
  Open("AutoRun=1\r\nAutoRunDelay=300\r\n");
  // The chip's own resets during the run came back as arrivals.
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(Count("Start Download"), 1);
  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_GE(view.now, 300u) << "the delay came first";
  // The chip is pulled and plugged back in: listed again, not started again.
  bus.PullChip(0);
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(Shown(Control::StatusText), std::string("Download Succeed - ") + kUnitLeft);
  EXPECT_EQ(Count("Start Download"), 1);
  const int arrivals = Count("Condition4");
  ASSERT_TRUE(bus.ReplugChip(0));
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(Count("Condition4"), arrivals + 1);
  EXPECT_TRUE(window->devicePresent());
  // Its automatic start asks first: the unit already runs this version.
  EXPECT_EQ(view.questions, std::vector<std::string>{kSameVersionQuestion});
  EXPECT_EQ(Count("Start Download"), 1);
  EXPECT_FALSE(window->ended());
}

// "AutoRun" 2: after the PASS the window closes by itself, after the worker,
// and the keep-awake thread is stopped too.
TEST_F(WindowTest, AutoRunTwoClosesAfterThePass) {
  AddBlankChip();
  capture.hints = {{"hw:1,0", "USB Audio Device"}};
  Open("AutoRun=2\r\nRTD3=1\r\n");
  EXPECT_EQ(Count("Start Download"), 1);
  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_TRUE(window->ended());
  EXPECT_EQ(view.ends, 1);
  EXPECT_FALSE(window->KeepAwakeRunning());
  EXPECT_EQ(capture.starts(), capture.stops());
  EXPECT_EQ(LastStatus(), 0u) << "closed itself after a PASS: the listing's status must not fail the exit code";
}

TEST_F(WindowTest, AutoRunNeedsACheck) {
  AddBlankChip();
  UseSettings("AutoRun=1\r\n");
  window = std::make_unique<Window>(view, "", &capture);
  window->OnInitDialog();
  Settle();
  EXPECT_EQ(Count("Start Download"), 0);
  EXPECT_TRUE(window->devicePresent());
}

struct PasswordCase {
  const char* name;
  std::optional<std::string> typed;  // nothing: Cancel
  const char* message;               // null: the run goes ahead
};
void PrintTo(const PasswordCase& c, std::ostream* out) { *out << c.name; }

class WindowPasswordTest : public WindowFixture, public ::testing::WithParamInterface<PasswordCase> {};

// A refused or cancelled password leaves the count, its text and Result.txt as they were.
TEST_P(WindowPasswordTest, GuardsASecondOtpProgramming) {
  const PasswordCase& c = GetParam();
  AddBlankChip();
  temp.Write("Result.txt", "pass");
  Open("OTP Password=Secret\r\nLoop Test=1\r\nSaveResultToFile=1\r\n");
  otpBytesInUse = 12;
  view.password = c.typed;
  view.loopTotalTyped = "2";
  ClickStart();
  if (c.message == nullptr) {
    EXPECT_EQ(view.passwordPrompts, 2) << "asked before each loop";
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(Count("Start Download"), 2);
    return;
  }
  EXPECT_EQ(view.passwordPrompts, 1);
  EXPECT_EQ(view.messages, std::vector<std::string>{c.message});
  EXPECT_EQ(Count("Start Download"), 0);
  EXPECT_EQ(window->loopTotal(), 2);
  EXPECT_EQ(Shown(Control::LoopLeft), "Left : 0");
  EXPECT_EQ(ReadFile(temp.path() / "Result.txt"), "pass");
  EXPECT_FALSE(window->busy());
  EXPECT_TRUE(view.enabled[Control::Start]);
}

INSTANTIATE_TEST_SUITE_P(Answers, WindowPasswordTest,
                         ::testing::Values(PasswordCase{"Accepted", std::string("Secret"), nullptr},
                                           PasswordCase{"WrongCase", std::string("secret"), kWrongPassword},
                                           PasswordCase{"Cancelled", std::nullopt, kPasswordCancelled}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, NoPasswordPromptForABlankOtp) {
  AddBlankChip();
  Open("OTP Password=Secret\r\n");
  otpBytesInUse = 0;
  ClickStart();
  EXPECT_EQ(view.passwordPrompts, 0);
  EXPECT_EQ(Shown(Control::Result), "PASS");
}

// The cable is pulled while the flash is erased: the removal of the open
// device is noted, the run fails on its own and the window leaves busy.
TEST_F(WindowTest, UnplugDuringARun) {
  AddBlankChip();
  Open();
  gate.Arm();
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04)) {
      bus.UnplugChip(0);
      gate.PassOrWait();
    }
    return std::nullopt;
  };
  window->OnStart();
  gate.AwaitReached();
  view.RunPosts();
  ASSERT_TRUE(window->busy());
  DeliverEvents();
  EXPECT_EQ(Count("Condition1"), 1);
  EXPECT_EQ(Count("Condition3"), 0) << "nothing is listed while busy";
  gate.Open();
  Settle();
  hookBus->hook = nullptr;
  // The refresh found no chip, and the unit's FAIL stays on screen.
  EXPECT_EQ(Shown(Control::Result), "FAIL");
  EXPECT_NE(Shown(Control::StatusText), "No USB Audio");
  EXPECT_NE(Shown(Control::StatusText), "");
  EXPECT_EQ(Shown(Control::VersionText), "Current FW: N/A");
  EXPECT_EQ(window->lastResult(), RunVerdict::Fail);
  EXPECT_FALSE(window->busy());
  EXPECT_FALSE(view.enabled[Control::Start]);
}

// Close, twice, while a run is inside the flow: the run stops at its next
// check, the worker ends, and only then does the window end, once.
TEST_F(WindowTest, CloseDuringARunEndsAfterTheWorker) {
  AddBlankChip();
  capture.hints = {{"hw:1,0", "USB Audio Device"}};
  Open("RTD3=1\r\nSaveResultToFile=1\r\n");
  capture.AwaitStarts(1);
  gate.Arm();
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04)) gate.PassOrWait();
    return std::nullopt;
  };
  window->OnStart();
  gate.AwaitReached();
  view.answers = {Answer::Yes};
  window->OnClose();
  EXPECT_TRUE(window->closing());
  EXPECT_FALSE(window->KeepAwakeRunning());
  window->OnClose();
  window->OnStart();
  view.RunPosts();
  EXPECT_FALSE(window->ended());
  EXPECT_EQ(view.ends, 0);
  gate.Open();
  Settle();
  hookBus->hook = nullptr;
  EXPECT_TRUE(window->ended());
  EXPECT_EQ(view.ends, 1);
  EXPECT_EQ(Count("Start Download"), 1);
  EXPECT_EQ(Count("End Download"), 1);
  EXPECT_EQ(Shown(Control::Result), kCancelledResult);
  EXPECT_EQ(ReadFile(temp.path() / "Result.txt"), "fail");
  EXPECT_EQ(capture.starts(), capture.stops());
}

TEST_F(WindowTest, CloseWithoutAWorkerEndsAtOnce) {
  UseSettings("");
  window = std::make_unique<Window>(view, "", &capture);
  view.answers = {Answer::Yes};
  window->OnClose();
  window->OnClose();
  Settle();
  EXPECT_TRUE(window->ended());
  EXPECT_EQ(view.ends, 1);
}

// Start right after a FAIL, while the worker still lists the devices: the
// flow object is not replaced under the worker; the run starts once it is idle.
TEST_F(WindowTest, StartAfterFailWaitsForTheListing) {
  AddBlankChip();
  Open();
  bool listingHeld = false;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04)) {
      hookBus->hide = [&](const UsbDeviceInfo&) {
        if (!listingHeld) {
          listingHeld = true;
          gate.PassOrWait();
        }
        return false;
      };
      return TransferResult{31, 0};
    }
    return std::nullopt;
  };
  gate.Arm();
  window->OnStart();
  PumpUntil([&] { return Shown(Control::Result) == "FAIL"; });
  gate.AwaitReached();  // the worker is inside the listing after the FAIL
  hookBus->hook = nullptr;
  CDevFlow* listing = TheFlow();
  window->OnStart();
  EXPECT_EQ(TheFlow(), listing) << "not re-created under the worker";
  EXPECT_FALSE(window->busy());
  EXPECT_TRUE(view.timers.empty()) << "nothing polls: the worker's end starts it";
  gate.Open();
  Settle();
  hookBus->hide = nullptr;
  EXPECT_EQ(Count("Start Download"), 2);
  EXPECT_EQ(Shown(Control::Result), "PASS");
}

// An image that cannot be loaded never reaches the chip and writes no result file.
TEST_F(WindowTest, StartRefusesAnImageThatDidNotLoad) {
  AddBlankChip();
  Open("SaveResultToFile=1\r\nLogType=1\r\n");
  const std::string empty = temp.Write("empty.rfw", "").string();
  for (const std::string& path : {(temp.path() / "missing.rfw").string(), empty}) {
    TheFlow()->chip.image.mainFile = path;
    window->Post(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed, 1, CurrentChipSnapshot());
    Settle();
    ASSERT_EQ(Shown(Control::ImageText), path);
    MarkWire();
    ClickStart();
    EXPECT_EQ(Shown(Control::Result), "FAIL") << path;
    EXPECT_EQ(Shown(Control::StatusText), "Load File Data Fail!");
    EXPECT_EQ(LastStatus(), msg::kLoadFileDataFail);
    EXPECT_TRUE(WireCommands().empty());
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "Result.txt"));
    EXPECT_FALSE(window->busy());
  }
  EXPECT_EQ(Count("Start Download"), 0);
}

// A record the settings ask for that cannot be written refuses the run before
// the worker sends anything to the chip; the operator learns which file and why.
TEST_F(WindowTest, StartRefusesARunWhoseRecordsCannotBeKept) {
  AddBlankChip();
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open("SaveResultToFile=1\r\nLogType=1\r\n");
  std::filesystem::create_directory(temp.path() / "burn_result.txt");
  MarkWire();
  ClickStart();
  std::filesystem::current_path(previous);
  EXPECT_TRUE(WireCommands().empty());
  EXPECT_EQ(Count("Start Download"), 0);
  ASSERT_FALSE(view.messages.empty());
  EXPECT_EQ(view.messages.back(), "cannot write " + (temp.path() / "burn_result.txt").string() +
                                      ": Is a directory; the chip was not touched");
  EXPECT_FALSE(window->busy());
  EXPECT_TRUE(view.enabled[Control::Start]);
  EXPECT_FALSE(std::filesystem::exists(temp.path() / "Result.txt"));
}

// Devices that come and go while the window is idle are listed again; a
// chosen entry is looked for again by the worker.
TEST_F(WindowTest, DeviceChangesAndSelection) {
  AddBlankChip();
  Open();
  sim::ChipConfig second;
  second.productId = 0x0022;
  second.ic = sim::IcFamily::kTq7724;
  bus.PlugChip(second);
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(view.list, (std::vector<std::string>{"VID_3A7C&PID_0011&REV_0001", "VID_3A7C&PID_0022&REV_0001"}));

  window->OnDeviceListSelected(1);
  EXPECT_TRUE(window->busy());
  Settle();
  EXPECT_FALSE(window->busy());
  EXPECT_EQ(window->SelectionText(), "VID_3A7C&PID_0022&REV_0001");
  EXPECT_TRUE(view.enabled[Control::Start]);

  bus.UnplugChip(1);
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(Count("Condition3"), 1);
  EXPECT_EQ(view.list, std::vector<std::string>{"VID_3A7C&PID_0011&REV_0001"});
}

// A bus without arrival and removal events.
class NoHotplugBus final : public UsbBackend {
 public:
  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override {
    out.clear();
    return kUsbOk;
  }
  std::uint32_t Open(const std::string&, UsbHandle&) override { return kUsbErrorNotFound; }
  void Close(UsbHandle) override {}
  TransferResult ControlTransfer(UsbHandle, const SetupPacket&, std::span<std::uint8_t>, std::uint32_t) override {
    return {kUsbErrorDeviceGone, 0};
  }
  void SetEventListener(UsbEventListener* listener) override { listenerSet = listener != nullptr; }
  std::size_t HandleEvents() override { return 0; }
  bool HotplugAvailable() const override { return false; }
  int HotplugError() const override { return 95; }
  bool listenerSet = false;
};

TEST_F(WindowTest, WithoutHotplugTheWindowSaysSoAndWorks) {
  backend.reset();
  auto noHotplug = std::make_unique<NoHotplugBus>();
  NoHotplugBus* bus = noHotplug.get();
  backend = std::make_unique<ScopedUsbBackend>(std::move(noHotplug));
  Open();
  EXPECT_FALSE(bus->listenerSet);
  EXPECT_EQ(Count("RegisterDeviceNotification failed: 95"), 1);
  EXPECT_EQ(Count("Register device notification fail"), 1);
  EXPECT_EQ(Shown(Control::StatusText), "No USB Audio");
}

TEST_F(WindowTest, KeepAwakeOnlyWithRtd3) {
  AddBlankChip();
  capture.hints = {{"hw:1,0", "USB Audio Device"}};
  Open();
  EXPECT_FALSE(window->KeepAwakeRunning());
  EXPECT_EQ(capture.lists(), 0);
}

}  // namespace
}  // namespace quillon::testing
