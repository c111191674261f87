// The window shows the unit in front of the operator: units plugged, pulled
// and plugged back, two at once, a unit not accepted, serial numbers typed
// for each unit, the close questions, and a window that answers while a run
// holds the bus.
#include <cstdlib>
#include <utility>

#include "flow/otp_images.h"
#include "platform/clock.h"
#include "ui/window_fixture.h"

namespace quillon::testing {
namespace {

using WindowUnitTest = WindowFixture;

// Runs posts and due timers until the run waits at `gate`; false when it
// never gets there (a guard, not a measure of time).
bool RunUntilHeld(Window& window, FakeView& view, Gate& gate) {
  for (int guard = 0; guard < 4000 && !gate.Reached(); ++guard) {
    if (view.RunPosts()) continue;
    if (window.WorkerIdle() && !view.HasPosts() && view.FireTimer()) continue;
    view.AwaitPost();
  }
  return gate.Reached();
}

sim::ChipConfig Unit(const char* serial, std::uint16_t pid = 0x0011) {
  sim::ChipConfig config;
  config.productId = pid;
  config.serial = serial;
  config.offBusMs = 20;
  return config;
}

// Holds the run at its chip erase until the gate opens.
HookBus::Hook HoldAtErase(Gate& gate) {
  return [&gate](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04)) gate.PassOrWait();
    return std::nullopt;
  };
}

// A unit pulled mid-run fails; the next unit at that port passes; the first
// plugged back is a new unit: READY (or started, with AutoRun), never the
// last unit's green PASS beside its own serial.
class WindowAutoRunTest : public WindowFixture, public ::testing::WithParamInterface<bool> {};

std::string AutoRunName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "AutoRun" : "ByHand"; }

TEST_P(WindowAutoRunTest, AUnitPluggedBackIsANewUnit) {
  const bool autoRun = GetParam();
  {
    Open(autoRun ? "AutoRun=1\r\n" : "");
    bus.PlugChip(Unit("UNIT-A"));
    DeliverEvents();
    if (!autoRun) Settle();
    gate.Arm();
    hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
      if (IsOp(s, d, 0x02, 0x04)) {
        bus.PullChip(0);
        gate.PassOrWait();
      }
      return std::nullopt;
    };
    if (!autoRun) window->OnStart();
    ASSERT_TRUE(RunUntilHeld(*window, view, gate));
    hookBus->hook = nullptr;
    gate.Open();
    Settle();
    DeliverEvents();
    Settle();
    ASSERT_EQ(Shown(Control::Result), "FAIL");

    bus.PlugChip(Unit("UNIT-B"));
    DeliverEvents();
    Settle();
    if (!autoRun) ClickStart();
    ASSERT_EQ(Shown(Control::Result), "PASS");
    ASSERT_EQ(Shown(Control::SerialText), "UNIT-B");
    bus.PullChip(1);
    DeliverEvents();
    Settle();

    ASSERT_TRUE(bus.ReplugChip(0));
    DeliverEvents();
    Settle();
    EXPECT_EQ(Shown(Control::SerialText), "UNIT-A");
    EXPECT_EQ(Shown(Control::UnitLocation), "Location: 1-1");
    if (autoRun) {
      EXPECT_EQ(Count("Start Download"), 3) << "its own automatic start";
      EXPECT_EQ(Shown(Control::Result), "PASS");
    } else {
      EXPECT_EQ(Count("Start Download"), 2);
      EXPECT_EQ(Shown(Control::Result), "READY");
      EXPECT_EQ(view.resultColour, kIdleColour);
      EXPECT_NE(Shown(Control::StatusText), "Download Succeed");
    }
  }
}

// After a PASS, a unit that is not one the station writes, or one pulled
// before it was even read, never shows that PASS.
TEST_F(WindowUnitTest, TheLastPassNeverStaysBesideAnotherUnit) {
  AddBlankChip();
  Open();
  ClickStart();
  ASSERT_EQ(Shown(Control::Result), "PASS");
  bus.PullChip(0);
  DeliverEvents();
  Settle();
  EXPECT_NE(Shown(Control::StatusText).find(kUnitLeft), std::string::npos) << Shown(Control::StatusText);

  bus.PlugChip(Unit("OTHER-PRODUCT", 0x0099));
  DeliverEvents();
  Settle();
  EXPECT_NE(Shown(Control::Result), "PASS");
  EXPECT_NE(view.resultColour, kPassColour);
  EXPECT_NE(Shown(Control::SerialText), chip->Serial());
  EXPECT_FALSE(view.enabled[Control::Start]);

  bus.PullChip(1);
  bus.PlugChip(Unit("GONE-AT-ONCE"));
  bus.PullChip(2);
  DeliverEvents();
  Settle();
  EXPECT_EQ(Shown(Control::Result), kNoUnitResult);
  EXPECT_EQ(view.resultColour, kNoUnitColour);
  EXPECT_FALSE(view.enabled[Control::Start]);
}

// A second unit plugged during a run waits for it and gets its own run; the
// first unit's PASS names the first unit; each record names its own unit.
TEST_P(WindowAutoRunTest, TwoUnitsAtOnceEachGetTheirOwnRun) {
  const bool autoRun = GetParam();
  {
    const std::string records = autoRun ? "auto.jsonl" : "hand.jsonl";
    Open((autoRun ? "AutoRun=1\r\n" : "") + std::string("ResultJson=") + records + "\r\n");
    gate.Arm();
    hookBus->hook = HoldAtErase(gate);
    bus.PlugChip(Unit("UNIT-1"));
    DeliverEvents();
    if (!autoRun) {
      Settle();
      window->OnStart();
    }
    ASSERT_TRUE(RunUntilHeld(*window, view, gate));
    hookBus->hook = nullptr;
    bus.PlugChip(Unit("UNIT-2"));
    DeliverEvents();
    EXPECT_EQ(Shown(Control::SerialText), "UNIT-1") << "the run's unit stays on screen";
    EXPECT_EQ(Shown(Control::Result), "BUSY");
    gate.Open();
    if (!autoRun) {
      Settle();
      EXPECT_EQ(Shown(Control::Result), "PASS");
      EXPECT_EQ(Shown(Control::SerialText), "UNIT-1");
      EXPECT_EQ(Shown(Control::UnitLocation), "Location: 1-1");
      EXPECT_EQ(Count("Start Download"), 1);
      ClickStart();
    }
    Settle();
    EXPECT_EQ(Count("Start Download"), 2) << "one run each";
    EXPECT_EQ(Shown(Control::Result), "PASS");
    EXPECT_EQ(Shown(Control::SerialText), "UNIT-2");
    EXPECT_EQ(Shown(Control::UnitLocation), "Location: 1-2");
    const std::string lines = ReadFile(temp.path() / records);
    EXPECT_NE(lines.find("\"location\":\"1-1\""), std::string::npos) << lines;
    EXPECT_NE(lines.find("\"location\":\"1-2\""), std::string::npos) << lines;
    EXPECT_NE(lines.find("UNIT-1"), std::string::npos) << lines;
    EXPECT_NE(lines.find("UNIT-2"), std::string::npos) << lines;
  }
}

INSTANTIATE_TEST_SUITE_P(Starts, WindowAutoRunTest, ::testing::Bool(), AutoRunName);

class ScopedSerialEnv {
 public:
  explicit ScopedSerialEnv(const char* value) {
    if (value != nullptr) {
      setenv("QUILLON_SERIAL", value, 1);
    } else {
      unsetenv("QUILLON_SERIAL");
    }
  }
  ~ScopedSerialEnv() { unsetenv("QUILLON_SERIAL"); }
};

struct SerialCase {
  const char* name;
  const char* environment;
  const char* typed;
  const char* written;  // nullptr: refused
};
void PrintTo(const SerialCase& c, std::ostream* out) { *out << c.name; }

class WindowSerialEntryTest : public WindowFixture, public ::testing::WithParamInterface<SerialCase> {};

// "SaveSN": the number typed (or scanned) for the unit is written, else
// QUILLON_SERIAL as in the batch mode; without either the run is refused
// before the chip is touched. The field is emptied for the next unit.
TEST_P(WindowSerialEntryTest, SaveSnWritesTheUnitsOwnNumber) {
  const SerialCase& c = GetParam();
  ScopedSerialEnv environment(c.environment);
  AddBlankChip();
  Open("SaveSN=1\r\nLogType=1\r\n");
  EXPECT_TRUE(view.visible[Control::SerialEntry]);
  EXPECT_EQ(view.focused, Control::SerialEntry) << "the scanner types into it";
  view.texts[Control::SerialEntry] = c.typed;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  ClickStart();
  std::filesystem::current_path(previous);
  if (c.written == nullptr) {
    EXPECT_EQ(Count("Start Download"), 0);
    EXPECT_EQ(Shown(Control::StatusText), kSerialNeeded);
    EXPECT_EQ(Shown(Control::Result), "READY");
    return;
  }
  EXPECT_EQ(Shown(Control::Result), "PASS") << Shown(Control::StatusText);
  EXPECT_EQ(Shown(Control::SerialText), c.written);
  const std::string burn = ReadFile(temp.path() / "burn_result.txt");
  EXPECT_NE(burn.find(c.written), std::string::npos) << burn;
  EXPECT_EQ(Shown(Control::SerialEntry), "") << "ready for the next unit's number";
}

INSTANTIATE_TEST_SUITE_P(Sources, WindowSerialEntryTest,
                         ::testing::Values(SerialCase{"Environment", "ENV-0001", "", "ENV-0001"},
                                           SerialCase{"Typed", "ENV-0001", "SCAN-0002", "SCAN-0002"},
                                           SerialCase{"Neither", nullptr, "", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

// Enter and Escape never close the window; the close box always asks, and No
// (the default) keeps it open.
TEST_F(WindowUnitTest, OnlyAConfirmedCloseBoxCloses) {
  AddBlankChip();
  Open();
  ClickStart();
  ASSERT_EQ(Shown(Control::Result), "PASS");
  window->OnClose(CloseRequest::Key);
  Settle();
  EXPECT_FALSE(window->closing());
  EXPECT_TRUE(view.questions.empty());

  window->OnClose(CloseRequest::CloseBox);  // no answer given: the default
  Settle();
  EXPECT_EQ(view.questions, std::vector<std::string>{kCloseQuestion});
  EXPECT_FALSE(window->closing());

  view.answers = {Answer::Yes};
  window->OnClose(CloseRequest::CloseBox);
  Settle();
  EXPECT_TRUE(window->ended());
}

// A password refused or cancelled leaves the unit READY with the refusal on
// screen: no green tile, no "Begin to Download".
class WindowPasswordRefusalTest : public WindowFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(WindowPasswordRefusalTest, LeavesTheUnitReady) {
  const bool cancel = GetParam();
  {
    AddBlankChip();
    Open("OTP Password=Secret\r\n");
    otpBytesInUse = 64;
    if (!cancel) view.password = "secret";
    view.answers = {Answer::Yes};
    ClickStart();
    EXPECT_EQ(view.passwordPrompts, 1);
    EXPECT_EQ(Count("Start Download"), 0);
    EXPECT_EQ(Shown(Control::Result), "READY");
    EXPECT_EQ(view.resultColour, kIdleColour);
    EXPECT_EQ(Shown(Control::StatusText), cancel ? kPasswordCancelled : kWrongPassword);
    EXPECT_TRUE(view.enabled[Control::Start]);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, WindowPasswordRefusalTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Cancelled" : "Wrong"); });

// A loop between its runs is busy, not a blue "PASS"; a question answered No
// leaves the count the operator typed.
TEST_F(WindowUnitTest, LoopTileAndCount) {
  AddBlankChip();
  Open("Loop Test=1\r\n");
  view.loopTotalTyped = "2";
  std::vector<std::string> between;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsOp(s, d, 0x02, 0x04)) between.push_back(Shown(Control::Result));
    return std::nullopt;
  };
  window->OnStart();
  std::vector<std::string> tiles;
  for (int guard = 0; guard < 200000 && (window->busy() || !window->WorkerIdle() || view.HasPosts() || !view.timers.empty());
       ++guard) {
    if (view.RunOne()) {
      if (view.resultColour == kBusyColour) tiles.push_back(Shown(Control::Result));
      continue;
    }
    if (!window->WorkerIdle()) {
      view.AwaitPost();
      continue;
    }
    if (!view.FireTimer()) break;
    if (view.resultColour == kBusyColour) tiles.push_back(Shown(Control::Result));
  }
  hookBus->hook = nullptr;
  EXPECT_EQ(Count("Start Download"), 2);
  ASSERT_FALSE(tiles.empty());
  for (const std::string& tile : tiles) EXPECT_EQ(tile, "BUSY");

  view.loopTotalTyped = "3";
  view.answers = {Answer::No};
  ClickStart();
  EXPECT_EQ(view.questions.size(), 1u);
  EXPECT_EQ(view.loopTotalTyped, "3") << "the count typed stays";
}

// A close confirmed while the run waits for the chip after its last reset:
// the unit is written, so it is a PASS, and the screen says it finished
// before the stop.
TEST_F(WindowUnitTest, CloseDuringTheResetWaitIsAPass) {
  AddBlankChip();
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open("LogType=1\r\n");
  gate.Arm();
  // The first transfer after the reset into the new code: the run is waiting for the chip to return.
  bool resetSent = false;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (std::exchange(resetSent, false)) gate.PassOrWait();
    const std::string op = OperationOf(s, d);
    if (op == "0009" || op == "vr22") resetSent = true;
    return std::nullopt;
  };
  window->OnStart();
  ASSERT_TRUE(RunUntilHeld(*window, view, gate));
  view.answers = {Answer::Yes};
  window->OnClose(CloseRequest::CloseBox);
  EXPECT_EQ(Shown(Control::StatusText), kStoppingText);
  hookBus->hook = nullptr;
  gate.Open();
  Settle();
  std::filesystem::current_path(previous);
  ASSERT_TRUE(window->ended());
  EXPECT_EQ(window->lastResult(), RunVerdict::Pass);
  EXPECT_EQ(Shown(Control::Result), "PASS");
  EXPECT_EQ(Shown(Control::StatusText), kFinishedBeforeStop);
  EXPECT_EQ(LastStatus(), 0u);
  const std::string burn = ReadFile(temp.path() / "burn_result.txt");
  EXPECT_NE(burn.find("Pass,"), std::string::npos) << burn;
}

// A stray image in the station directory (an OTP image beside "ImageFile"):
// only the station's image is written, through the flow of its memory, and
// nothing starts another run by itself afterwards.
TEST_F(WindowUnitTest, OnlyTheStationImageIsWritten) {
  const std::vector<std::uint8_t> station = MakeImage("tq7704");
  const std::vector<std::uint8_t> stray = OtpImage(1024);
  ASSERT_FALSE(station.empty());
  ASSERT_FALSE(stray.empty());
  temp.Write("spi.rfw", std::string(station.begin(), station.end()));
  temp.Write("otp.rfw", std::string(stray.begin(), stray.end()));  // listed first, by name
  AddBlankChip();
  Open("ImageFile=spi.rfw\r\n");
  view.answers = {Answer::Yes, Answer::Yes};
  ClickStart();
  EXPECT_EQ(Shown(Control::Result), "PASS") << Shown(Control::StatusText);
  EXPECT_EQ(FlashBytes(station.size()), station);
  Settle();
  EXPECT_EQ(Count("Start Download"), 1) << "no start but the operator's";
  EXPECT_TRUE(view.timers.empty());
}

// A clock whose long sleeps inside a chip's transfer (a slow erase, with the
// bus held) wait until the test lets them go.
class HeldClock final : public Clock {
 public:
  HeldClock(Clock& inner, Gate& gate) : inner_(inner), gate_(gate) {}
  std::uint64_t NowMs() override { return inner_.NowMs(); }
  void SleepMs(std::uint32_t ms) override {
    if (ms >= kSlowEraseMs && sim::SimBus::InTransferOnThisThread()) gate_.PassOrWait();
    inner_.SleepMs(ms);
  }
  static constexpr std::uint32_t kSlowEraseMs = 4000;

 private:
  Clock& inner_;
  Gate& gate_;
};

// The window's thread never waits on the bus: while a slow erase holds it,
// the view's event poll and a close request return at once, and the close is
// carried out when the erase ends.
TEST_F(WindowUnitTest, TheWindowAnswersWhileAnEraseHoldsTheBus) {
  chip = &AddChipWith(Unit("SLOW-ERASE"), {});
  chip->state().faults.slowEraseMs = HeldClock::kSlowEraseMs;
  HeldClock held(clock, gate);
  ScopedClockOverride holding(held);
  Open();
  gate.Arm();
  window->OnStart();
  ASSERT_TRUE(RunUntilHeld(*window, view, gate));  // the worker sleeps inside the erase, holding the bus
  window->PollDeviceEvents();  // its reader now waits for the bus, the window does not
  view.RunPosts();
  view.answers = {Answer::Yes};
  window->OnClose(CloseRequest::CloseBox);
  EXPECT_TRUE(window->closing());
  EXPECT_EQ(Shown(Control::StatusText), kStoppingText);
  EXPECT_FALSE(window->ended());
  gate.Open();
  Settle();
  EXPECT_TRUE(window->ended());
}

}  // namespace
}  // namespace quillon::testing
