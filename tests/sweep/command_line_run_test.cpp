// The fault sweep's run through the command line must see what a station
// sees: the batch mode's exit code and records, the chip as the process left
// it, and a fresh process for every run.
#include "sweep/command_line_run.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "app/parse_arg.h"
#include "support/temp_dir.h"
#include "sweep/sweep_setups.h"

namespace quillon::sweep {
namespace {

SetUp Named(const std::string& name) {
  for (SetUp& s : AllSetUps()) {
    if (s.name == name) return s;
  }
  ADD_FAILURE() << "no set-up " << name;
  return {};
}

// One set-up's station: its image file and its chips before the operation.
struct Station {
  explicit Station(const std::string& name) : setUp(Named(name)) {
    op.letter = setUp.letter;
    op.file = (home.path() / "image.rfw").string();
    op.memory = FlowMemoryOf(setUp.chip.memory);
    op.norProfile = setUp.norProfile;
    std::ofstream(op.file, std::ios::binary)
        .write(reinterpret_cast<const char*>(setUp.file.data()), static_cast<std::streamsize>(setUp.file.size()));
    chips = FirstChips(setUp).value_or(std::vector<sim::ChipState>{});
  }
  SetUp setUp;
  testing::TempDir home;
  Operation op;
  std::vector<sim::ChipState> chips;
};

std::vector<std::uint8_t> Memory(const sim::ChipState& chip) {
  return {chip.memory.bytes().begin(), chip.memory.bytes().end()};
}

TEST(CommandLineRun, WriteThenALinkThatNeverAnswers) {
  Station station("tq7704-old-xu");
  ASSERT_EQ(station.chips.size(), 1u);
  const RunResult write = RunCommandLine(station.op, station.chips, station.home.path(), true);
  EXPECT_EQ(write.exitCode, 0);
  EXPECT_EQ(write.result, 1);
  EXPECT_EQ(write.status, 0u);
  EXPECT_EQ(write.recordsProblem, "");
  ASSERT_EQ(write.chips.size(), 1u);
  // Every transfer the chip counted, named by its command; the write's data went as command blocks.
  EXPECT_EQ(write.commands.size(), write.chips[0].lastRun.transfers);
  EXPECT_NE(std::find(write.commands.begin(), write.commands.end(), "0282"), write.commands.end());
  const sim::ChipState written = PowerCycled(write.chips)[0];
  EXPECT_EQ(written.mode, sim::RunMode::kCode);
  EXPECT_NE(Memory(written), Memory(station.chips[0]));

  // No transfer answers: the run fails before it writes anything, says so in
  // every record, and the chip keeps its image.
  std::vector<sim::ChipState> dead = station.chips;
  dead[0].faults.transfers.push_back({sim::TransferFaultKind::kFail, 1, 100000});
  const RunResult failed = RunCommandLine(station.op, dead, station.home.path(), false);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.result, 0);
  EXPECT_NE(failed.status, 0u);
  EXPECT_EQ(failed.recordsProblem, "");
  ASSERT_EQ(failed.chips.size(), 1u);
  EXPECT_EQ(Memory(failed.chips[0]), Memory(station.chips[0]));
  EXPECT_TRUE(failed.commands.empty()) << "not recorded";
}

// The memory type a NOR station's profile chose must not carry over to the
// EEPROM station's run that follows in the same sweep.
TEST(CommandLineRun, EachRunStartsAsANewProcess) {
  Station nor("nor-old-xu");
  ASSERT_EQ(RunCommandLine(nor.op, nor.chips, nor.home.path(), false).exitCode, 0);
  Station eeprom("eeprom8-verify-old-xu");
  std::ofstream(eeprom.op.file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(eeprom.setUp.onChip.data()),
             static_cast<std::streamsize>(eeprom.setUp.onChip.size()));
  const RunResult verify = RunCommandLine(eeprom.op, eeprom.chips, eeprom.home.path(), false);
  EXPECT_EQ(verify.exitCode, 0) << verify.status;
  EXPECT_EQ(verify.recordsProblem, "");
}

std::string Burn(bool pass, std::uint32_t status) {
  std::string line = BurnLogLine(std::tm{}, "VID_3A7C&PID_0011&REV_0001", pass, status);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

TEST(CommandLineRun, RecordsThatDisagreeAreNamed) {
  const std::string passJson = R"({"serial_number":"SN-1","verdict":"PASS","status_id":0})";
  const std::string failJson = R"({"serial_number":"","verdict":"FAIL","status_id":41706})";
  struct Case {
    const char* name;
    int exitCode;
    std::string result, burn, json, serial;
    bool agree;
  };
  const Case cases[] = {
      {"a pass", 0, "pass", Burn(true, 0), passJson, "", true},
      {"a pass with its serial", 0, "pass", Burn(true, 0), passJson, "SN-1", true},
      {"a failed write", 1, "fail", Burn(false, 41706), failJson, "", true},
      {"no chip: no burn line", 1, "fail", "", failJson, "", true},
      {"exit 1, Result.txt pass", 1, "pass", Burn(false, 41706), failJson, "", false},
      {"exit 0, Result.txt empty", 0, "", Burn(true, 0), passJson, "", false},
      {"exit 1, burn line Pass", 1, "fail", Burn(true, 41706), failJson, "", false},
      {"a pass without a burn line", 0, "pass", "", passJson, "", false},
      {"burn and JSON name other ids", 1, "fail", Burn(false, 41709), failJson, "", false},
      {"exit 0, JSON FAIL", 0, "pass", Burn(true, 0), R"({"verdict":"FAIL","status_id":0})", "", false},
      {"no JSON line", 0, "pass", Burn(true, 0), "", "", false},
      {"another unit's serial", 0, "pass", Burn(true, 0), passJson, "SN-2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RecordsProblem(c.exitCode, c.result, c.burn, c.json, c.serial).empty(), c.agree);
  }
}

}  // namespace
}  // namespace quillon::sweep
