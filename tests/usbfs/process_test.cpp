// The whole program on the host's USB path: `quillon` started as its own
// process finds the chips through libusb in the emulated usbfs (it inherits the
// preload and the testbed), and prints and sends exactly what it does when the
// same chips are given to it as a simulator state file.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/state_file.h"
#include "support/run_process.h"
#include "support/temp_dir.h"
#include "usbfs/emulated_usbfs.h"

namespace quillon::testing {
namespace {

struct ListCase {
  const char* name;
  std::vector<sim::ChipState> chips;
  const char* expected;
};

std::vector<ListCase> Cases() {
  std::vector<ListCase> cases;
  {
    ListCase c{"AudioAndCameraChips", {}, nullptr};
    c.chips.emplace_back(sim::ChipConfig{.productId = 0x0022}, "1-1");
    c.chips.emplace_back(
        sim::ChipConfig{.kind = DeviceKind::kCamera, .transport = sim::Transport::kVendor, .productId = 0x0099},
        "1-2");
    c.expected =
        "0 1-1 VID_3A7C&PID_0022&REV_0001 xu accepted\n"
        "- 1-2 VID_3A7C&PID_0099&REV_0001 vendor not accepted (a camera chip: the batch mode takes audio chips)\n";
    cases.push_back(std::move(c));
  }
  {
    // Behind a hub, and a chip whose first answer (the wake-up check of the
    // open) fails: the open goes on regardless.
    ListCase c{"BehindAHubWithAFailingChip", {}, nullptr};
    c.chips.emplace_back(sim::ChipConfig{.transport = sim::Transport::kBoth}, "1-3.2");
    c.chips.emplace_back(sim::ChipConfig{.productId = 0x0022}, "1-4");
    c.chips.back().faults.transfers.push_back({sim::TransferFaultKind::kFail, 1, 1});
    c.expected =
        "0 1-3.2 VID_3A7C&PID_0011&REV_0001 xu,vendor accepted\n"
        "1 1-4 VID_3A7C&PID_0022&REV_0001 xu accepted\n";
    cases.push_back(std::move(c));
  }
  return cases;
}

void PrintTo(const ListCase& c, std::ostream* out) { *out << c.name; }

class ListProcessTest : public ::testing::TestWithParam<ListCase> {
 protected:
  ProcessResult List(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::pair<std::string, std::string>> env{{"QUILLON_HOME", home.path().string()}};
    env.insert(env.end(), extra.begin(), extra.end());
    return RunProgram("quillon", {"--list"}, env, scratch.path());
  }
  TempDir home;
  TempDir scratch;
};

TEST_P(ListProcessTest, ThroughLibusbAsOnTheSimulator) {
  const auto state = scratch.path() / "chips.state";
  std::string error;
  ASSERT_TRUE(sim::SaveStateFile(state, GetParam().chips, error)) << error;

  const auto simTrace = scratch.path() / "sim.trace";
  ProcessResult simulated = List({{"QUILLON_SIM", state.string()}, {"QUILLON_SIM_TRACE", simTrace.string()}});

  ProcessResult host;
  const auto hostTrace = scratch.path() / "host.trace";
  {
    sim::SimBus bus(GetParam().chips);
    ASSERT_TRUE(bus.OpenTransferLog(hostTrace));
    EmulatedUsbfs usbfs(bus);
    UsbfsPump pump(usbfs);
    host = List({});
  }

  EXPECT_EQ(host.exitCode, 0) << host.err;
  EXPECT_EQ(host.out, GetParam().expected) << host.err;
  EXPECT_EQ(simulated.exitCode, 0) << simulated.err;
  EXPECT_EQ(simulated.out, GetParam().expected);
  const std::string wire = ReadText(hostTrace);
  EXPECT_FALSE(wire.empty());
  EXPECT_EQ(wire, ReadText(simTrace));
}

INSTANTIATE_TEST_SUITE_P(Chips, ListProcessTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

// A batch write of a flash image: erase, program, verify, and the reset into
// the new code with the chip found again at its port, over libusb as on the
// simulator; on a chip with the extension unit and on one that answers only
// vendor requests.
TEST(WriteProcessTest, FlashWriteThroughLibusbAsOnTheSimulator) {
  for (sim::Transport transport : {sim::Transport::kXu, sim::Transport::kVendor}) {
    SCOPED_TRACE(transport == sim::Transport::kXu ? "extension unit" : "vendor requests only");
    TempDir home;
    TempDir scratch;
    const auto image = home.path() / "image.rfw";
    ASSERT_EQ(RunProgram("quillon-mkimage", {image.string()}, {}, scratch.path()).exitCode, 0);
    const auto settings = scratch.Write("settings.ini", "[Quillon Config]\r\nWait Time=200\r\n");
    std::vector<sim::ChipState> chips;
    chips.emplace_back(sim::ChipConfig{.transport = transport, .offBusMs = 100}, "1-1");
    const auto state = scratch.path() / "chip.state";
    std::string error;
    ASSERT_TRUE(sim::SaveStateFile(state, chips, error)) << error;
    auto run = [&](std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env) {
      env.insert(env.end(), {{"QUILLON_HOME", home.path().string()}, {"QUILLON_SETTINGS", settings.string()}});
      return RunProgram("quillon", args, env, scratch.path());
    };
    const std::vector<std::string> write{"-f", "-write", image.string()};

    const auto simTrace = scratch.path() / "sim.trace";
    ProcessResult simulated = run(write, {{"QUILLON_SIM", state.string()}, {"QUILLON_SIM_TRACE", simTrace.string()}});
    ProcessResult host;
    const auto hostTrace = scratch.path() / "host.trace";
    {
      sim::SimBus bus(chips);
      ASSERT_TRUE(bus.OpenTransferLog(hostTrace));
      EmulatedUsbfs usbfs(bus);
      UsbfsPump pump(usbfs);
      host = run(write, {});
      EXPECT_GE(bus.Chip(0).state().generation, 2u) << "the chip was reset and found again";
      const std::string bytes = ReadText(image);
      const auto memory = bus.Chip(0).state().memory.bytes();
      ASSERT_GE(memory.size(), bytes.size());
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), memory.begin(),
                             [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
          << "the flash holds the image";
    }
    EXPECT_EQ(simulated.exitCode, 0) << simulated.out << simulated.err;
    EXPECT_EQ(host.exitCode, 0) << host.out << host.err;
    EXPECT_EQ(host.out, simulated.out);
    EXPECT_EQ(ReadText(hostTrace), ReadText(simTrace));
  }
}

}  // namespace
}  // namespace quillon::testing
