// Gang programming as a production line sees it: one quillon run writes every
// simulated chip of a fixture through its own worker process; failing chips,
// a single-chip run started meanwhile and a second gang keep to their own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process_lock.h"
#include "support/lock_probe.h"
#include "support/record_lines.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::ProcessResult;
using testing::HeldElsewhere;
using testing::ReadText;
using testing::StartedProgram;

const char* const kSettings = "[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\nLogType=1\r\n";


// Waits (without a time assertion: a hang guard only) until every chip is being written.
bool WaitUntilWritten(const std::vector<std::string>& locations) {
  for (int round = 0; round < 6000; ++round) {
    bool all = true;
    for (const std::string& location : locations) all = all && HeldElsewhere(ChipLockFile(location));
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct Row {
  std::string location, identity, verdict;
  unsigned status = 0;
};

// The table's rows after its header.
std::vector<Row> TableRows(const std::string& out) {
  std::vector<Row> rows;
  std::istringstream in(out);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line.rfind("location", 0), 0u) << out;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    Row row;
    words >> row.location >> row.identity >> row.verdict >> row.status;
    rows.push_back(row);
  }
  return rows;
}

class GangProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = (scratch.path() / "fixture.state").string();
    image = (home.path() / "TQ7704_SPI.rfw").string();
    std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / "TQ7704_SPI.rfw", image);
    records = scratch.path() / "records.jsonl";
  }

  std::vector<std::pair<std::string, std::string>> Env(const std::string& stateFile) {
    const auto settings = scratch.Write("settings.ini", kSettings);
    return {{"QUILLON_HOME", home.path().string()},
            {"QUILLON_SETTINGS", settings.string()},
            {"QUILLON_SIM", stateFile},
            {"QUILLON_RESULT_JSON", records.string()}};
  }
  ProcessResult Quillon(std::vector<std::string> args) {
    StartedProgram run(home.path(), testing::BinDir() / "quillon", std::move(args), Env(state), "fg");
    return run.Wait();
  }
  std::unique_ptr<StartedProgram> Background(std::vector<std::string> args, const std::string& tag) {
    return std::make_unique<StartedProgram>(home.path(), testing::BinDir() / "quillon", std::move(args), Env(state), tag);
  }
  ProcessResult Sim(std::vector<std::string> args) {
    return testing::RunProgram("quillon-sim", std::move(args), {}, scratch.path());
  }
  void NewFixture(int chips, const char* bus = "separate") {
    ASSERT_EQ(Sim({"new", state, "--chips", std::to_string(chips), "--bus", bus, "--off-bus-ms", "20"}).exitCode, 0);
  }
  void Fault(int chip, std::vector<std::string> fault) {
    std::vector<std::string> args{"fault", state};
    args.insert(args.end(), fault.begin(), fault.end());
    args.insert(args.end(), {"--chip", std::to_string(chip)});
    ASSERT_EQ(Sim(args).exitCode, 0) << fault[0];
  }
  std::string Dump(int chip) {
    const auto file = scratch.path() / ("dump" + std::to_string(chip));
    EXPECT_EQ(Sim({"dump", state, file.string(), "--chip", std::to_string(chip)}).exitCode, 0);
    return ReadText(file);
  }
  std::vector<nlohmann::json> Records() { return testing::JsonLines(records); }
  std::vector<std::string> BurnLines() { return testing::RawLines(home.path() / "burn_result.txt"); }
  // The number of the transfer to a lone chip that starts the `nth` command
  // whose block begins with `prefix`, in a reference write.
  int TransferNumber(const std::string& prefix, int nth) {
    const auto reference = scratch.path() / "reference.state";
    const auto trace = scratch.path() / "reference.log";
    EXPECT_EQ(Sim({"new", reference.string(), "--off-bus-ms", "20"}).exitCode, 0);
    auto env = Env(reference.string());
    env.emplace_back("QUILLON_SIM_TRACE", trace.string());
    EXPECT_EQ(StartedProgram(home.path(), testing::BinDir() / "quillon", {"-f", "-write", image}, env, "ref").Wait().exitCode,
              0);
    std::filesystem::remove(records);
    std::filesystem::remove(home.path() / "burn_result.txt");
    std::ifstream log(trace);
    int number = 0, seen = 0;
    for (std::string line; std::getline(log, line);) {
      ++number;
      if (line.rfind(prefix, 0) == 0 && ++seen == nth) return number;
    }
    ADD_FAILURE() << "no command " << prefix;
    return 0;
  }

  testing::TempDir home;
  testing::TempDir scratch;
  std::string state;
  std::string image;
  std::filesystem::path records;
};

TEST_F(GangProcessTest, EveryChipOfTheFixtureIsWrittenWithTheImage) {
  NewFixture(4);
  ProcessResult gang = Quillon({"-f", "-write", image, "--all"});
  EXPECT_EQ(gang.exitCode, 0) << gang.out << gang.err;
  const std::vector<Row> rows = TableRows(gang.out);
  ASSERT_EQ(rows.size(), 4u) << gang.out;
  const char* locations[] = {"1-1", "2-1", "3-1", "4-1"};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(locations[i]);
    EXPECT_EQ(rows[i].location, locations[i]);
    EXPECT_EQ(rows[i].identity, "VID_3A7C&PID_0011&REV_0001");
    EXPECT_EQ(rows[i].verdict, "PASS");
    EXPECT_EQ(rows[i].status, 0u);
    EXPECT_EQ(Dump(i), ReadText(image));
  }
  // One record and one burn line per chip; Result.txt speaks for the whole gang.
  const auto recs = Records();
  ASSERT_EQ(recs.size(), 4u);
  std::vector<std::string> recorded;
  for (const auto& rec : recs) {
    EXPECT_EQ(rec["verdict"], "PASS");
    EXPECT_EQ(rec["operation"], "write");
    recorded.push_back(rec["location"]);
  }
  EXPECT_EQ(recorded, std::vector<std::string>(std::begin(locations), std::end(locations)));
  const auto burn = BurnLines();
  ASSERT_EQ(burn.size(), 6u) << "the header once, one line per chip";
  for (std::size_t i = 2; i < burn.size(); ++i) EXPECT_EQ(burn[i].substr(63), "Pass,    0:\r");
  EXPECT_EQ(ReadText(home.path() / "Result.txt"), "pass");
}

// Records that cannot be kept stop the gang before any worker starts: every
// chip stays blank, and "Result.txt" says "fail" instead of an earlier "pass".
TEST_F(GangProcessTest, RecordsThatCannotBeKeptStopTheGangBeforeAnyChip) {
  NewFixture(2);
  const std::string blank0 = Dump(0), blank1 = Dump(1);
  std::filesystem::create_directory(home.path() / "burn_result.txt");
  home.Write("Result.txt", "pass");
  ProcessResult gang = Quillon({"-f", "-write", image, "--all"});
  EXPECT_EQ(gang.exitCode, 1);
  EXPECT_EQ(gang.err, "quillon: cannot write " + (home.path() / "burn_result.txt").string() +
                          ": Is a directory; no chip was touched\n");
  EXPECT_EQ(gang.out, "");
  EXPECT_EQ(ReadText(home.path() / "Result.txt"), "fail");
  EXPECT_EQ(Dump(0), blank0);
  EXPECT_EQ(Dump(1), blank1);
  EXPECT_FALSE(std::filesystem::exists(records));
}

// One chip refuses its erase, one loses power in the middle of the write; the
// other two are written all the same, and the run says which failed.
TEST_F(GangProcessTest, FailingAndVanishingChipsDoNotStopTheOthers) {
  const int erase = TransferNumber("21 01 0a00 0300 0008 0204", 1);
  const int eighthWrite = TransferNumber("21 01 0a00 0300 0008 0282", 8);
  NewFixture(4, "shared");
  Fault(1, {"fail-transfer", std::to_string(erase), "1000000"});
  Fault(2, {"power-loss", std::to_string(eighthWrite + 100)});
  ProcessResult gang = Quillon({"-f", "-write", image, "--all"});
  EXPECT_EQ(gang.exitCode, 1) << gang.out << gang.err;
  const std::vector<Row> rows = TableRows(gang.out);
  ASSERT_EQ(rows.size(), 4u) << gang.out;
  EXPECT_EQ(rows[0].verdict, "PASS");
  EXPECT_EQ(rows[1].location, "1-2");
  EXPECT_EQ(rows[1].verdict, "FAIL");
  EXPECT_EQ(rows[1].status, 41705u);
  EXPECT_EQ(rows[2].verdict, "FAIL");
  EXPECT_EQ(rows[2].status, 41706u);
  EXPECT_EQ(rows[3].verdict, "PASS");
  EXPECT_EQ(Dump(0), ReadText(image));
  EXPECT_EQ(Dump(3), ReadText(image));
  EXPECT_NE(Dump(2), ReadText(image));
  EXPECT_EQ(ReadText(home.path() / "Result.txt"), "fail");
  const auto recs = Records();
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(recs[1]["status_id"], 41705);
  EXPECT_EQ(recs[2]["verdict"], "FAIL");
}

// Result.txt is the gang's alone, written once after every chip: a chip that
// ended with PASS while another still erases leaves it empty (an earlier
// unit's "pass" went at the start), and a gang killed then leaves no "pass".
TEST_F(GangProcessTest, OnlyTheWholeGangWritesResultTxt) {
  NewFixture(2);
  Fault(1, {"slow-erase", "4000"});
  Fault(1, {"corrupt-read", "0x100"});  // and then fails: no timing makes a "pass" right
  home.Write("Result.txt", "pass");
  auto gang = Background({"-f", "-write", image, "--all"}, "gang");
  ASSERT_TRUE(WaitUntilWritten({"1-1", "2-1"}));
  // Until the fast chip's worker has ended (a hang guard, no time assertion).
  for (int round = 0; round < 6000 && HeldElsewhere(ChipLockFile("1-1")); ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(HeldElsewhere(ChipLockFile("1-1")));
  EXPECT_NE(ReadText(home.path() / "Result.txt"), "pass") << "a worker wrote the gang's result";
  ::kill(gang->pid(), SIGKILL);
  gang->Wait();
  for (int round = 0; round < 6000 && HeldElsewhere(ChipLockFile("2-1")); ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_NE(ReadText(home.path() / "Result.txt"), "pass");
}

// A gang of slow chips is under way when a single-chip run starts: that run
// waits for the gang to end instead of interleaving with it, then does its job.
TEST_F(GangProcessTest, SingleChipRunWaitsForTheGangAndThenRuns) {
  NewFixture(2);
  for (int chip : {0, 1}) Fault(chip, {"slow-erase", "1500"});
  auto gang = Background({"-f", "-write", image, "--all"}, "gang");
  ASSERT_TRUE(WaitUntilWritten({"1-1", "2-1"}));
  ProcessResult single = Quillon({"-f", "-verify", image, "--location", "1-1"});
  ProcessResult gangResult = gang->Wait();
  EXPECT_EQ(gangResult.exitCode, 0) << gangResult.out << gangResult.err;
  EXPECT_EQ(single.exitCode, 0) << single.out << single.err;
  EXPECT_NE(single.err.find("waiting for another run on this station (a gang) to finish"), std::string::npos)
      << "the operator learns why nothing happens: " << single.err;
  const auto recs = Records();
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0]["operation"], "write");
  EXPECT_EQ(recs[1]["operation"], "write");
  EXPECT_EQ(recs[2]["operation"], "verify") << "the single run ends after the gang";
  EXPECT_EQ(recs[2]["verdict"], "PASS") << "and sees the image the gang wrote";
}

// A second gang started while the first writes the fixture leaves every chip
// to the first and says so.
TEST_F(GangProcessTest, TwoGangsNeverWriteTheSameChip) {
  NewFixture(2);
  for (int chip : {0, 1}) Fault(chip, {"slow-erase", "1500"});
  auto first = Background({"-f", "-write", image, "--all"}, "first");
  ASSERT_TRUE(WaitUntilWritten({"1-1", "2-1"}));
  ProcessResult second = Quillon({"-f", "-write", image, "--all"});
  ProcessResult firstResult = first->Wait();
  EXPECT_EQ(firstResult.exitCode, 0) << firstResult.out << firstResult.err;
  EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
  for (const Row& row : TableRows(firstResult.out)) EXPECT_EQ(row.verdict, "PASS") << row.location;
  const std::vector<Row> busy = TableRows(second.out);
  ASSERT_EQ(busy.size(), 2u) << second.out;
  for (const Row& row : busy) EXPECT_EQ(row.verdict, "BUSY") << row.location;
  EXPECT_EQ(Records().size(), 2u) << "only the first gang's workers ran the flow";
  EXPECT_EQ(Dump(0), ReadText(image));
  EXPECT_EQ(Dump(1), ReadText(image));
}

}  // namespace
}  // namespace quillon
