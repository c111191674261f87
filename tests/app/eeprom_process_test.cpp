// The batch mode on simulated 8- and 16-bit EEPROM chips, as a production
// script sees it: quillon run as a separate process, its console lines, exit
// code and result files, and what is left on the chip after a power loss.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ostream>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::ProcessResult;
using testing::ReadText;
using testing::RunIn;

const char* const kShortWaits = "[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\nLogType=1\r\n";
constexpr std::size_t kImageSize = 0x2000;

struct Width {
  const char* name;
  const char* memory;   // quillon-sim --memory
  const char* image;    // demo image
  const char* writeOp;  // the write command's class and opcode in a command block
};
// Listings and failures name the case, not its bytes.
void PrintTo(const Width& c, std::ostream* os) { *os << c.name; }

const Width kEeprom8{"Eeprom8", "eeprom8", "TQ7704_EEPROM8.rfw", "028b"};
const Width kEeprom16{"Eeprom16", "eeprom16", "TQ7704_EEPROM16.rfw", "0291"};



class EepromProcessTest : public ::testing::Test, public ::testing::WithParamInterface<Width> {
 protected:
  void SetUp() override {
    state = (scratch.path() / "chip.state").string();
    image = (home.path() / GetParam().image).string();
    std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / GetParam().image, image);
  }

  ProcessResult Quillon(std::vector<std::string> args, const std::string& extraSettings = "",
                        std::vector<std::pair<std::string, std::string>> env = {}) {
    const auto settings = scratch.Write("settings.ini", std::string(kShortWaits) + extraSettings);
    env.insert(env.begin(), {{"QUILLON_HOME", home.path().string()},
                             {"QUILLON_SETTINGS", settings.string()},
                             {"QUILLON_SIM", state}});
    return RunIn(home.path(), testing::BinDir() / "quillon", std::move(args), env);
  }
  ProcessResult Sim(std::vector<std::string> args) {
    return RunIn(scratch.path(), testing::BinDir() / "quillon-sim", std::move(args), {});
  }
  void NewChip(std::vector<std::string> options = {}) {
    std::vector<std::string> args{"new", state, "--memory", GetParam().memory, "--off-bus-ms", "20"};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(Sim(args).exitCode, 0);
  }
  std::string Show() { return Sim({"show", state}).out; }
  bool Tagged() { return Show().find("tagged: yes") != std::string::npos; }
  // The first `length` bytes of the chip's memory.
  std::string Memory(std::size_t length) {
    const auto file = scratch.path() / "memory.bin";
    EXPECT_EQ(Sim({"dump", state, file.string()}).exitCode, 0);
    return ReadText(file).substr(0, length);
  }
  std::string ResultTxt() { return ReadText(home.path() / "Result.txt"); }
  std::string LastBurnLine() {
    std::ifstream in(home.path() / "burn_result.txt", std::ios::binary);
    std::string last;
    for (std::string line; std::getline(in, line);) last = line;
    return last;
  }
  std::string Console(const std::string& body) { return "\n" + body + home.path().string() + ">"; }

  testing::TempDir home;
  testing::TempDir scratch;
  std::string state;
  std::string image;
};

// Each command in turn on one chip: console, exit code, both result files.
TEST_P(EepromProcessTest, EveryCommand) {
  NewChip();
  struct Step {
    std::vector<std::string> args;
    std::string console;
    int exitCode;
    std::string result;
    std::string burn;  // outcome and ErrCode columns
  };
  const std::string dump = (home.path() / "dump.bin").string();
  const Step steps[] = {
      {{"-f", "-write", image}, "Begin to Write fw!\r\nWrite fw pass!\r\n", 0, "pass", "Pass,    0:"},
      {{"-f", GetParam().image}, "Begin to Write fw!\r\nWrite fw pass!\r\n", 0, "pass", "Pass,    0:"},
      {{"-f", "-verify", image}, "Begin to Verify fw!\r\nVerify fw pass!\r\n", 0, "pass", "Pass,    0:"},
      {{"-f", "-dumpspi", dump}, "Begin to Dump SPI!\r\nDump SPI pass!\r\n", 0, "pass", "Pass,    0:"},
      // A passed erase exits 0, though its success id is not one that clears the status.
      {{"-f", "-erase", "x"}, "Begin to Erase!\r\nErase pass!\r\n", 0, "pass", "Pass,    41852:"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.args[1]);
    ProcessResult run = Quillon(step.args);
    EXPECT_EQ(run.out, Console(step.console));
    EXPECT_EQ(run.exitCode, step.exitCode) << run.err;
    EXPECT_EQ(ResultTxt(), step.result);
    EXPECT_EQ(LastBurnLine().substr(63), step.burn + "\r");
    if (step.args[1] == "-verify") {
      ProcessResult version = Quillon({"-f", "-version", "x"});
      EXPECT_EQ(version.out.rfind("\nBegin to Get FW Ver!\r\nCurrent FW Version: ", 0), 0u) << version.out;
      EXPECT_EQ(version.out.find("N/A"), std::string::npos) << "the chip runs the written code";
      EXPECT_EQ(version.exitCode, 0);
    }
  }
  const std::string dumped = ReadText(dump);
  EXPECT_EQ(dumped.size(), 0x10000u);
  EXPECT_EQ(dumped.substr(0, kImageSize), ReadText(image));
  EXPECT_EQ(Memory(0x10000), std::string(0x10000, '\xFF')) << "erased";
  EXPECT_NE(Show().find("mode: rom"), std::string::npos) << "after the erase's reset a blank chip stays in its loader";
}

// A verify of a file one byte off fails with the compare id, after the read
// passed, and says where: the offset, the file's byte and the chip's.
TEST_P(EepromProcessTest, VerifyOfAnotherImageFails) {
  NewChip();
  ASSERT_EQ(Quillon({"-f", "-write", image}).exitCode, 0);
  std::string other = ReadText(image);
  ASSERT_GT(other.size(), 0x1234u);
  const auto chipByte = static_cast<unsigned char>(other[0x1234]);
  const auto fileByte = static_cast<unsigned char>(chipByte ^ 0x5A);
  other[0x1234] = static_cast<char>(fileByte);
  const auto otherFile = home.Write("other.rfw", other);
  ProcessResult run = Quillon({"-f", "-verify", otherFile.string()});
  EXPECT_EQ(run.out, Console("Begin to Verify fw!\r\nVerify fw fail!\r\n"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(LastBurnLine().substr(63), "Fail,    41709:\r");
  char where[96];
  std::snprintf(where, sizeof where, "offset 0x1234: expected 0x%02X, found 0x%02X (1 byte differs)", fileByte, chipByte);
  EXPECT_NE(run.err.find(where), std::string::npos) << run.err;
}

// Power lost at points spread over a whole write, each phase included: the chip
// never starts a partial image, and a second write passes.
TEST_P(EepromProcessTest, PowerLossNeverLeavesAChipThatStartsAPartialImage) {
  NewChip();
  const std::string blank = scratch.path() / "blank.state";
  std::filesystem::copy_file(state, blank);
  const auto trace = scratch.path() / "reference.log";
  ASSERT_EQ(Quillon({"-f", "-write", image}, "", {{"QUILLON_SIM_TRACE", trace.string()}}).exitCode, 0);

  // Transfer numbers of the reference run: evenly spread, and around the tag write.
  std::vector<std::string> lines;
  {
    std::ifstream log(trace);
    for (std::string line; std::getline(log, line);) lines.push_back(line);
  }
  ASSERT_GT(lines.size(), 2000u);
  const std::string tagBlock = std::string("21 01 0a00 0300 0008 ") + GetParam().writeOp + "010001000000";
  std::size_t tag = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(tagBlock, 0) == 0) tag = i + 1;
  }
  ASSERT_NE(tag, 0u);
  std::vector<std::size_t> points;
  for (std::size_t k = 1; k < 9; ++k) points.push_back(lines.size() * k / 9);
  for (std::size_t n : {tag - 1, tag, tag + 1, tag + 2, lines.size() - 1}) points.push_back(n);

  const std::string written = ReadText(image);
  for (std::size_t n : points) {
    SCOPED_TRACE("power lost at transfer " + std::to_string(n) + " of " + std::to_string(lines.size()));
    std::filesystem::copy_file(blank, state, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(Sim({"fault", state, "power-loss", std::to_string(n)}).exitCode, 0);
    ProcessResult cut = Quillon({"-f", "-write", image});
    // Power lost after the pass was reported (closing the device) still leaves a good chip.
    if (cut.exitCode == 0) {
      EXPECT_TRUE(Tagged());
    } else {
      EXPECT_EQ(cut.out, Console("Begin to Write fw!\r\nWrite fw fail!\r\n"));
    }
    if (Tagged()) {
      EXPECT_EQ(Memory(kImageSize), written) << "a chip that starts holds the whole image";
    }

    ProcessResult again = Quillon({"-f", "-write", image});
    EXPECT_EQ(again.exitCode, 0) << again.out;
    EXPECT_TRUE(Tagged());
    EXPECT_EQ(Memory(kImageSize), written);
  }
}

// With the write-protect line pulled up, the flows still write: they release the pin.
TEST_P(EepromProcessTest, PulledUpWriteProtectLine) {
  NewChip();
  ASSERT_EQ(Sim({"fault", state, "wp-pulled-up"}).exitCode, 0);
  EXPECT_EQ(Quillon({"-f", "-write", image}).exitCode, 0);
  EXPECT_EQ(Quillon({"-f", "-verify", image}).exitCode, 0);
  EXPECT_EQ(Quillon({"-f", "-erase", "x"}).out, Console("Begin to Erase!\r\nErase pass!\r\n"));
  EXPECT_FALSE(Tagged());
  EXPECT_EQ(Memory(kImageSize), std::string(kImageSize, '\xFF'));
}

// "SaveSN" with an 8 KB image, which ends before the profile's flash area at
// 0xF000: the number goes into the area at offset 0, where the chip reads it,
// and only there; a verify with the same number passes, one without it names
// the serial record.
TEST_P(EepromProcessTest, SerialNumberGoesIntoTheAreaAtZero) {
  NewChip();
  const std::string file = ReadText(image);
  ProcessResult run = Quillon({"-f", "-write", image}, "SaveSN=1\r\nSN Address=1\r\n", {{"QUILLON_SERIAL", "SN-0815"}});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ResultTxt(), "pass");
  const std::string chip = Memory(kImageSize);
  const std::size_t serialAt = chip.find("SN-0815");
  ASSERT_NE(serialAt, std::string::npos);
  EXPECT_LT(serialAt, 0x100u) << "in the area at offset 0";
  // Everything after the area (the code) is the file's.
  std::size_t lastDifference = 0;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (chip[i] != file[i]) lastDifference = i;
  }
  EXPECT_LT(lastDifference, 0x100u);
  EXPECT_TRUE(Tagged());

  ProcessResult same = Quillon({"-f", "-verify", image}, "SaveSN=1\r\nSN Address=1\r\n", {{"QUILLON_SERIAL", "SN-0815"}});
  EXPECT_EQ(same.exitCode, 0) << same.out << same.err;
  ProcessResult plain = Quillon({"-f", "-verify", image});
  EXPECT_EQ(plain.exitCode, 1) << "the chip holds the unit's serial number, the file does not";
  EXPECT_EQ(LastBurnLine().substr(63), "Fail,    41709:\r");
}

// "SaveSN" with a 64 KB image, whose area the number fits into: without a
// number the write is refused with 41713 before anything reaches the EEPROM;
// with one it passes.
TEST_P(EepromProcessTest, SerialNumberMissing) {
  NewChip();
  const auto big = (home.path() / "big.rfw").string();
  ASSERT_EQ(RunIn(scratch.path(), testing::BinDir() / "quillon-mkimage",
                  {big, "--memory", GetParam().memory, "--size", "65536"}, {})
                .exitCode,
            0);
  const std::string before = Memory(0x10000);
  const auto trace = scratch.path() / "trace.log";
  ProcessResult run = Quillon({"-f", "-write", big}, "SaveSN=1\r\n", {{"QUILLON_SIM_TRACE", trace.string()}});
  EXPECT_EQ(run.out, Console("Begin to Write fw!\r\nWrite fw fail!\r\n"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(LastBurnLine().substr(63), "Fail,    41713:\r");
  EXPECT_EQ(ReadText(trace).find(std::string("0008 ") + GetParam().writeOp), std::string::npos) << "no EEPROM write";
  EXPECT_EQ(Memory(0x10000), before);

  ProcessResult given = Quillon({"-f", "-write", big}, "SaveSN=1\r\n", {{"QUILLON_SERIAL", "SN0042"}});
  EXPECT_EQ(given.exitCode, 0) << given.out << given.err;
  EXPECT_NE(Memory(0x10000).find("SN0042"), std::string::npos);
  ProcessResult verify = Quillon({"-f", "-verify", big}, "SaveSN=1\r\n", {{"QUILLON_SERIAL", "SN0042"}});
  EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
}

INSTANTIATE_TEST_SUITE_P(Widths, EepromProcessTest, ::testing::Values(kEeprom8, kEeprom16),
                         [](const auto& info) { return std::string(info.param.name); });

// A 40-byte 8-bit image: only a configuration area, shorter than the 64 bytes
// the empty check reads.
TEST(EepromSmallImageProcessTest, FortyByteImageIsWrittenAndVerified) {
  testing::TempDir home;
  testing::TempDir scratch;
  std::string bytes = {0x11, static_cast<char>(0xA5), static_cast<char>(0xA8), 20, 0, 2, 6, 0x2F, 0x04, 0x77,
                       0x60, 0x10, 8, 4, 0x7C, 0x3A, 0x11, 0x00, 0x01, 0x00};
  for (char i = 0; bytes.size() < 40; ++i) bytes.push_back(i);
  const auto file = home.Write("small.rfw", bytes);
  const std::string state = (scratch.path() / "chip.state").string();
  const auto settings = scratch.Write("settings.ini", kShortWaits);
  const std::vector<std::pair<std::string, std::string>> env{
      {"QUILLON_HOME", home.path().string()}, {"QUILLON_SETTINGS", settings.string()}, {"QUILLON_SIM", state}};
  ASSERT_EQ(RunIn(scratch.path(), testing::BinDir() / "quillon-sim",
                                   {"new", state, "--memory", "eeprom8", "--off-bus-ms", "20"}, {})
                .exitCode,
            0);
  ProcessResult write = RunIn(home.path(), testing::BinDir() / "quillon", {"-f", "-write", file}, env);
  EXPECT_EQ(write.exitCode, 0) << write.out << write.err;
  ProcessResult verify = RunIn(home.path(), testing::BinDir() / "quillon", {"-f", "-verify", file}, env);
  EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find("Verify fw pass!"), std::string::npos);
}

}  // namespace
}  // namespace quillon
