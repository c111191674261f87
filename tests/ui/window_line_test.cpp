// The window as a production line uses it: loops on units already at the
// image's version, serial numbers, stops, exit status, units pulled mid-run
// and stray keys.
#include "flow/otp_images.h"
#include "platform/sha256.h"
#include "sim/chip_model.h"
#include "sim/plug_requests.h"
#include "sim/sim_session.h"
#include "tools/sim/sim_cli.h"
#include "ui/window_fixture.h"

namespace quillon::testing {
namespace {

using WindowLineTest = WindowFixture;

// Erasing waits at the gate: the run is under way and the chip untouched.
auto HoldAtErase(Gate& gate) {
  return [&gate](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04)) gate.PassOrWait();
    return std::nullopt;
  };
}

// A loop on a unit already at the image's version asks once for the whole
// loop; a No starts nothing and leaves Start usable.
TEST_F(WindowLineTest, LoopOnTheSameVersionAsksOnce) {
  AddBlankChip();
  Open("Loop Test=1\r\n");
  ClickStart();
  ASSERT_EQ(Shown(Control::Result), "PASS");
  ASSERT_TRUE(view.questions.empty());

  view.loopTotalTyped = "3";
  view.answers = {Answer::Yes};
  ClickStart();
  EXPECT_EQ(view.questions, std::vector<std::string>{kSameVersionQuestion});
  EXPECT_EQ(Count("Start Download"), 4);
  EXPECT_EQ(Shown(Control::LoopLeft), "Left : 0");
  EXPECT_TRUE(view.enabled[Control::Start]);

  view.questions.clear();
  view.loopTotalTyped = "2";
  view.answers = {Answer::No};
  ClickStart();
  EXPECT_EQ(view.questions, std::vector<std::string>{kSameVersionQuestion});
  EXPECT_EQ(Count("Start Download"), 4);
  EXPECT_EQ(Shown(Control::LoopLeft), "Left : 0") << "a refused start counts no loop";
  EXPECT_FALSE(window->busy());
  EXPECT_TRUE(view.enabled[Control::Start]);
}

class WindowSerialTest : public WindowFixture, public ::testing::WithParamInterface<const char*> {};

// The unit's own serial is shown before and after the run, with or without
// "SN Address", and names the unit in burn_result.txt.
TEST_P(WindowSerialTest, TheUnitsSerialNamesIt) {
  AddBlankChip();
  const std::string serial = chip->Serial();
  ASSERT_FALSE(serial.empty());
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open(std::string("LogType=1\r\n") + GetParam());
  EXPECT_EQ(Shown(Control::SerialText), serial) << "before the run";
  ClickStart();
  std::filesystem::current_path(previous);
  ASSERT_EQ(Shown(Control::Result), "PASS");
  EXPECT_EQ(Shown(Control::SerialText), serial) << "after the run";
  const std::string burn = ReadFile(temp.path() / "burn_result.txt");
  EXPECT_NE(burn.find(serial), std::string::npos) << burn;
}

INSTANTIATE_TEST_SUITE_P(Settings, WindowSerialTest, ::testing::Values("SN Address=1\r\n", ""),
                         [](const auto& info) { return std::string(*info.param != 0 ? "SnAddress" : "Plain"); });

struct CloseCase {
  const char* name;
  CloseRequest how;
  std::deque<Answer> answers;
  bool closes;
};
void PrintTo(const CloseCase& c, std::ostream* out) { *out << c.name; }

class WindowCloseDuringRunTest : public WindowFixture, public ::testing::WithParamInterface<CloseCase> {};

// During a run a key never closes the window, and the close box asks first;
// a confirmed close says "stopping..." and records the run as cancelled.
TEST_P(WindowCloseDuringRunTest, OnlyAConfirmedCloseStopsTheRun) {
  const CloseCase& c = GetParam();
  AddBlankChip();
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open("SaveResultToFile=1\r\nLogType=1\r\n");
  gate.Arm();
  hookBus->hook = HoldAtErase(gate);
  window->OnStart();
  gate.AwaitReached();
  view.RunPosts();
  view.answers = c.answers;
  window->OnClose(c.how);
  EXPECT_EQ(window->closing(), c.closes);
  EXPECT_EQ(view.questions.size(), c.how == CloseRequest::Key ? 0u : 1u);
  if (c.closes) {
    EXPECT_EQ(Shown(Control::StatusText), kStoppingText);
  }
  gate.Open();
  Settle();
  hookBus->hook = nullptr;
  std::filesystem::current_path(previous);
  EXPECT_EQ(window->ended(), c.closes);
  if (!c.closes) {
    EXPECT_EQ(Shown(Control::Result), "PASS") << "the run went on";
    return;
  }
  EXPECT_EQ(window->lastResult(), RunVerdict::Cancelled);
  EXPECT_EQ(Shown(Control::Result), kCancelledResult);
  EXPECT_EQ(LastStatus(), msg::kRunCancelled) << "the window's exit status";
  const std::string burn = ReadFile(temp.path() / "burn_result.txt");
  EXPECT_NE(burn.find(std::to_string(msg::kRunCancelled)), std::string::npos) << burn;
  EXPECT_EQ(burn.find(std::to_string(msg::kResetDeviceFail)), std::string::npos) << burn;
  EXPECT_EQ(ReadFile(temp.path() / "Result.txt"), "fail");
}

INSTANTIATE_TEST_SUITE_P(
    Requests, WindowCloseDuringRunTest,
    ::testing::Values(CloseCase{"EnterOrEscape", CloseRequest::Key, {}, false},
                      CloseCase{"CloseBoxRefused", CloseRequest::CloseBox, {Answer::No}, false},
                      CloseCase{"CloseBoxConfirmed", CloseRequest::CloseBox, {Answer::Yes}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Outside a run too, Enter and Escape never close the window.
TEST_F(WindowLineTest, KeyNeverClosesAnIdleWindow) {
  AddBlankChip();
  Open();
  window->OnClose(CloseRequest::Key);
  Settle();
  EXPECT_FALSE(window->closing());
  EXPECT_TRUE(view.questions.empty());
}

struct ExitCase {
  const char* name;
  int runs;  // 0: closed without a run
  bool eraseFails;
  std::uint32_t status;
};
void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class WindowExitTest : public WindowFixture, public ::testing::WithParamInterface<ExitCase> {};

// However the window is closed, its exit status is its last run's: 0 only
// after a PASS, though a listing followed it.
TEST_P(WindowExitTest, ExitStatusFollowsTheLastRun) {
  const ExitCase& c = GetParam();
  AddBlankChip();
  Open();
  if (c.eraseFails) {
    hookBus->hook = [](HookBus&, UsbHandle, const SetupPacket& s,
                       std::span<std::uint8_t> d) -> std::optional<TransferResult> {
      if (IsOp(s, d, 0x02, 0x04)) return TransferResult{31, 0};
      return std::nullopt;
    };
  }
  for (int run = 0; run < c.runs; ++run) ClickStart();
  hookBus->hook = nullptr;
  view.answers = {Answer::Yes};
  window->OnClose(CloseRequest::CloseBox);
  Settle();
  ASSERT_TRUE(window->ended());
  EXPECT_EQ(LastStatus(), c.status);
  EXPECT_EQ(ExitCodeFromStatus(LastStatus()), c.status == 0 ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(LastRuns, WindowExitTest,
                         ::testing::Values(ExitCase{"Pass", 1, false, 0},
                                           ExitCase{"Fail", 1, true, msg::kEraseFlashFail},
                                           ExitCase{"NoRun", 0, false, msg::kRunCancelled}),
                         [](const auto& info) { return std::string(info.param.name); });


using WindowTileTest = WindowFixture;

// The tile says idle, busy, PASS or FAIL by colour, and "no unit" unlike a
// FAIL; within a run the bar only moves forward and a PASS ends at 100 %.
TEST_F(WindowTileTest, ColourAndProgressTellTheRun) {
  Open();
  EXPECT_EQ(view.resultColour, kNoUnitColour);
  EXPECT_NE(kNoUnitColour, kFailColour);

  sim::ChipConfig blank;
  blank.productId = 0x0011;
  chip = &bus.PlugChip(blank);
  window->PollDeviceEvents();
  Settle();
  ASSERT_TRUE(window->devicePresent());
  EXPECT_EQ(view.resultColour, kIdleColour);

  gate.Arm();
  hookBus->hook = HoldAtErase(gate);
  window->OnStart();
  gate.AwaitReached();
  view.RunPosts();
  EXPECT_EQ(view.resultColour, kBusyColour);
  view.progressShown.clear();
  gate.Open();
  Settle();
  hookBus->hook = nullptr;
  ASSERT_EQ(Shown(Control::Result), "PASS");
  EXPECT_EQ(view.resultColour, kPassColour);
  ASSERT_FALSE(view.progressShown.empty());
  EXPECT_TRUE(std::is_sorted(view.progressShown.begin(), view.progressShown.end()));
  EXPECT_EQ(view.progressShown.back(), 100);
  EXPECT_EQ(view.focused, Control::Start) << "Space starts the next unit";

  hookBus->hook = [](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04)) return TransferResult{31, 0};
    return std::nullopt;
  };
  view.answers = {Answer::Yes};  // the unit now runs the image
  ClickStart();
  hookBus->hook = nullptr;
  EXPECT_EQ(view.resultColour, kFailColour);
  EXPECT_EQ(Shown(Control::SessionCounts), "Pass 1  Fail 1  Yield 50.0 %");
  EXPECT_EQ(Shown(Control::UnitLocation), "Location: 1-1");
}

// A unit that leaves between its listing and its run fails, and its record
// still names where it was.
TEST_F(WindowTileTest, AUnitGoneBeforeItsRunIsRecordedAtItsPort) {
  Open("AutoRun=1\r\nAutoRunDelay=100\r\nResultJson=runs.jsonl\r\n");
  sim::ChipConfig blank;
  blank.productId = 0x0011;
  chip = &bus.PlugChip(blank);
  window->PollDeviceEvents();
  // Listed, its automatic start waiting for the delay.
  for (int guard = 0; guard < 200000 && !(window->WorkerIdle() && !view.HasPosts() && window->devicePresent()); ++guard) {
    if (!view.RunPosts()) view.AwaitPost();
  }
  ASSERT_TRUE(window->devicePresent());
  bus.PullChip(0);
  Settle();
  EXPECT_EQ(Shown(Control::Result), "FAIL");
  const std::string records = ReadFile(temp.path() / "runs.jsonl");
  EXPECT_NE(records.find("\"location\":\"1-1\""), std::string::npos) << records;
}

TEST(SessionCountsTest, Texts) {
  EXPECT_EQ(SessionCountsText(0, 0), "Pass 0  Fail 0  Yield -");
  EXPECT_EQ(SessionCountsText(2, 1), "Pass 2  Fail 1  Yield 66.7 %");
  EXPECT_EQ(SessionCountsText(0, 3), "Pass 0  Fail 3  Yield 0.0 %");
}

// "AutoRun" 1 starts every new unit once: a second unit plugged in after the
// first one's PASS runs by itself; the same unit plugged back does not.
TEST_F(WindowTileTest, AutoRunStartsEveryNewUnit) {
  AddBlankChip();
  Open("AutoRun=1\r\n");
  window->PollDeviceEvents();
  Settle();
  ASSERT_EQ(Count("Start Download"), 1);
  bus.UnplugChip(0);
  window->PollDeviceEvents();
  Settle();
  sim::ChipConfig next;
  next.productId = 0x0011;
  next.serial = "UNIT-0002";
  bus.PlugChip(next);
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(Count("Start Download"), 2);
  EXPECT_TRUE(view.questions.empty()) << "the blank unit is not compared with the last one";
  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_EQ(Shown(Control::SerialText), "UNIT-0002");
  EXPECT_EQ(window->passCount(), 2);
}


using WindowStationImageTest = WindowFixture;

// "ImageFile" names the station's image: the window shows its name, version
// and hash prefix and writes exactly it instead of the built-in image.
TEST_F(WindowStationImageTest, WritesTheStationsImage) {
  const std::vector<std::uint8_t> image = MakeImage("tq7704");
  ASSERT_FALSE(image.empty());
  temp.Write("station.rfw", std::string(image.begin(), image.end()));
  AddBlankChip();
  Open("ImageFile=station.rfw\r\n");
  const std::string shown = Shown(Control::ImageText);
  EXPECT_EQ(shown.rfind("station.rfw  ", 0), 0u) << shown;
  EXPECT_NE(shown.find("SHA-256 " + Sha256Hex(image).substr(0, 12)), std::string::npos) << shown;
  ASSERT_TRUE(view.enabled[Control::Start]);
  view.answers = {Answer::Yes, Answer::Yes};
  ClickStart();
  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_EQ(FlashBytes(image.size()), image);
}

// A station image that is missing or is no image is shown, and Start stays off.
TEST_F(WindowStationImageTest, RefusedImageKeepsStartOff) {
  temp.Write("junk.rfw", std::string(100, 'x'));
  for (const char* setting : {"missing.rfw", "junk.rfw"}) {
    SCOPED_TRACE(setting);
    const auto station = LoadStationImage(setting);
    ASSERT_TRUE(station.has_value());
    EXPECT_FALSE(station->usable);
    EXPECT_NE(station->description.find(setting), std::string::npos) << station->description;
  }
  EXPECT_FALSE(LoadStationImage("").has_value());
  AddBlankChip();
  Open("ImageFile=missing.rfw\r\n");
  EXPECT_TRUE(window->devicePresent());
  EXPECT_FALSE(view.enabled[Control::Start]);
  EXPECT_NE(Shown(Control::StatusText).find("missing.rfw"), std::string::npos) << Shown(Control::StatusText);
  window->OnStart();
  Settle();
  EXPECT_EQ(Count("Start Download"), 0);
}


// With the station's OTP image the password guards a unit's second OTP
// programming from what the unit itself reports: a blank unit is written
// without a question, the same unit again only with the right password.
TEST_F(WindowStationImageTest, OtpImageAsksThePasswordOnTheSecondProgramming) {
  const std::vector<std::uint8_t> image = OtpImage(1024);
  ASSERT_FALSE(image.empty());
  temp.Write("otp.rfw", std::string(image.begin(), image.end()));
  chip = &AddChipWith({.memory = sim::MemoryKind::kOtp}, {});
  Open("ImageFile=otp.rfw\r\nOTP Password=Secret\r\n");
  window->SetOtpUsageSource(nullptr);  // what the unit reports, not a figure of the test
  ASSERT_TRUE(view.enabled[Control::Start]);
  ClickStart();
  ASSERT_EQ(Shown(Control::Result), "PASS") << Shown(Control::StatusText);
  EXPECT_EQ(view.passwordPrompts, 0);
  EXPECT_TRUE(sim::OtpBootBlock(chip->state()).has_value());

  view.password = "secret";
  ClickStart();
  EXPECT_EQ(view.passwordPrompts, 1);
  EXPECT_EQ(view.messages, std::vector<std::string>{kWrongPassword});
  EXPECT_EQ(Count("Start Download"), 1);
  EXPECT_TRUE(view.enabled[Control::Start]);

  view.password = "Secret";
  view.answers = {Answer::Yes, Answer::Yes};
  ClickStart();
  EXPECT_EQ(view.passwordPrompts, 2);
  EXPECT_EQ(Count("Start Download"), 2);
}


struct CancelCase {
  const char* name;
  sim::MemoryKind memory;
  std::function<std::vector<std::uint8_t>()> image;
  std::uint8_t writeOp;  // the memory's data write and read commands (class 0x02)
  std::uint8_t readOp;
};
void PrintTo(const CancelCase& c, std::ostream* out) { *out << c.name; }

// Where the stop comes: during the first data write, or during the read-back after it.
enum class CancelPoint { Write, ReadBack };

class WindowCancelTest : public WindowFixture,
                         public ::testing::WithParamInterface<std::tuple<CancelCase, CancelPoint>> {};

// The window closed (and confirmed) while the unit's memory is being written:
// the run is recorded as the cancel, never as a fault of the unit, and the
// unit is left as the cut left it, without a PASS.
TEST_P(WindowCancelTest, CloseDuringTheWriteIsRecordedAsTheCancel) {
  const auto& [c, point] = GetParam();
  const std::vector<std::uint8_t> image = c.image();
  ASSERT_FALSE(image.empty());
  temp.Write("station.rfw", std::string(image.begin(), image.end()));
  chip = &AddChipWith({.memory = c.memory}, {});
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open("ImageFile=station.rfw\r\nLogType=1\r\nSaveResultToFile=1\r\n");
  gate.Arm();
  bool written = false;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    const bool write = IsOp(s, d, 0x02, c.writeOp);
    if ((point == CancelPoint::Write && write) || (point == CancelPoint::ReadBack && written && IsOp(s, d, 0x02, c.readOp))) {
      gate.PassOrWait();
    }
    written = written || write;
    return std::nullopt;
  };
  window->OnStart();
  gate.AwaitReached();
  view.RunPosts();
  view.answers = {Answer::Yes};
  window->OnClose(CloseRequest::CloseBox);
  gate.Open();
  Settle();
  hookBus->hook = nullptr;
  std::filesystem::current_path(previous);
  ASSERT_TRUE(window->ended());
  EXPECT_EQ(window->lastResult(), RunVerdict::Cancelled);
  EXPECT_EQ(LastStatus(), msg::kRunCancelled);
  const std::string burn = ReadFile(temp.path() / "burn_result.txt");
  EXPECT_NE(burn.find(std::to_string(msg::kRunCancelled)), std::string::npos) << burn;
  EXPECT_EQ(burn.find(std::to_string(msg::kResetDeviceFail)), std::string::npos) << burn;
  EXPECT_EQ(burn.find("Pass,"), std::string::npos) << burn;
  EXPECT_EQ(ReadFile(temp.path() / "Result.txt"), "fail");
  EXPECT_EQ(window->passCount() + window->failCount(), 0) << "a cancel counts neither way";
  // Cut short: the unit does not start the image (during the write it does
  // not even hold it), and an OTP unit books no new code.
  const auto memory = chip->state().memory.bytes();
  if (point == CancelPoint::Write) {
    EXPECT_FALSE(std::equal(image.begin(), image.end(), memory.begin()));
  }
  if (c.memory == sim::MemoryKind::kOtp) {
    EXPECT_FALSE(sim::OtpBootBlock(chip->state()).has_value());
  }
}

std::vector<std::uint8_t> CancelImage(mkimage::Memory memory) {
  mkimage::ImageSpec spec;
  spec.memory = memory;
  if (memory != mkimage::Memory::Spi) {
    spec.configAt = 0;
    spec.size = 0x400;
  }
  std::string error;
  auto image = mkimage::MakeImage(spec, &error);
  EXPECT_TRUE(image.has_value()) << error;
  return image.value_or(std::vector<std::uint8_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Memories, WindowCancelTest,
    ::testing::Combine(
        ::testing::Values(CancelCase{"SpiFlash", sim::MemoryKind::kSpi, [] { return CancelImage(mkimage::Memory::Spi); }, 0x82, 0xC2},
                          CancelCase{"Eeprom8", sim::MemoryKind::kEeprom8, [] { return CancelImage(mkimage::Memory::Eeprom8); }, 0x8B, 0xCB},
                          CancelCase{"Eeprom16", sim::MemoryKind::kEeprom16, [] { return CancelImage(mkimage::Memory::Eeprom16); }, 0x91, 0xD1},
                          CancelCase{"Otp", sim::MemoryKind::kOtp, [] { return OtpImage(5000); }, 0x97, 0xD7}),
        ::testing::Values(CancelPoint::Write, CancelPoint::ReadBack)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == CancelPoint::Write ? "Write" : "ReadBack");
    });


// A station's state file as the window's bus, as a process with QUILLON_SIM
// has it; `hook` sees every transfer first and may hold it.
class StateBackend final : public UsbBackend {
 public:
  explicit StateBackend(std::unique_ptr<UsbBackend> session) : session_(std::move(session)) {}
  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override { return session_->ListDevices(out); }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return session_->Open(instance, out); }
  void Close(UsbHandle handle) override { session_->Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    if (hook) hook(setup, data);
    return session_->ControlTransfer(handle, setup, data, timeoutMs);
  }
  void SetEventListener(UsbEventListener* listener) override { session_->SetEventListener(listener); }
  std::size_t HandleEvents() override { return session_->HandleEvents(); }

  std::function<void(const SetupPacket&, std::span<std::uint8_t>)> hook;

 private:
  std::unique_ptr<UsbBackend> session_;
};

using WindowStationStateTest = WindowFixture;

// Units come and go (quillon-sim plug, pull) while the window holds the
// station's state: "AutoRun" 1 starts a run for a unit plugged in while the
// window is open, and a unit pulled mid-run shows its FAIL, not "no unit".
TEST_F(WindowStationStateTest, UnitsPluggedAndPulledWhileTheWindowHoldsTheState) {
  const std::string state = (temp.path() / "station.state").string();
  std::ostringstream out, err;
  ASSERT_EQ(sim::RunSimCli(std::vector<std::string>{"new", state, "--off-bus-ms", "20"}, out, err), 0) << err.str();
  ASSERT_EQ(sim::RunSimCli(std::vector<std::string>{"pull", state}, out, err), 0) << err.str();
  std::string error;
  auto session = sim::OpenSimSession(state, "", error);
  ASSERT_TRUE(session) << error;
  auto station = std::make_unique<StateBackend>(std::move(session));
  StateBackend* stationBus = station.get();
  backend.reset();
  backend = std::make_unique<ScopedUsbBackend>(std::move(station));
  Open("AutoRun=1\r\n");
  EXPECT_FALSE(window->devicePresent());
  EXPECT_EQ(view.resultColour, kNoUnitColour);

  const auto plug = [&](const std::string& serial) {
    sim::PlugRequest request;
    request.config.serial = serial;
    request.config.offBusMs = 20;
    ASSERT_FALSE(sim::QueueRequest(state, request, error).empty()) << error;
  };
  plug("UNIT-0002");
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(Count("Start Download"), 1);
  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_EQ(Shown(Control::SerialText), "UNIT-0002");

  const auto pull = [&](std::size_t chip) {
    sim::PlugRequest request;
    request.kind = sim::PlugRequest::Kind::kPull;
    request.chip = chip;
    ASSERT_FALSE(sim::QueueRequest(state, request, error).empty()) << error;
  };
  pull(1);  // the written unit leaves the station
  window->PollDeviceEvents();
  Settle();
  EXPECT_EQ(Shown(Control::Result), "PASS") << "the verdict stays until the next run";

  gate.Arm();
  stationBus->hook = [this](const SetupPacket& s, std::span<std::uint8_t> d) {
    if (IsOp(s, d, 0x02, 0x04)) gate.PassOrWait();
  };
  plug("UNIT-0003");
  window->PollDeviceEvents();
  // Until the new unit's automatic run reaches its erase.
  for (int guard = 0; guard < 200000 && !gate.Reached(); ++guard) {
    if (view.RunPosts()) continue;
    if (window->WorkerIdle() && !view.HasPosts() && view.FireTimer()) continue;
    view.AwaitPost();
  }
  ASSERT_TRUE(gate.Reached());
  EXPECT_TRUE(view.questions.empty()) << "a blank unit is not asked about the last unit's version";
  pull(2);
  window->PollDeviceEvents();
  gate.Open();
  Settle();
  stationBus->hook = nullptr;
  EXPECT_EQ(Count("Start Download"), 2);
  EXPECT_EQ(Shown(Control::Result), "FAIL");
  EXPECT_EQ(view.resultColour, kFailColour);
  EXPECT_NE(Shown(Control::StatusText), "No USB Audio");
  EXPECT_EQ(window->failCount(), 1);
  EXPECT_FALSE(window->devicePresent());
}

}  // namespace
}  // namespace quillon::testing
