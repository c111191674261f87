// quillon-sim on a state file: the forms of the command and their errors.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim/state_file.h"
#include "support/temp_dir.h"
#include "tools/sim/sim_cli.h"

namespace quillon::sim {
namespace {

using quillon::testing::TempDir;

class SimCli : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args) {
    out.str("");
    err.str("");
    return RunSimCli(args, out, err);
  }
  std::string Show() {
    EXPECT_EQ(Run({"show", state}), 0) << err.str();
    return out.str();
  }
  std::vector<ChipState> Chips() {
    std::vector<ChipState> chips;
    std::string error;
    EXPECT_TRUE(LoadStateFile(state, chips, error)) << error;
    return chips;
  }

  TempDir dir;
  std::string state = (dir.path() / "s").string();
  std::ostringstream out, err;
};

TEST_F(SimCli, NewChipIsBlankInItsLoaderWithTheDefaults) {
  ASSERT_EQ(Run({"new", state}), 0) << err.str();
  EXPECT_EQ(Show(),
            "location: 1-1\n"
            "identity: VID_3A7C&PID_0011&REV_0001\n"
            "mode: rom\n"
            "tagged: no\n"
            "version: N/A\n"
            "memory: 71189f7fb6aed638640078fba3a35fda6c39c8962e74dcc75935aac948da9063\n"
            "protected: no\n");
  const auto chips = Chips();
  EXPECT_EQ(chips[0].config.ic, IcFamily::kTq7704);
  EXPECT_EQ(chips[0].config.transport, Transport::kXu);
  EXPECT_EQ(chips[0].config.kind, DeviceKind::kAudio);
}

TEST_F(SimCli, LoadShowDumpRoundTrip) {
  ASSERT_EQ(Run({"new", state, "--memory", "spi", "--chips", "2", "--vid", "0x1234", "--pid", "34", "--rev", "2"}),
            0);
  std::vector<char> image(0x10000, '\xFF');
  const unsigned char record[8] = {0x41, 0x19, 0x00, 0x00, 0x01, 0x15, 0x00, 0x00};
  std::copy(std::begin(record), std::end(record), image.begin() + 0x100C);
  image[0xEFFE] = 0x55;
  image[0xEFFF] = static_cast<char>(0xAA);
  const auto file = dir.path() / "image.bin";
  std::ofstream(file, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));

  ASSERT_EQ(Run({"load", state, file.string(), "--chip", "1"}), 0) << err.str();
  const std::string shown = Show();
  EXPECT_NE(shown.find("location: 1-2\nidentity: VID_1234&PID_0022&REV_0002\nmode: code\ntagged: yes\n"
                       "version: 4.119.0000-0115.0000\n"),
            std::string::npos)
      << shown;

  const auto dumped = dir.path() / "dump.bin";
  ASSERT_EQ(Run({"dump", state, dumped.string(), "--chip", "1"}), 0);
  std::ifstream in(dumped, std::ios::binary);
  std::vector<char> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(back, image);
  EXPECT_EQ(Chips()[0].memory.bytes()[0xEFFE], 0xFF) << "chip 0 untouched";
}

TEST_F(SimCli, FaultsAddUpUntilCleared) {
  ASSERT_EQ(Run({"new", state, "--memory", "otp"}), 0);
  ASSERT_EQ(Run({"fault", state, "fail-transfer", "5", "3"}), 0);
  ASSERT_EQ(Run({"fault", state, "stall-transfer", "9"}), 0);
  ASSERT_EQ(Run({"fault", state, "power-loss", "20"}), 0);
  ASSERT_EQ(Run({"fault", state, "not-ready", "2"}), 0);
  ASSERT_EQ(Run({"fault", state, "otp-fail", "0x10,17"}), 0);
  ASSERT_EQ(Run({"fault", state, "corrupt-read", "0x20"}), 0);
  ASSERT_EQ(Run({"fault", state, "unplug", "30"}), 0);
  ASSERT_EQ(Run({"fault", state, "power-loss-pages", "3", "7"}), 0);
  EXPECT_NE(Run({"fault", state, "power-loss-pages", "0", "7"}), 0) << "memory writes count from 1";
  EXPECT_NE(Run({"fault", state, "power-loss-pages", "3"}), 0);
  ASSERT_EQ(Run({"fault", state, "otp-report-fail", "3"}), 0);
  ASSERT_EQ(Run({"fault", state, "otp-lock"}), 0);
  ASSERT_EQ(Run({"fault", state, "flaky-read", "4"}), 0);
  EXPECT_NE(Run({"fault", state, "flaky-read", "0"}), 0) << "memory reads count from 1";
  Faults f = Chips()[0].faults;
  ASSERT_EQ(f.transfers.size(), 4u);
  EXPECT_EQ(f.transfers[3].kind, TransferFaultKind::kUnplug);
  EXPECT_EQ(f.transfers[3].first, 30u);
  ASSERT_EQ(f.pageLoss.size(), 1u);
  EXPECT_EQ(f.pageLoss[0].program, 3u);
  EXPECT_EQ(f.pageLoss[0].pages, 7u);
  EXPECT_EQ(f.transfers[0].first, 5u);
  EXPECT_EQ(f.transfers[0].count, 3u);
  EXPECT_EQ(f.transfers[1].kind, TransferFaultKind::kStall);
  EXPECT_EQ(f.transfers[1].count, 1u);
  EXPECT_EQ(f.transfers[2].kind, TransferFaultKind::kPowerLoss);
  EXPECT_EQ(f.notReady, 2u);
  EXPECT_EQ(f.otpFail, (std::vector<std::uint16_t>{0x10, 17}));
  EXPECT_EQ(f.corruptRead, (std::vector<std::uint32_t>{0x20}));
  EXPECT_EQ(f.otpReportFail, 3u);
  EXPECT_EQ(f.flakyRead, 4u);
  EXPECT_EQ(Chips()[0].otpLock & 0x08, 0x08);
  ASSERT_EQ(Run({"fault", state, "clear"}), 0);
  EXPECT_TRUE(Chips()[0].faults.empty());
  EXPECT_EQ(Chips()[0].otpLock & 0x08, 0x08) << "the lock is the chip's, not a fault";
}

TEST_F(SimCli, BadInputIsOneLineAndExit1) {
  ASSERT_EQ(Run({"new", state}), 0);
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", state},
      {"new", state, "--memory", "floppy"},
      {"new", state, "--size"},
      {"new", state, "--vid", "0x10000"},
      {"new", state, "--memory", "otp", "--size", "4096"},
      {"show", (dir.path() / "missing").string()},
      {"load", state, (dir.path() / "missing").string()},
      {"dump", state, (dir.path() / "x").string(), "--chip", "1"},
      {"fault", state, "fail-transfer"},
      {"fault", state, "fail-transfer", "0"},
      {"fault", state, "otp-fail", "0x4000"},
      {"fault", state, "meteor"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), 1) << (args.empty() ? "" : args[0]);
    const std::string message = err.str();
    EXPECT_EQ(message.rfind("quillon-sim: ", 0), 0u) << message;
    EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
  }
  const auto big = dir.path() / "big.bin";
  std::ofstream(big, std::ios::binary) << std::string(0x10001, 'x');
  EXPECT_EQ(Run({"load", state, big.string()}), 1);
}

}  // namespace
}  // namespace quillon::sim

namespace quillon::sim {
namespace {

TEST_F(SimCli, WriteProtectPullUpStaysUntilCleared) {
  ASSERT_EQ(Run({"new", state, "--memory", "eeprom16"}), 0);
  ASSERT_EQ(Run({"fault", state, "wp-pulled-up"}), 0) << err.str();
  EXPECT_TRUE(Chips()[0].faults.wpPulledUp);
  EXPECT_NE(Run({"fault", state, "wp-pulled-up", "1"}), 0) << "takes no value";
  ASSERT_EQ(Run({"fault", state, "clear"}), 0);
  EXPECT_FALSE(Chips()[0].faults.wpPulledUp);
}

}  // namespace
}  // namespace quillon::sim
