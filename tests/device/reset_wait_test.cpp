// The waits of the reset sequence: the arrival event ending the wait after the
// reset early, and a chip that answers "not ready" for a while after it comes
// back. All in virtual time; the clock's sleep hook plays the window thread.
#include <algorithm>

#include "device/cam_dev.h"
#include "device/reset_reopen.h"
#include "device/vxcam.h"
#include "device_fixture.h"
#include "support/debug_lines.h"

namespace quillon {
namespace {

using testing::DeviceFixture;
using testing::HookedClock;

// What the window does on a device arrival: tell the current device object.
class ArrivalToDevice final : public UsbEventListener {
 public:
  void OnDeviceArrived(const UsbDeviceInfo&) override { arrivals += VxCam_SignalArrival(); }
  void OnDeviceRemoved(const UsbDeviceInfo&) override {}
  int arrivals = 0;
};

class ResetWaitTest : public DeviceFixture {
 protected:
  void TearDown() override {
    bus.SetEventListener(nullptr);
    VxCam_CloseDevice();
    DeviceFixture::TearDown();
  }
  sim::SimChip& OpenCurrent(const sim::ChipConfig& config) {
    sim::SimChip& chip = bus.AddChip(config);
    EXPECT_EQ(VxCam_Init(0), 1);
    flow.handle = VxCam_OpenDeviceByIndex(0);
    EXPECT_NE(flow.handle, 0u);
    return chip;
  }
  // Events are delivered whenever the sequence sleeps, as the window thread
  // would deliver them while the worker waits.
  void DeliverEventsWhileWaiting() {
    bus.SetEventListener(&listener);
    hooked.onSleep = [this](std::uint32_t) { bus.HandleEvents(); };
  }

  HookedClock hooked{clock};
  ScopedClockOverride useHooked{hooked};
  ArrivalToDevice listener;
  FlowDevice flow;
};

TEST_F(ResetWaitTest, WaitEndsWhenTheChipIsBack) {
  constexpr std::uint32_t kOffBusMs = 725;  // not a whole number of event steps
  constexpr std::uint32_t kWaitMs = 5000;
  struct Case {
    const char* what;
    bool deliverArrival;
    bool staleSignal;  // an arrival from before the reset is still set
    std::uint64_t atLeast;
    std::uint64_t below;
  };
  // With or without an arrival event the wait ends once the chip is listed
  // again; a stale arrival does not end it before that.
  const Case cases[] = {
      {"arrival heard", true, false, kOffBusMs, kOffBusMs + ArrivalEvent::kStepMs + 1},
      {"no arrival heard", false, false, kOffBusMs, kOffBusMs + kReturnPollMs + 1},
      {"only a stale arrival", false, true, kOffBusMs, kOffBusMs + kReturnPollMs + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::SimChip& chip = OpenCurrent({.offBusMs = kOffBusMs});
    if (c.deliverArrival) {
      DeliverEventsWhileWaiting();
    }
    if (c.staleSignal) {
      ASSERT_EQ(VxCam_SignalArrival(), 1);
    }
    testing::DebugLines debug;
    const std::uint64_t start = clock.NowMs();
    EXPECT_EQ(VxCam_ResetToUpdateFWAndReopen(flow, 0, 0, kWaitMs), 1);
    const std::uint64_t spent = clock.NowMs() - start;
    EXPECT_GE(spent, c.atLeast);
    EXPECT_LT(spent, c.below);
    EXPECT_EQ(chip.state().generation, 2u);
    EXPECT_EQ(listener.arrivals, c.deliverArrival ? 1 : 0);
    // Nothing is searched for while the chip is still away: the first search
    // finds it, however early the wait ended.
    auto texts = debug.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), std::string("VxCam_OpenDevice return 259")), 0);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), std::string("VxCam_OpenDevice return 0")), 1);
    // The chip found again is the one the flat functions now talk to.
    std::array<std::uint8_t, 2> mode{};
    EXPECT_EQ(VxCam_ReadMem(flow.handle, 0xFE21, mode, 0), 1);
    EXPECT_EQ(mode[1], 0xB0);

    bus.SetEventListener(nullptr);
    hooked.onSleep = nullptr;
    listener.arrivals = 0;
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

TEST_F(ResetWaitTest, ArrivalSignalledWhileTheChipIsStillAwayDoesNotLoseIt) {
  // The window hears of some other device while the chip is away: the wait
  // ends, the search then waits for the chip itself and still finds it.
  sim::SimChip& chip = OpenCurrent({.offBusMs = 1500});
  hooked.onSleep = [&](std::uint32_t) {
    if (chip.state().generation == 1) VxCam_SignalArrival();
  };
  testing::DebugLines debug;
  const std::uint64_t start = clock.NowMs();
  EXPECT_EQ(VxCam_ResetToUpdateFWAndReopen(flow, 0, 0, kDefaultResetWaitMs), 1);
  const std::uint64_t spent = clock.NowMs() - start;
  EXPECT_GE(spent, 1500u);
  EXPECT_LT(spent, 1500u + kSearchNoDeviceMs + 1);
  auto texts = debug.texts();
  EXPECT_GE(std::count(texts.begin(), texts.end(), std::string("VxCam_OpenDevice return 259")), 5);
  EXPECT_EQ(chip.state().generation, 2u);
}

// "Wait Time" bounds the wait: a chip away for longer is then searched for
// until it appears; a wait longer than the reset's limit ends at the limit.
TEST_F(ResetWaitTest, WaitTimeIsTheUpperBound) {
  struct Case {
    const char* what;
    std::uint32_t offBusMs;
    std::uint32_t waitMs;
    int ok;
    std::uint64_t atLeast;
    std::uint64_t below;
  };
  const Case cases[] = {
      {"chip away longer than the wait", 3000, 1000, 1, 3000, 3000 + kSearchNoDeviceMs + 1},
      {"chip away for good, wait beyond the limit", 3600000, 60000, 0, kResetLimitMs,
       kResetLimitMs + kSearchNoDeviceMs + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::SimChip& chip = OpenCurrent({.offBusMs = c.offBusMs});
    testing::DebugLines debug;
    const std::uint64_t start = clock.NowMs();
    EXPECT_EQ(VxCam_ResetToUpdateFWAndReopen(flow, 0, 0, c.waitMs), c.ok);
    const std::uint64_t spent = clock.NowMs() - start;
    EXPECT_GE(spent, c.atLeast);
    EXPECT_LT(spent, c.below);
    auto texts = debug.texts();
    EXPECT_GE(std::count(texts.begin(), texts.end(), std::string("VxCam_OpenDevice return 259")), 1);
    EXPECT_EQ(chip.state().generation, c.ok == 1 ? 2u : 1u);
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

TEST_F(ResetWaitTest, ChipNotReadyAfterComingBack) {
  struct Case {
    const char* what;
    std::uint32_t notReadyMs;
    int ok;
    std::uint64_t atLeast;
    std::uint64_t below;
  };
  constexpr std::uint32_t kOffBusMs = 1000;
  const Case cases[] = {
      // The open rides it out.
      {"briefly", 1500, 1, kOffBusMs + 1500, kOffBusMs + 1500 + kWakeWaitStepMs + 1},
      // One open gives up, a later one finds the chip ready.
      {"longer than one open waits", 12000, 1, kOffBusMs + 12000,
       kOffBusMs + 12000 + kWakeWaitStepMs + kSearchNoDeviceMs + 1},
      // The opens wait no longer than the limit leaves; after the time-out no
      // other device is opened in its place.
      {"for good", 600000, 0, kResetLimitMs, kResetLimitMs + 2 * kWakeWaitStepMs + kSearchNoDeviceMs + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::SimChip& chip = OpenCurrent({.transport = sim::Transport::kBoth, .offBusMs = kOffBusMs,
                                      .notReadyMs = c.notReadyMs});
    testing::DebugLines debug;
    const std::uint64_t start = clock.NowMs();
    EXPECT_EQ(VxCam_ResetToUpdateFWAndReopen(flow, 0, 0, kOffBusMs), c.ok);
    const std::uint64_t spent = clock.NowMs() - start;
    EXPECT_GE(spent, c.atLeast);
    EXPECT_LT(spent, c.below);
    auto texts = debug.texts();
    EXPECT_GE(std::count(texts.begin(), texts.end(), std::string("VxCam_OpenDevice wait for device to wakeup from SS")),
              1);
    if (c.ok == 1) {
      EXPECT_EQ(chip.state().generation, 2u);
      EXPECT_NE(std::find(texts.begin(), texts.end(), std::string("Device reset ok")), texts.end());
      // Ready now: the rebuilt transports work at once.
      std::array<std::uint8_t, 2> mode{};
      EXPECT_EQ(VxCam_ReadMem(flow.handle, 0xFE21, mode, 0), 1);
      EXPECT_EQ(mode[1], 0xB0);
    } else {
      EXPECT_NE(std::find(texts.begin(), texts.end(),
                          std::string("Re-open device timeout, return ERROR_TIMEOUT, Old device closed")),
                texts.end());
      EXPECT_EQ(VxCam_CurrentDevice(), nullptr);
    }
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

}  // namespace
}  // namespace quillon
