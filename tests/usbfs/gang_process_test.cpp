// A gang over the host's USB path: the workers find their chips through
// libusb in the emulated usbfs, each only its own.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/sim_bus.h"
#include "sim/state_file.h"
#include "support/run_process.h"
#include "support/temp_dir.h"
#include "usbfs/emulated_usbfs.h"

namespace quillon::testing {
namespace {

// A verify, so that no chip re-enumerates before its verdict: the emulated
// usbfs tells only one of several processes of a device's return.
TEST(GangUsbfsTest, TwoChipsVerifiedAtOnceThroughLibusb) {
  TempDir home;
  TempDir scratch;
  const auto image = home.path() / "image.rfw";
  ASSERT_EQ(RunProgram("quillon-mkimage", {image.string()}, {}, scratch.path()).exitCode, 0);
  const auto settings = scratch.Write("settings.ini", "[Quillon Config]\r\nWait Time=200\r\n");
  const auto state = scratch.path() / "chips.state";
  ASSERT_EQ(RunProgram("quillon-sim", {"new", state.string(), "--chips", "2"}, {}, scratch.path()).exitCode, 0);
  // The first chip holds the image, the second a copy with one byte changed.
  std::string other = ReadText(image);
  other[0x2000] = static_cast<char>(other[0x2000] ^ 0x01);
  const auto otherImage = scratch.Write("other.bin", other);
  ASSERT_EQ(RunProgram("quillon-sim", {"load", state.string(), image.string(), "--chip", "0"}, {}, scratch.path()).exitCode, 0);
  ASSERT_EQ(RunProgram("quillon-sim", {"load", state.string(), otherImage.string(), "--chip", "1"}, {}, scratch.path()).exitCode,
            0);
  std::vector<sim::ChipState> chips;
  std::string error;
  ASSERT_TRUE(sim::LoadStateFile(state, chips, error)) << error;

  sim::SimBus bus(chips);
  EmulatedUsbfs usbfs(bus);
  UsbfsPump pump(usbfs);
  ProcessResult gang = RunProgram("quillon", {"-f", "-verify", image.string(), "--all"},
                                  {{"QUILLON_HOME", home.path().string()}, {"QUILLON_SETTINGS", settings.string()}},
                                  scratch.path());
  EXPECT_EQ(gang.exitCode, 1) << gang.out << gang.err;
  std::istringstream table(gang.out);
  std::string line;
  std::getline(table, line);
  for (const auto& [location, verdict] : {std::pair{"1-1", " PASS "}, std::pair{"1-2", " FAIL "}}) {
    ASSERT_TRUE(std::getline(table, line)) << gang.out;
    EXPECT_EQ(line.rfind(location, 0), 0u) << line;
    EXPECT_NE(line.find(verdict), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace quillon::testing
