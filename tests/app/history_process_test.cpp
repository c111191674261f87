// The station history: whole runs stored, then read back by --history and
// --report; a history that cannot take a run refuses it before the chip.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <optional>

#include <nlohmann/json.hpp>

#include "app/station_fixture.h"

namespace quillon {
namespace {

using nlohmann::json;

class HistoryProcessTest : public testing::StationTest {
 protected:
  std::filesystem::path History() const { return home.path() / "quillon-history.db"; }

  // Two passed writes and a refused image, each also appended to runs.jsonl.
  void RunThreeWrites() {
    const std::vector<std::pair<std::string, std::string>> env{
        {"QUILLON_RESULT_JSON", (home.path() / "runs.jsonl").string()}};
    ASSERT_EQ(Quillon({"-f", "-write", image}, env).exitCode, 0);
    ASSERT_EQ(Quillon({"-f", "-write", wrongImage}, env).exitCode, 1);
    ASSERT_EQ(Quillon({"-f", "-write", image}, env).exitCode, 0);
  }
};

TEST_F(HistoryProcessTest, JsonListingHoldsExactlyTheRunRecordsAndFiltersSelect) {
  RunThreeWrites();
  std::vector<json> appended;
  std::ifstream lines(home.path() / "runs.jsonl");
  for (std::string line; std::getline(lines, line);) appended.push_back(json::parse(line));
  ASSERT_EQ(appended.size(), 3u);

  auto listing = Quillon({"--history", "--json"});
  ASSERT_EQ(listing.exitCode, 0) << listing.err;
  EXPECT_EQ(json::parse(listing.out), json(appended));

  const std::string today = appended[0].at("time").get<std::string>().substr(0, 10);
  struct Filter {
    std::vector<std::string> options;
    std::size_t runs;
  };
  const Filter filters[] = {
      {{"--serial", "QA-0042"}, 3},
      {{"--serial", "QA-0043"}, 0},
      {{"--location", "1-1"}, 3},
      {{"--location", "1-2", "--serial", "QA-0042"}, 0},
      {{"--since", today}, 3},
      {{"--since", "2999-01-01T00:00Z"}, 0},
      {{"--since", "1999-12-31T23:59:59+02:00", "--location", "1-1"}, 3},
  };
  for (const Filter& filter : filters) {
    std::vector<std::string> args{"--history", "--json"};
    args.insert(args.end(), filter.options.begin(), filter.options.end());
    auto result = Quillon(args);
    SCOPED_TRACE(::testing::PrintToString(filter.options));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(json::parse(result.out).size(), filter.runs);
  }

  // The text listing: a heading, then one line per run in the order they ran.
  auto text = Quillon({"--history", "--serial", "QA-0042"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_EQ(text.out.substr(0, text.out.find('\n')), "time  verdict  operation  location  serial  status  image");
  EXPECT_NE(text.out.find("  FAIL  write  1-1  QA-0042  41715  " + wrongImage + " "), std::string::npos) << text.out;
  EXPECT_LT(text.out.find("PASS"), text.out.find("FAIL"));
  EXPECT_GT(text.out.rfind("PASS"), text.out.find("FAIL"));
}

// One image however its path is spelled; the same serial again is a retest;
// a write that never reached a chip is no unit's failure.
TEST_F(HistoryProcessTest, ReportCountsWritesPerImageAndShiftWithRetestsApart) {
  RunThreeWrites();
  ASSERT_EQ(Quillon({"-f", "-version"}).exitCode, 0);
  ASSERT_EQ(Quillon({"-f", "-write", "./missing.rfw"}).exitCode, 1);  // never reaches the chip
  const std::string respelled = (home.path() / "." / "TQ7704_SPI.rfw").string();
  auto again = Quillon({"-f", "-write", respelled});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  const std::string oneShiftADay = "ShiftStarts=00:00\r\n";
  auto report = Quillon({"--report"}, {}, oneShiftADay);
  ASSERT_EQ(report.exitCode, 0) << report.err;
  EXPECT_EQ(report.err, "");
  auto listing = Quillon({"--history", "--json"});
  ASSERT_EQ(listing.exitCode, 0) << listing.err;
  const json first = json::parse(listing.out).at(0);
  const std::string day = first.at("time").get<std::string>().substr(0, 10);
  const std::string station = first.at("station").get<std::string>();
  const std::string sha = first.at("image_sha256").get<std::string>().substr(0, 12);
  const std::string wrongSha = json::parse(listing.out).at(1).at("image_sha256").get<std::string>().substr(0, 12);
  const std::string expected =
      "Runs: 6\n"
      "Writes per image:\n"
      "  " + image + ", " + respelled + " 4.119.0000-0115.0000 (sha256 " + sha +
      ")  first pass 1/1 100.0%  retests 2/2 passed  no unit 0\n"
      "  " + wrongImage + " 4.119.0000-0115.0000 (sha256 " + wrongSha +
      ")  first pass 0/0 0.0%  retests 0/1 passed  no unit 0\n"
      "  ./missing.rfw (not read)  first pass 0/0 0.0%  retests 0/0 passed  no unit 1\n"
      "Writes per station and shift (day, start):\n"
      "  " + station + "  " + day + " 00:00  first pass 1/1 100.0%  retests 2/3 passed  no unit 1\n"
      "Most frequent failures:\n"
      "  41715  1 runs  \"Firmware is not for the device!\"\n"
      "  41530  1 runs  \"Load File Data Fail!\"\n"
      "Units that passed more than once:\n"
      "  QA-0042  3 passed writes\n";
  EXPECT_EQ(report.out, expected);

  auto later = Quillon({"--report", "--since", "2999-01-01"});
  ASSERT_EQ(later.exitCode, 0) << later.err;
  EXPECT_EQ(later.out,
            "Runs: 0\nWrites per image:\n  none\nWrites per station and shift (day, start):\n  none\n"
            "Most frequent failures:\n  none\nUnits that passed more than once:\n  none\n");

  // A shift list that cannot be read is named; the report takes the default.
  auto typo = Quillon({"--report"}, {}, "ShiftStarts=6:00;14:00\r\n");
  EXPECT_EQ(typo.exitCode, 0) << typo.err;
  EXPECT_NE(typo.err.find(":3: key \"ShiftStarts\": value \"6:00;14:00\" is not a list of ascending times such as "
                          "06:00,14:00,22:00; taken as 06:00,14:00,22:00\n"),
            std::string::npos)
      << typo.err;
}

// Holds the history's write lock, as another program using it would.
class LockedHistory {
 public:
  explicit LockedHistory(const std::filesystem::path& file) {
    EXPECT_EQ(sqlite3_open(file.c_str(), &db_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
  }
  ~LockedHistory() { sqlite3_close(db_); }

 private:
  sqlite3* db_ = nullptr;
};

TEST_F(HistoryProcessTest, LockedOrCorruptHistoryRefusesTheRunBeforeTheChip) {
  ASSERT_EQ(Quillon({"-f", "-write", image}).exitCode, 0);
  const std::string before = ChipMemory();
  struct Case {
    const char* name;
    const char* reason;
  };
  for (const Case c : {Case{"locked", "database is locked"}, Case{"corrupt", "file is not a database"}}) {
    SCOPED_TRACE(c.name);
    std::optional<LockedHistory> lock;
    if (std::string(c.name) == "locked") {
      lock.emplace(History());
    } else {
      std::filesystem::remove(History());
      home.Write("quillon-history.db", std::string(4096, 'x'));
    }
    auto run = Quillon({"-f", "-erase"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("quillon: cannot write " + History().string() + ": " + c.reason +
                           "; the chip was not touched\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(ChipMemory(), before);

    // A writer's lock stops no reader; a file that is no database stops them all.
    for (const char* command : {"--history", "--report"}) {
      auto read = Quillon({command});
      if (lock) {
        EXPECT_EQ(read.exitCode, 0) << command << read.err;
        EXPECT_NE(read.out.find(std::string(command) == "--report" ? "Runs: 1\n" : "  PASS  write  "), std::string::npos)
            << command << read.out;
        continue;
      }
      EXPECT_EQ(read.exitCode, 1) << command;
      EXPECT_EQ(read.out, "") << command;
      EXPECT_EQ(read.err, "quillon: cannot read the station history " + History().string() + ": " + c.reason + "\n")
          << command;
    }
  }
}

// A shift leader's query that keeps its read open (a report tool, a
// spreadsheet link) must never stop the line.
TEST_F(HistoryProcessTest, AnOpenReadDoesNotRefuseARunAndSeesItsRowAfterwards) {
  ASSERT_EQ(Quillon({"-f", "-erase"}).exitCode, 0);
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open_v2(History().c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto countRuns = [&] {
    sqlite3_stmt* count = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(reader, "SELECT count(*) FROM runs", -1, &count, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(count), SQLITE_ROW) << sqlite3_errmsg(reader);
    const int runs = sqlite3_column_int(count, 0);
    sqlite3_finalize(count);
    return runs;
  };
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(countRuns(), 1);  // the read transaction now holds its snapshot

  auto run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find("database is locked"), std::string::npos) << run.err;
  EXPECT_EQ(countRuns(), 1);  // the reader's snapshot is unchanged

  ASSERT_EQ(sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(countRuns(), 2);
  sqlite3_close(reader);
}

TEST_F(HistoryProcessTest, HistoryInADirectoryAGroupSharesStaysWritableForTheGroup) {
  std::filesystem::permissions(home.path(), std::filesystem::perms::group_write | std::filesystem::perms::set_gid,
                               std::filesystem::perm_options::add);
  ASSERT_EQ(Quillon({"-f", "-erase"}).exitCode, 0);
  const auto perms = std::filesystem::status(History()).permissions();
  EXPECT_NE(perms & std::filesystem::perms::group_write, std::filesystem::perms::none);
  EXPECT_EQ(perms & std::filesystem::perms::others_write, std::filesystem::perms::none);
}

TEST_F(HistoryProcessTest, ACommandLineThatDoesNotParseSaysWhyInOneLine) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--history", "--since", "yesterday"},
       "quillon: --since takes a time such as 2026-04-14 or 2026-04-14T06:00, not \"yesterday\"; see quillon --help\n"},
      {{"--history", "--since", "2026-13-01"},
       "quillon: --since takes a time such as 2026-04-14 or 2026-04-14T06:00, not \"2026-13-01\"; see quillon --help\n"},
      {{"--history", "--serial"}, "quillon: --serial needs a value; see quillon --help\n"},
      {{"--report", "--json"}, "quillon: unknown option --json for --report; see quillon --help\n"},
      {{"--flush-results", "now"}, "quillon: --flush-results takes no options; see quillon --help\n"},
  };
  for (const auto& [args, line] : cases) {
    auto result = Quillon(args);
    EXPECT_EQ(result.exitCode, 1) << line;
    EXPECT_EQ(result.err, line);
  }
  // A history never written lists no runs and is not created by reading it.
  auto empty = Quillon({"--history", "--json"});
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_EQ(empty.out, "[]\n");
  EXPECT_FALSE(std::filesystem::exists(History()));
}

}  // namespace
}  // namespace quillon
