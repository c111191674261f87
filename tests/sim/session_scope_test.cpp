// Several processes on one state file: sessions on different chips keep each
// other's changes, a look at the bus saves nothing and trips no armed fault,
// and one chip is never worked on by two sessions at once.
#include <array>

#include "sim/sim_bus.h"
#include "sim/sim_session.h"
#include "sim/state_file.h"
#include "sim_fixture.h"
#include "support/temp_dir.h"

namespace quillon::sim::testing {
namespace {

using quillon::testing::TempDir;

// Reads the device descriptor `count` times; true when every read succeeded.
bool ReadDescriptor(UsbBackend& backend, int count) {
  std::vector<UsbDeviceInfo> devices;
  backend.ListDevices(devices);
  UsbHandle handle = 0;
  if (devices.size() != 1 || backend.Open(devices[0].instance, handle) != kUsbOk) return false;
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    std::array<std::uint8_t, 18> data{};
    if (!backend.ControlTransfer(handle, {0x80, 0x06, 0x0100, 0, 18}, data, 1000).ok()) ok = false;
  }
  backend.Close(handle);
  return ok;
}

class SessionScopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimBus bus;
    bus.AddChip();
    bus.AddChip();
    std::vector<ChipState> chips = bus.EndRun();
    chips[1].faults.transfers.push_back({TransferFaultKind::kFail, 1, 1});
    std::string error;
    ASSERT_TRUE(SaveStateFile(state, chips, error)) << error;
  }
  std::vector<ChipState> Load() {
    std::vector<ChipState> chips;
    std::string error;
    EXPECT_TRUE(LoadStateFile(state, chips, error)) << error;
    return chips;
  }

  TempDir dir;
  std::filesystem::path state = dir.path() / "bus.state";
};

TEST_F(SessionScopeTest, SessionsOnDifferentChipsKeepEachOthersRuns) {
  std::string error;
  auto first = OpenSimSession(state, "", error, {SimScope::kOneChip, "1-1"});
  ASSERT_TRUE(first) << error;
  auto second = OpenSimSession(state, "", error, {SimScope::kOneChip, "1-2"});
  ASSERT_TRUE(second) << error;
  EXPECT_TRUE(ReadDescriptor(*first, 3));
  EXPECT_FALSE(ReadDescriptor(*second, 2)) << "the fault armed on the second chip belongs to its session";
  first.reset();
  second.reset();
  const auto chips = Load();
  ASSERT_EQ(chips.size(), 2u);
  EXPECT_EQ(chips[0].lastRun.transfers, 3u);
  EXPECT_EQ(chips[1].lastRun.transfers, 2u);
  EXPECT_EQ(chips[1].lastRun.failed, 1u);
  EXPECT_TRUE(chips[1].faults.transfers.empty()) << "spent by the run that met it";
}

TEST_F(SessionScopeTest, ALookAtTheBusSavesNothingAndTripsNoFault) {
  std::string error;
  {
    auto look = OpenSimSession(state, "", error, {SimScope::kReadOnly, ""});
    ASSERT_TRUE(look) << error;
    std::vector<UsbDeviceInfo> devices;
    look->ListDevices(devices);
    ASSERT_EQ(devices.size(), 2u);
    // While it looks, a worker can still take a chip.
    auto worker = OpenSimSession(state, "", error, {SimScope::kOneChip, "1-2"});
    EXPECT_TRUE(worker) << error;
  }
  const auto before = Load();
  {
    auto look = OpenSimSession(state, "", error, {SimScope::kReadOnly, ""});
    ASSERT_TRUE(look) << error;
    UsbHandle handle = 0;
    std::vector<UsbDeviceInfo> devices;
    look->ListDevices(devices);
    ASSERT_EQ(look->Open(devices[1].instance, handle), kUsbOk);
    std::array<std::uint8_t, 18> data{};
    EXPECT_TRUE(look->ControlTransfer(handle, {0x80, 0x06, 0x0100, 0, 18}, data, 1000).ok());
  }
  EXPECT_EQ(SerializeStates(Load()), SerializeStates(before));
}

TEST_F(SessionScopeTest, OneChipIsNeverInTwoSessions) {
  std::string error;
  auto first = OpenSimSession(state, "", error, {SimScope::kOneChip, "1-1"});
  ASSERT_TRUE(first) << error;
  EXPECT_FALSE(OpenSimSession(state, "", error, {SimScope::kOneChip, "1-1"}));
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
  EXPECT_FALSE(OpenSimSession(state, "", error, {SimScope::kOneChip, "9-9"}));
  EXPECT_NE(error.find("no simulated chip at 9-9"), std::string::npos) << error;
}

}  // namespace
}  // namespace quillon::sim::testing
