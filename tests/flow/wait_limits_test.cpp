// Waits taken from the settings end within their bounds on the virtual clock,
// whatever the settings say and however the chip behaves.
#include <gtest/gtest.h>

#include "flow/status.h"
#include "flow/wait_limits.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

using testing::FlowFixture;

class WaitLimitsTest : public FlowFixture {
 protected:
  sim::SimChip& OpenChip(sim::ChipConfig config, const std::string& settings) {
    config.ic = sim::IcFamily::kTq7704;
    sim::SimChip& chip = bus.AddChip(config);
    chip.PowerUp();
    OpenFirst();
    UseSettings(settings);
    return chip;
  }
};

TEST_F(WaitLimitsTest, SettingsAreClampedToTheirRanges) {
  struct Case {
    const char* text;
    const WaitRange& range;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"Wait Time=-1", kWaitTimeRange, 0},
      {"Wait Time=600000", kWaitTimeRange, kResetLimitMs},
      {"Wait Time=1200", kWaitTimeRange, 1200},
      {"EraseTimeOut=0", kEraseTimeOutRange, 1000},
      {"EraseTimeOut=-20", kEraseTimeOutRange, 1000},
      {"EraseTimeOut=4000000000", kEraseTimeOutRange, 1000},  // a negative number written unsigned
      {"EraseTimeOut=999999", kEraseTimeOutRange, 120000},
      {"EraseCommandTime=-1", kEraseCommandTimeRange, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    UseSettings(std::string(c.text) + "\r\n");
    EXPECT_EQ(SettingWaitMs(c.range), c.expected);
  }
}

// A reset of a chip that never answers again ends at the reset's limit.
TEST_F(WaitLimitsTest, ResetOfAChipThatDoesNotComeBackEndsAtTheLimit) {
  struct Case {
    const char* what;
    sim::ChipConfig chip;
    const char* settings;
  };
  const Case cases[] = {
      {"negative Wait Time", {.offBusMs = 3600000}, "Wait Time=-1\r\n"},
      {"Wait Time past the limit", {.offBusMs = 3600000}, "Wait Time=100000\r\n"},
      {"chip stuck not ready", {.offBusMs = 20, .notReadyMs = 3600000}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenChip(c.chip, c.settings);
    const std::uint64_t start = clock.NowMs();
    EXPECT_EQ(flow->MP_ResetDevice(7, 0), 0);
    const std::uint64_t spent = clock.NowMs() - start;
    EXPECT_GE(spent, kResetLimitMs);
    EXPECT_LE(spent, kResetLimitMs + 1000);
    flow->MP_CloseDevice();
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

// An erase time-out of 0 would let a stuck erase run as long as the chip
// likes; the clamped one gives up after a few short attempts.
TEST_F(WaitLimitsTest, EraseTimeOutZeroStillTimesOut) {
  sim::SimChip& chip = OpenChip({}, "EraseTimeOut=0\r\nEraseCommandTime=-1\r\n");
  chip.state().faults.slowEraseMs = 3600000;
  const std::uint64_t start = clock.NowMs();
  EXPECT_EQ(flow->MP_EraseSPIFlash(), 0);
  EXPECT_LT(clock.NowMs() - start, 10 * kEraseTimeOutRange.minMs);
}

}  // namespace
}  // namespace quillon
