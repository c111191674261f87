// The batch mode as a production script sees it: quillon run as a separate
// process in a scratch program directory against simulated chips, with its
// console lines, exit code and result files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ostream>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/run_locks.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::ProcessResult;
using testing::ReadText;
using testing::RunIn;

const char* const kShortWaits = "[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\nLogType=1\r\n";

class BatchProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = (scratch.path() / "chip.state").string();
    image = (home.path() / "TQ7704_SPI.rfw").string();
    std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / "TQ7704_SPI.rfw", image);
  }

  // quillon in `home` (program and working directory) on the chips of `chipState`.
  ProcessResult Quillon(std::vector<std::string> args, const std::string& extraSettings = "",
                        std::vector<std::pair<std::string, std::string>> env = {}) {
    const auto settings = scratch.Write("settings.ini", std::string(kShortWaits) + extraSettings);
    env.insert(env.begin(), {{"QUILLON_HOME", home.path().string()},
                             {"QUILLON_SETTINGS", settings.string()},
                             {"QUILLON_SIM", state}});
    return RunIn(home.path(), testing::BinDir() / "quillon", args, env);
  }
  ProcessResult Sim(std::vector<std::string> args) {
    return RunIn(scratch.path(), testing::BinDir() / "quillon-sim", std::move(args), {});
  }
  void NewChip(std::vector<std::string> options = {}) {
    std::vector<std::string> args{"new", state, "--off-bus-ms", "20"};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(Sim(args).exitCode, 0);
  }
  std::string Show() { return Sim({"show", state}).out; }
  // `Show` cut into one text per chip.
  std::vector<std::string> ShowChips() {
    std::vector<std::string> chips;
    const std::string shown = Show();
    for (std::size_t at = shown.find("location: "); at != std::string::npos;) {
      const std::size_t next = shown.find("location: ", at + 1);
      chips.push_back(shown.substr(at, next == std::string::npos ? std::string::npos : next - at));
      at = next;
    }
    return chips;
  }
  std::string ResultTxt() { return ReadText(home.path() / "Result.txt"); }
  std::vector<std::string> BurnLines() {
    std::ifstream in(home.path() / "burn_result.txt", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string Console(const std::string& body) { return "\n" + body + home.path().string() + ">"; }


  testing::TempDir home;
  testing::TempDir scratch;
  std::string state;
  std::string image;
};

// Each command in turn on one chip: console, exit code, both result files.
TEST_F(BatchProcessTest, EveryCommandOnASimulatedSpiChip) {
  NewChip({"--ic", "tq7704"});
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
      {{"-f", "TQ7704_SPI.rfw"}, "Begin to Write fw!\r\nWrite fw pass!\r\n", 0, "pass", "Pass,    0:"},
      {{"-f", "-verify", image}, "Begin to Verify fw!\r\nVerify fw pass!\r\n", 0, "pass", "Pass,    0:"},
      // A version read passes in the exit code and in both result files alike.
      {{"-f", "-version", "x"}, "Begin to Get FW Ver!\r\nCurrent FW Version: 4.119.0000-0115.0000!\r\n", 0, "pass",
       "Pass,    0:"},
      {{"-f", "-dumpspi", dump}, "Begin to Dump SPI!\r\nDump SPI pass!\r\n", 0, "pass", "Pass,    0:"},
      // A passed erase exits 0, though its success id is not one that clears the status.
      {{"-f", "-erase"}, "Begin to Erase!\r\nErase pass!\r\n", 0, "pass", "Pass,    41752:"},
      // The loader of an erased chip reports its own version.
      {{"-f", "-version", "x"}, "Begin to Get FW Ver!\r\nCurrent FW Version: 0x00-0000-0100!\r\n", 0, "pass",
       "Pass,    0:"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.args[1]);
    ProcessResult run = Quillon(step.args);
    EXPECT_EQ(run.out, Console(step.console));
    EXPECT_EQ(run.exitCode, step.exitCode) << run.err;
    // Progress goes to stderr (a file here: one line per 10 %), never to stdout.
    if (step.args[1] == "-write") {
      EXPECT_NE(run.err.find("Progress: 40%\nProgress: 50%\n"), std::string::npos) << run.err;
    }
    EXPECT_EQ(ResultTxt(), step.result);
    std::vector<std::string> burn = BurnLines();
    ASSERT_FALSE(burn.empty());
    // The serial column names the unit by its own serial, as every record does.
    EXPECT_EQ(burn.back().substr(36), "QS11,                      " + step.burn + "\r");
  }
  EXPECT_EQ(BurnLines().size(), 2u + std::size(steps)) << "the header once, one line per run";
  EXPECT_EQ(ReadText(dump), ReadText(image));
  EXPECT_NE(Show().find("mode: rom"), std::string::npos) << "erased";
}

TEST_F(BatchProcessTest, Tq7702WritesTheTagAndRunsTheNewCode) {
  NewChip({"--ic", "tq7702"});
  const std::string tq7702 = (home.path() / "TQ7702_SPI.rfw").string();
  std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / "TQ7702_SPI.rfw", tq7702);
  EXPECT_EQ(Quillon({"-f", "-write", tq7702}).exitCode, 0);
  const std::string shown = Show();
  EXPECT_NE(shown.find("mode: code"), std::string::npos) << shown;
  EXPECT_NE(shown.find("tagged: yes"), std::string::npos) << shown;
  EXPECT_EQ(Quillon({"-f", "-verify", tq7702}).exitCode, 0);
}

// "-d 1" writes the chip at position 1 and no other, whatever "CheckVIDPID_INI"
// says; when that chip does not open or is not there the run fails and never
// goes on to the next position.
TEST_F(BatchProcessTest, DeviceIndexNamesExactlyOneChip) {
  for (const char* check : {"CheckVIDPID_INI=0\r\n", "CheckVIDPID_INI=1\r\n"}) {
    SCOPED_TRACE(check);
    NewChip({"--chips", "3"});
    ProcessResult run = Quillon({"-f", "-write", image, "-d", "1"}, check);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<std::string> chips = ShowChips();
    ASSERT_EQ(chips.size(), 3u);
    EXPECT_NE(chips[1].find("mode: code"), std::string::npos) << chips[1];
    EXPECT_NE(chips[0].find("mode: rom"), std::string::npos) << chips[0];
    EXPECT_NE(chips[2].find("mode: rom"), std::string::npos) << chips[2];

    // Chip 1 fails every transfer, so it cannot be opened; chip 3 does not exist.
    NewChip({"--chips", "3"});
    const std::string before = Show();
    ASSERT_EQ(Sim({"fault", state, "fail-transfer", "1", "1000000", "--chip", "1"}).exitCode, 0);
    run = Quillon({"-f", "-write", image, "-d", "1"}, check, {{"QUILLON_DEBUG", "1"}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, Console("Get IC Info Fail\n"));
    EXPECT_NE(run.err.find("MP_OpenDevice Fail 1"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("MP_OpenDevice Fail 2"), std::string::npos) << run.err;
    EXPECT_EQ(ResultTxt(), "fail");
    EXPECT_EQ(Show(), before) << "no chip written";
    run = Quillon({"-f", "-write", image, "-d", "3"}, check);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Show(), before);
  }
}

// "--location LOC" writes the chip at that port and no other; an absent or
// refused location fails before anything is sent to any chip.
TEST_F(BatchProcessTest, LocationNamesExactlyOneChip) {
  NewChip({"--chips", "3"});
  ProcessResult run = Quillon({"-f", "-write", image, "--location", "1-3"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  std::vector<std::string> chips = ShowChips();
  ASSERT_EQ(chips.size(), 3u);
  EXPECT_NE(chips[2].find("mode: code"), std::string::npos) << chips[2];
  EXPECT_NE(chips[0].find("mode: rom"), std::string::npos) << chips[0];
  EXPECT_NE(chips[1].find("mode: rom"), std::string::npos) << chips[1];
  EXPECT_EQ(run.err.find("several chips"), std::string::npos) << "a named chip needs no note: " << run.err;

  const std::string before = Show();
  const auto trace = scratch.path() / "transfers.log";
  const struct {
    std::vector<std::string> args;
    const char* settings;
    const char* err;
  } refusals[] = {
      {{"-f", "-write", image, "--location", "1-4"}, "", "quillon: no chip at location 1-4"},
      {{"-f", "-erase", "--location", "1-"}, "", "quillon: no chip at location 1-"},
      {{"-f", "-write", image, "--location", "1-2"}, "CheckVIDPID_INI=2\r\n",
       "quillon: the chip at 1-2 (VID_3A7C&PID_0011&REV_0001) is not accepted: not in VidPidList.ini"},
  };
  for (const auto& c : refusals) {
    run = Quillon(c.args, c.settings, {{"QUILLON_SIM_TRACE", trace.string()}});
    EXPECT_EQ(run.exitCode, 1) << c.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(ResultTxt(), "fail");
    EXPECT_EQ(Show(), before);
    EXPECT_EQ(ReadText(trace), "") << "nothing sent to any chip: " << c.err;
  }
  run = Quillon({"-f", "-write", image, "-d", "0", "--location", "1-1"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("give one of them"), std::string::npos) << run.err;
  EXPECT_EQ(Show(), before);
}

// Without a selector a run takes the one accepted chip; of several it writes
// none and lists them, since the rule would pick one of its own choosing.
TEST_F(BatchProcessTest, SeveralAcceptedChipsAreListedAndNoneIsWritten) {
  NewChip({"--chips", "2"});
  const std::string before = Show();
  ProcessResult run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find("quillon: 2 accepted chips are present: 1-1 VID_3A7C&PID_0011&REV_0001 (-d 0), "
                         "1-2 VID_3A7C&PID_0011&REV_0001 (-d 1); nothing was written: pick one with --location LOC "
                         "or -d N (quillon --list shows every chip)\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(ResultTxt(), "fail");
  EXPECT_EQ(Show(), before);
  run = Quillon({"-f", "-write", image, "--location", "1-2"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  NewChip();
  run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find("accepted chips are present"), std::string::npos) << run.err;
}

// A unit of an accepted kind that is pulled or silent as it is opened is lost
// to the link, not a unit of the wrong kind.
TEST_F(BatchProcessTest, AUnitLostAsItIsOpenedIsALinkFailure) {
  const std::vector<std::string> faults[] = {{"unplug", "1"}, {"stall-transfer", "1", "100000"}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault[0]);
    NewChip();
    std::vector<std::string> args{"fault", state};
    args.insert(args.end(), fault.begin(), fault.end());
    ASSERT_EQ(Sim(args).exitCode, 0);
    ProcessResult run = Quillon({"-f", "-write", image}, "CheckVIDPID_INI=1\r\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("quillon: link failure: open the chip at 1-1 at 0x0 failed with USB error"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("status 41533 \"USB Link Fail!\""), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("41714"), std::string::npos) << run.err;
    EXPECT_EQ(ResultTxt(), "fail");
  }
}

struct Ending {
  const char* name;
  std::vector<std::string> args;
  const char* settings;
  int exitCode;
  const char* err;      // a part of stderr
  const char* console;  // stdout without the leading line feed and the prompt; null: nothing at all
};

// Every way a run ends, with its exit code; none of the refusals changes the
// chip (a chip running a written image, so that its memory tells).
TEST_F(BatchProcessTest, EveryEndingHasItsExitCode) {
  NewChip();
  ASSERT_EQ(Quillon({"-f", "-write", image}).exitCode, 0);
  const std::string written = Show();

  const std::string bytes = ReadText(image);
  std::string corrupt = bytes;
  corrupt[0xF005] = static_cast<char>(corrupt[0xF005] + 4);  // more records announced than present
  home.Write("corrupt.rfw", corrupt);
  std::string big = bytes;
  big.resize(0x20000, '\xFF');
  home.Write("big.rfw", big);
  std::filesystem::create_directory(home.path() / "folder.rfw");

  const std::string loadFail = "Load File Data Fail!\nGet IC Info Fail\n";
  const std::string missingAt = "(looked for " + (home.path() / "missing.rfw").string() + ")";
  const std::string resultBlocked =
      "quillon: cannot write " + (home.path() / "Result.txt").string() + ": Is a directory; the chip was not touched\n";
  const std::string burnBlocked = "quillon: cannot write " + (home.path() / "burn_result.txt").string() +
                                  ": Is a directory; the chip was not touched\n";
  const char* version = "Begin to Get FW Ver!\r\nCurrent FW Version: 4.119.0000-0115.0000!\r\n";
  const Ending endings[] = {
      {"unknown command word", {"-f", "-verfy", image}, "", 1, "neither a command nor an existing .rfw image", nullptr},
      {"image path that does not exist", {"-f", "missing.rfw"}, "", 1, missingAt.c_str(), nullptr},
      {"missing file", {"-f", "-write", "missing.rfw"}, "", 1, missingAt.c_str(), loadFail.c_str()},
      {"directory as image", {"-f", "-write", "folder.rfw"}, "", 1, "it is a directory", loadFail.c_str()},
      {"directory named as image", {"-f", "folder.rfw"}, "", 1, "it is a directory", loadFail.c_str()},
      {"verify against a directory", {"-f", "-verify", "folder.rfw"}, "", 1, "it is a directory", loadFail.c_str()},
      {"corrupted configuration area", {"-f", "-write", "corrupt.rfw"}, "", 1, "configuration area is corrupted",
       "Get IC Info Fail\n"},
      {"image larger than the code memory", {"-f", "-write", "big.rfw"}, "", 1, "the chip's code memory holds 65536",
       loadFail.c_str()},
      {"built-in image only for -write", {"-f", "-verify", "builtin"}, "", 1, "only -write", nullptr},
      {"-h", {"-h"}, "", 1, "Usage:", nullptr},
      {"-help", {"-help"}, "", 1, "Usage:", nullptr},
      // By its name in the working directory: "-f" anywhere in the line counts,
      // and a temporary directory's random name may hold it.
      {"no -f", {"-write", "TQ7704_SPI.rfw"}, "", 1, "no -f", nullptr},
      {"-f not first", {"-write", "-f", image}, "", 1, "the first argument must be -f", nullptr},
      {"seven arguments", {"-f", "-write", image, "-d", "1", "extra"}, "", 1,
       "quillon: -f and one to four more arguments are needed; see quillon --help\n", nullptr},
      {"-d without a number", {"-f", "-write", image, "-d", "x"}, "", 1, "-d needs a device number", nullptr},
      {"-d negative", {"-f", "-write", image, "-d", "-1"}, "", 1, "-d needs a device number", nullptr},
      {"-d missing its value", {"-f", "-write", image, "-d"}, "", 1, "-d needs a device number", nullptr},
      {"-d in third place", {"-f", "-erase", "-d", "0"}, "", 1, "unknown option", nullptr},
      {"-write without a file", {"-f", "-write"}, "", 1, "needs a file", nullptr},
      // Records that cannot be kept refuse the run before the chip is opened.
      {"unwritable Result.txt", {"-f", "-write", image}, "", 1, resultBlocked.c_str(), nullptr},
      {"unwritable burn_result.txt", {"-f", "-write", image}, "", 1, burnBlocked.c_str(), nullptr},
      {"dump into a folder that does not exist", {"-f", "-dumpspi", "no/such/dump.bin"}, "", 1,
       "cannot write the dump file no/such/dump.bin: No such file or directory",
       "Begin to Dump SPI!\r\nDump SPI fail!\r\n"},
      {"version read", {"-f", "-version", "x"}, "", 0, "", version},
      {"verify passed", {"-f", "-verify", image}, "", 0, "", "Begin to Verify fw!\r\nVerify fw pass!\r\n"},
  };
  for (const Ending& e : endings) {
    SCOPED_TRACE(e.name);
    const bool blockResult = std::string(e.name) == "unwritable Result.txt";
    const bool blockBurn = std::string(e.name) == "unwritable burn_result.txt";
    // A directory in the file's place cannot be opened as the file.
    for (const char* file : {"Result.txt", "burn_result.txt"}) std::filesystem::remove(home.path() / file);
    if (blockResult) std::filesystem::create_directory(home.path() / "Result.txt");
    if (blockBurn) std::filesystem::create_directory(home.path() / "burn_result.txt");
    ProcessResult run = Quillon(e.args, e.settings);
    if (blockResult) std::filesystem::remove(home.path() / "Result.txt");
    if (blockBurn) {
      std::filesystem::remove(home.path() / "burn_result.txt");
      EXPECT_EQ(ResultTxt(), "fail") << "no pass beside a refused run";
    }
    EXPECT_EQ(run.exitCode, e.exitCode) << run.out << run.err;
    EXPECT_NE(run.err.find(e.err), std::string::npos) << run.err;
    if (std::string(e.err) != "Usage:") {
      EXPECT_EQ(run.err.find("Usage:"), std::string::npos) << "one line: " << run.err;
    }
    if (e.console != nullptr) {
      EXPECT_EQ(run.out, Console(e.console));
    } else if (e.exitCode != 0) {
      EXPECT_EQ(run.out, "") << "nothing ran";
    }
    EXPECT_EQ(Show(), written) << "the chip is as it was";
  }
}

// Every record the settings ask for is checked before the chip is opened: the
// blank chip stays blank, nothing reaches the console, one line names the file
// and the reason, and "Result.txt" says "fail" (not the last unit's "pass")
// unless it is the file at fault.
TEST_F(BatchProcessTest, RecordsThatCannotBeKeptRefuseTheRunBeforeTheChip) {
  NewChip();
  const std::string blank = Show();
  const auto missingJson = home.path() / "no-such-dir" / "runs.jsonl";
  struct Case {
    const char* name;
    const char* blocked;  // made a directory in the program directory
    std::string json;     // QUILLON_RESULT_JSON
    std::string line;
  };
  const Case cases[] = {
      {"Result.txt is a directory", "Result.txt", "",
       "cannot write " + (home.path() / "Result.txt").string() + ": Is a directory"},
      {"burn_result.txt is a directory", "burn_result.txt", "",
       "cannot write " + (home.path() / "burn_result.txt").string() + ": Is a directory"},
      {"JSON record in a missing directory", nullptr, missingJson.string(),
       "cannot write " + missingJson.string() + ": No such file or directory"},
      {"JSON record is a directory", nullptr, home.path().string(),
       "cannot write " + home.path().string() + ": Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* file : {"Result.txt", "burn_result.txt"}) std::filesystem::remove_all(home.path() / file);
    const bool resultBlocked = c.blocked != nullptr && std::string(c.blocked) == "Result.txt";
    if (!resultBlocked) home.Write("Result.txt", "pass");
    if (c.blocked != nullptr) std::filesystem::create_directory(home.path() / c.blocked);
    std::vector<std::pair<std::string, std::string>> env;
    if (!c.json.empty()) env.emplace_back("QUILLON_RESULT_JSON", c.json);
    ProcessResult run = Quillon({"-f", "-write", image}, "", env);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "quillon: " + c.line + "; the chip was not touched\n");
    EXPECT_EQ(run.out, "");
    if (!resultBlocked) {
      EXPECT_EQ(ResultTxt(), "fail");
    }
    EXPECT_EQ(Show(), blank) << "the chip is as it was";
    if (c.blocked != nullptr) std::filesystem::remove_all(home.path() / c.blocked);
  }
  EXPECT_FALSE(std::filesystem::exists(missingJson.parent_path()));
  ProcessResult kept = Quillon({"-f", "-write", image});
  EXPECT_EQ(kept.exitCode, 0) << kept.err;
  EXPECT_EQ(ResultTxt(), "pass");
  EXPECT_NE(Show(), blank);
}

// A single-chip run that waits out a gang's lock fails and never opens its
// chip; the earlier unit's "pass" was taken out of "Result.txt" before the
// wait, so a run killed while waiting leaves none behind either.
TEST_F(BatchProcessTest, RunThatWaitsOutAGangFailsAndLeavesNoEarlierPass) {
  NewChip();
  ASSERT_EQ(Quillon({"-f", "-write", image}).exitCode, 0);
  ASSERT_EQ(ResultTxt(), "pass");
  NewChip();
  const std::string blank = Show();
  ProcessResult run;
  {
    RunLocks gang;
    ASSERT_EQ(gang.HoldForGang(0), RunLockResult::kHeld);
    run = Quillon({"-f", "-write", image}, "", {{"QUILLON_RUN_WAIT_MS", "200"}});
  }
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("quillon: a gang run did not end in time; this run did not start\n"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(ResultTxt(), "");
  EXPECT_EQ(Show(), blank);
}

// A bare name is looked for in the current directory, then in the program
// directory; a refusal names both.
TEST_F(BatchProcessTest, MissingImageNamesEveryPathTried) {
  NewChip();
  const auto settings = scratch.Write("settings.ini", kShortWaits);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-f", "-write", "missing.rfw"},
                                               std::vector<std::string>{"-f", "missing.rfw"}}) {
    ProcessResult run = RunIn(scratch.path(), testing::BinDir() / "quillon", args,
                              {{"QUILLON_HOME", home.path().string()},
                               {"QUILLON_SETTINGS", settings.string()},
                               {"QUILLON_SIM", state}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("(looked for " + (scratch.path() / "missing.rfw").string() + " and " +
                           (home.path() / "missing.rfw").string() + ")"),
              std::string::npos)
        << run.err;
  }
}

// The documented way from a raw binary to a product image: the image made
// with --code writes, verifies and runs with the version record of the code.
TEST_F(BatchProcessTest, ImageFromRawCodeWritesAndRuns) {
  NewChip();
  std::string code(0x6000, '\0');
  for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<char>((i * 13 + 5) & 0xFF);
  const std::string record = {'\x42', '\x10', '\x00', '\x02', '\x03', '\x04', '\x00', '\x05'};
  code.replace(0x100C, record.size(), record);
  const auto codeFile = scratch.Write("code.bin", code);
  const std::string product = (home.path() / "product.rfw").string();
  ProcessResult made = RunIn(scratch.path(), testing::BinDir() / "quillon-mkimage",
                             {product, "--ic", "tq7704", "--code", codeFile.string()}, {});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_EQ(Quillon({"-f", "-write", product}).exitCode, 0);
  EXPECT_EQ(Quillon({"-f", "-verify", product}).exitCode, 0);
  ProcessResult version = Quillon({"-f", "-version"});
  EXPECT_NE(version.out.find("Current FW Version: 4.210.0002-0304.0005!"), std::string::npos) << version.out;
}

// No chip on the bus fails, with either way of opening.
TEST_F(BatchProcessTest, NoChipFails) {
  NewChip({"--kind", "camera"});  // the audio listing finds nothing
  // Only the VID/PID rule says that no chip is there at all.
  for (auto [check, console] : {std::pair{"", "\nGet IC Info Fail\n"},
                                std::pair{"CheckVIDPID_INI=1\r\n", "\nCannot find Norvane USB Audio!\nGet IC Info Fail\n"}}) {
    SCOPED_TRACE(check);
    ProcessResult run = Quillon({"-f", "-write", image}, check);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out.rfind(console, 0), 0u) << run.out;
    EXPECT_EQ(ResultTxt(), "fail");
  }
}

// The built-in image is written only when asked for by name.
TEST_F(BatchProcessTest, BuiltinImageOnlyByName) {
  NewChip();
  ProcessResult run = Quillon({"-f", "-write", "builtin"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("image to write: built-in"), std::string::npos) << run.err;
  EXPECT_NE(Show().find("mode: code"), std::string::npos);
}

// A bare name is taken from the current directory before the program directory;
// stderr names the file that is written and its version.
TEST_F(BatchProcessTest, BareNameLooksInTheCurrentDirectoryFirst) {
  NewChip();
  testing::TempDir work;
  const std::string tq7702 = (work.path() / "TQ7704_SPI.rfw").string();
  std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / "TQ7702_SPI.rfw", tq7702);
  const auto settings = scratch.Write("settings.ini", kShortWaits);
  ProcessResult run = RunIn(work.path(), testing::BinDir() / "quillon", {"-f", "-write", "TQ7704_SPI.rfw"},
                            {{"QUILLON_HOME", home.path().string()},
                             {"QUILLON_SETTINGS", settings.string()},
                             {"QUILLON_SIM", state}});
  // The TQ7702 image in the working directory does not fit the TQ7704 chip.
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("image to write: " + tq7702), std::string::npos) << run.err;

  std::filesystem::remove(tq7702);
  run = RunIn(work.path(), testing::BinDir() / "quillon", {"-f", "-write", "TQ7704_SPI.rfw"},
              {{"QUILLON_HOME", home.path().string()}, {"QUILLON_SETTINGS", settings.string()}, {"QUILLON_SIM", state}});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("image to write: " + image + ", version 4.119.0000-0115.0000"), std::string::npos)
      << run.err;
}

TEST_F(BatchProcessTest, ImagesThatCannotBeWritten) {
  NewChip();
  // The TQ7724's chip code under the TQ7704's profile.
  const std::string wrong = (home.path() / "wrong.rfw").string();
  ASSERT_EQ(RunIn(scratch.path(), testing::BinDir() / "quillon-mkimage", {wrong, "--ic", "tq7704", "--chip-code", "24"}, {})
                .exitCode,
            0);
  home.Write("garbage.rfw", "not an image");
  struct Case {
    std::string file;
    std::string errCode;
  };
  for (const Case& c : {Case{wrong, "41715:"}, Case{"garbage.rfw", "41531:"}}) {
    SCOPED_TRACE(c.file);
    ProcessResult run = Quillon({"-f", "-write", c.file});
    EXPECT_EQ(run.out, Console("Begin to Write fw!\r\nWrite fw fail!\r\n"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ResultTxt(), "fail");
    EXPECT_EQ(BurnLines().back().substr(63), "Fail,    " + c.errCode + "\r");
  }
  EXPECT_NE(Show().find("mode: rom"), std::string::npos) << "nothing written";

}

// The serial number for "SaveSN" comes from QUILLON_SERIAL and lands in the
// record "SN Address" names: the manufacturer record for 0, the serial-number
// record otherwise.
TEST_F(BatchProcessTest, SerialNumberFromTheEnvironment) {
  struct Case {
    const char* snAddress;
    bool manufacturerKept;
  };
  for (const Case& c : {Case{"0", false}, Case{"1", true}}) {
    SCOPED_TRACE(c.snAddress);
    NewChip();
    const std::string settings = std::string("SaveSN=1\r\nSN Address=") + c.snAddress + "\r\n";
    ProcessResult run = Quillon({"-f", "-write", image}, settings, {{"QUILLON_SERIAL", "SN-0042"}});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto dump = scratch.path() / "chip.bin";
    ASSERT_EQ(Sim({"dump", state, dump.string()}).exitCode, 0);
    const std::string area = ReadText(dump).substr(0xF000, 0x1000);
    EXPECT_NE(area.find("SN-0042"), std::string::npos);
    EXPECT_EQ(area.find("Quillon Audio") != std::string::npos, c.manufacturerKept);
    // A verify with the same number compares the chip with the file as the write made it.
    ProcessResult verify = Quillon({"-f", "-verify", image}, settings, {{"QUILLON_SERIAL", "SN-0042"}});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(Quillon({"-f", "-verify", image}, settings, {{"QUILLON_SERIAL", "SN-0043"}}).exitCode, 1);

    // Without the variable there is nothing to write: the run fails and the chip keeps what it has.
    const std::string before = Show();
    run = Quillon({"-f", "-write", image}, settings);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(BurnLines().back().substr(63), "Fail,    41713:\r");
    EXPECT_EQ(Show(), before);
  }
}

// A chip that loses power in the middle of the write does not start the
// partial image, and a second write passes.
TEST_F(BatchProcessTest, PowerLossDuringTheWrite) {
  NewChip();
  const std::string base = state;
  std::filesystem::copy_file(base, scratch.path() / "reference.state");
  state = (scratch.path() / "reference.state").string();
  const auto trace = scratch.path() / "reference.log";
  ASSERT_EQ(Quillon({"-f", "-write", image}, "", {{"QUILLON_SIM_TRACE", trace.string()}}).exitCode, 0);

  // The transfer that carries the eighth 4 KB write command.
  std::ifstream log(trace);
  int number = 0, writes = 0;
  for (std::string line; std::getline(log, line) && writes < 8;) {
    ++number;
    if (line.rfind("21 01 0a00 0300 0008 0282", 0) == 0) ++writes;
  }
  ASSERT_EQ(writes, 8);
  state = base;
  ASSERT_EQ(Sim({"fault", state, "power-loss", std::to_string(number + 100)}).exitCode, 0);
  ProcessResult cut = Quillon({"-f", "-write", image});
  EXPECT_EQ(cut.exitCode, 1);
  EXPECT_EQ(cut.out, Console("Begin to Write fw!\r\nWrite fw fail!\r\n"));
  EXPECT_EQ(BurnLines().back().substr(63), "Fail,    41706:\r");
  EXPECT_NE(Show().find("mode: rom"), std::string::npos) << Show();

  ProcessResult again = Quillon({"-f", "-write", image});
  EXPECT_EQ(again.exitCode, 0) << again.out;
  EXPECT_NE(Show().find("mode: code"), std::string::npos);
}

struct ResetSettings {
  const char* name;
  const char* ic;
  const char* settings;
  const char* romEntry;  // the reset-to-loader block as it goes on the wire
  int romResets;         // resets to ROM: the flow's own at the end, and the one of closing the device
};
// Listings and failures name the case, not its bytes.
void PrintTo(const ResetSettings& c, std::ostream* os) { *os << c.name; }

class BatchResetOptionTest : public BatchProcessTest, public ::testing::WithParamInterface<ResetSettings> {};

// The reset options reach the flow in batch mode: "Normal Reset" 0 changes the
// ROM entry, "ResetToCache" 0 drops the flow's reset into the new code (closing
// the device still resets the chip, so it runs the new code either way), and
// both still pass and verify.
TEST_P(BatchResetOptionTest, WriteFollowsTheResetSettings) {
  const ResetSettings& c = GetParam();
  NewChip({"--ic", c.ic});
  const std::string file = std::string(c.ic) == "tq7702" ? "TQ7702_SPI.rfw" : "TQ7704_SPI.rfw";
  if (file != "TQ7704_SPI.rfw") {
    std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / file, home.path() / file);
  }
  // A chip running its code, so that the write has to bring it into the loader.
  ASSERT_EQ(Quillon({"-f", "-write", file}).exitCode, 0);
  const auto trace = scratch.path() / "wire.log";
  ProcessResult run = Quillon({"-f", "-write", file}, c.settings, {{"QUILLON_SIM_TRACE", trace.string()}});
  EXPECT_EQ(run.out, Console("Begin to Write fw!\r\nWrite fw pass!\r\n"));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ResultTxt(), "pass");
  const std::string wire = ReadText(trace);
  EXPECT_NE(wire.find(std::string("21 01 0a00 0300 0008 ") + c.romEntry), std::string::npos) << c.romEntry;
  int resets = 0;
  for (std::size_t at = wire.find("21 01 0a00 0300 0008 0009"); at != std::string::npos;
       at = wire.find("21 01 0a00 0300 0008 0009", at + 1)) {
    ++resets;
  }
  EXPECT_EQ(resets, c.romResets);
  const std::string shown = Show();
  EXPECT_NE(shown.find("mode: code"), std::string::npos) << shown;
  EXPECT_EQ(Quillon({"-f", "-verify", file}, c.settings).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, BatchResetOptionTest,
    ::testing::Values(ResetSettings{"NormalReset0", "tq7704", "Normal Reset=0\r\n", "000705", 2},
                      ResetSettings{"Tq7702NormalReset0", "tq7702", "Normal Reset=0\r\n", "000702", 2},
                      ResetSettings{"ResetToCache0", "tq7704", "ResetToCache=0\r\n", "000706", 1},
                      ResetSettings{"Tq7702ResetToCache0", "tq7702", "ResetToCache=0\r\n", "000701", 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct InjectedStep {
  const char* name;
  const char* op;  // the step's first command block
  int skip;        // blocks of that kind to let through first
  const char* errCode;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const InjectedStep& c, std::ostream* os) { *os << c.name; }

class BatchStepFailureTest : public BatchProcessTest, public ::testing::WithParamInterface<InjectedStep> {};

// Every transfer from the step's first command on fails: the run reports that step.
TEST_P(BatchStepFailureTest, GivesTheStepsIdAndExitCode1) {
  const InjectedStep& c = GetParam();
  NewChip();
  std::filesystem::copy_file(state, scratch.path() / "reference.state");
  const std::string base = state;
  state = (scratch.path() / "reference.state").string();
  const auto trace = scratch.path() / "reference.log";
  ASSERT_EQ(Quillon({"-f", "-write", image}, "", {{"QUILLON_SIM_TRACE", trace.string()}}).exitCode, 0);
  std::ifstream log(trace);
  int number = 0, seen = 0;
  const std::string prefix = std::string("21 01 0a00 0300 0008 ") + c.op;
  for (std::string line; std::getline(log, line);) {
    ++number;
    if (line.rfind(prefix, 0) == 0 && seen++ == c.skip) break;
  }
  ASSERT_EQ(seen, c.skip + 1);

  state = base;
  ASSERT_EQ(Sim({"fault", state, "fail-transfer", std::to_string(number), "1000000"}).exitCode, 0);
  ProcessResult run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, Console("Begin to Write fw!\r\nWrite fw fail!\r\n"));
  EXPECT_EQ(ResultTxt(), "fail");
  EXPECT_EQ(BurnLines().back().substr(63), std::string("Fail,    ") + c.errCode + "\r");
}

// A blank TQ7704 needs no reset before the sequence, so the reference run's
// transfer numbers hold for the injected run up to the final reset.
INSTANTIATE_TEST_SUITE_P(FlashSequence, BatchStepFailureTest,
                         ::testing::Values(InjectedStep{"DisableProtection", "0283", 0, "41710:"},
                                           InjectedStep{"Erase", "0204", 0, "41705:"},
                                           InjectedStep{"CheckEmpty", "02c2", 0, "41533:"},
                                           InjectedStep{"Write", "0282", 0, "41706:"},
                                           InjectedStep{"ReadBack", "02c2", 16, "41704:"},
                                           InjectedStep{"EnableProtection", "0283", 1, "41711:"},
                                           InjectedStep{"Reset", "0009", 0, "41512:"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
