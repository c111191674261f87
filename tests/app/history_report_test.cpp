// The report's figures and the listing's fields, from records made here: the
// station's clock is UTC for these tests, so shifts fall where they are read.
#include "app/history_report.h"

#include <gtest/gtest.h>

#include <ctime>

#include "app/run_history.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

class HistoryReportTest : public ::testing::Test {
 protected:
  void SetUp() override { ::tzset(); }
  void TearDown() override {
    utc_.reset();
    ::tzset();
  }

  static std::chrono::system_clock::time_point At(const std::string& utc) {
    const auto seconds = ParseTimeArgument(utc + "Z");
    EXPECT_TRUE(seconds.has_value()) << utc;
    return std::chrono::system_clock::from_time_t(static_cast<std::time_t>(seconds.value_or(0)));
  }

  // A write at `time` (UTC) on station st1 at 1-1.
  static RunRecord Write(const std::string& time, const std::string& serial, bool passed,
                         const std::string& image = "fw.rfw", const std::string& sha = "aa11") {
    RunRecord record;
    record.time = At(time);
    record.station = "st1";
    record.location = "1-1";
    record.serialNumber = serial;
    record.operation = "write";
    record.passed = passed;
    record.statusId = passed ? 0 : 41600;
    record.statusText = passed ? "" : "Write Flash Fail";
    record.image = image;
    record.imageSha256 = sha;
    record.imageVersion = "4.1";
    return record;
  }

  // Never reached a chip: no location, nothing about a unit.
  static RunRecord NoUnit(const std::string& time, const std::string& image = "fw.rfw", const std::string& sha = "aa11") {
    RunRecord record = Write(time, "", false, image, sha);
    record.location.clear();
    record.statusId = 41511;
    record.statusText = "Can not find device!";
    return record;
  }

  const std::vector<int> kThreeShifts{6 * 60, 14 * 60, 22 * 60};

 private:
  std::unique_ptr<testing::ScopedEnv> utc_ = std::make_unique<testing::ScopedEnv>("TZ", "UTC");
};

TEST_F(HistoryReportTest, ATimeBelongsToTheLastShiftThatStartedBeforeIt) {
  const struct {
    const char* time;
    std::vector<int> starts;
    ShiftOfTime shift;
  } cases[] = {
      {"2026-04-15T06:00", kThreeShifts, {"2026-04-15", 360}},
      {"2026-04-15T13:59", kThreeShifts, {"2026-04-15", 360}},
      {"2026-04-15T14:00", kThreeShifts, {"2026-04-15", 840}},
      {"2026-04-15T23:30", kThreeShifts, {"2026-04-15", 1320}},
      {"2026-04-15T05:59", kThreeShifts, {"2026-04-14", 1320}},  // the night began the day before
      {"2026-05-01T00:10", kThreeShifts, {"2026-04-30", 1320}},
      {"2027-01-01T03:00", kThreeShifts, {"2026-12-31", 1320}},
      {"2026-04-15T00:00", {0}, {"2026-04-15", 0}},
      {"2026-04-15T23:59", {0}, {"2026-04-15", 0}},
      {"2026-04-15T07:00", {8 * 60, 20 * 60}, {"2026-04-14", 1200}},
  };
  for (const auto& c : cases) EXPECT_EQ(ShiftOf(At(c.time), c.starts), c.shift) << c.time;
}

TEST_F(HistoryReportTest, OneImageIsOneRowHoweverItsPathWasSpelled) {
  const std::vector<RunRecord> records = {
      Write("2026-04-15T07:00", "S1", true, "fw.rfw"),
      Write("2026-04-15T07:01", "S2", true, "./fw.rfw"),
      Write("2026-04-15T07:02", "S3", false, "/line/other.rfw", "bb22"),
      Write("2026-04-15T07:03", "S4", true, "fw.rfw"),
      // Unreadable files have no hash: grouped by the name they were given.
      Write("2026-04-15T07:04", "S5", false, "gone.rfw", ""),
      Write("2026-04-15T07:05", "S6", false, "gone.rfw", ""),
      Write("2026-04-15T07:06", "S7", false, "lost.rfw", ""),
  };
  const HistoryReport report = BuildHistoryReport(records, kThreeShifts);
  ASSERT_EQ(report.images.size(), 4u);
  EXPECT_EQ(report.images[0].sha256, "aa11");
  EXPECT_EQ(report.images[0].names, (std::vector<std::string>{"fw.rfw", "./fw.rfw"}));
  EXPECT_EQ(report.images[0].tally, (YieldTally{3, 3, 0, 0, 0}));
  EXPECT_EQ(report.images[1].names, std::vector<std::string>{"/line/other.rfw"});
  EXPECT_EQ(report.images[1].tally, (YieldTally{1, 0, 0, 0, 0}));
  EXPECT_EQ(report.images[2].names, std::vector<std::string>{"gone.rfw"});
  EXPECT_EQ(report.images[2].tally, (YieldTally{2, 0, 0, 0, 0}));
  EXPECT_EQ(report.images[3].names, std::vector<std::string>{"lost.rfw"});
}

// First-pass yield counts each unit once; the same serial again is a retest;
// a run that never reached a chip is no unit's failure. Only the serial tells
// units apart, so writes without one are each a first write.
TEST_F(HistoryReportTest, RetestsAndRunsWithoutAUnitAreCountedApartFromFirstPasses) {
  const std::vector<RunRecord> records = {
      Write("2026-04-15T07:00", "S1", false),
      NoUnit("2026-04-15T07:01"),
      Write("2026-04-15T07:02", "S1", true),   // retest
      Write("2026-04-15T07:03", "S2", true),
      Write("2026-04-15T07:04", "S1", true),   // retest, passed twice
      Write("2026-04-15T07:05", "", false),
      Write("2026-04-15T07:06", "", true),
      NoUnit("2026-04-15T07:07"),
  };
  const HistoryReport report = BuildHistoryReport(records, kThreeShifts);
  const YieldTally expected{4, 2, 2, 2, 2};
  ASSERT_EQ(report.images.size(), 1u);
  EXPECT_EQ(report.images[0].tally, expected);
  ASSERT_EQ(report.shifts.size(), 1u);
  EXPECT_EQ(report.shifts[0].tally, expected);
  EXPECT_EQ(report.passedTwice, (std::vector<SerialPasses>{{"S1", 2}}));
  // The failures still name why those runs failed.
  EXPECT_EQ(report.failures,
            (std::vector<FailureCount>{{41600, 2, "Write Flash Fail"}, {41511, 2, "Can not find device!"}}));
}

TEST_F(HistoryReportTest, WritesAreCountedPerStationAndShift) {
  std::vector<RunRecord> records = {
      Write("2026-04-15T05:00", "A1", true),   // night of the 14th
      Write("2026-04-14T22:30", "A2", false),  // the same night
      Write("2026-04-15T06:00", "A3", true),
      Write("2026-04-15T21:59", "A4", true),
      Write("2026-04-15T07:00", "B1", true),
  };
  records.back().station = "st2";
  RunRecord verify = Write("2026-04-15T07:00", "A1", true);
  verify.operation = "verify";  // not a write: no yield figure
  records.push_back(verify);
  const HistoryReport report = BuildHistoryReport(records, kThreeShifts);
  const std::vector<ShiftYield> expected = {
      {"st1", "2026-04-14", 1320, {2, 1, 0, 0, 0}},
      {"st1", "2026-04-15", 360, {1, 1, 0, 0, 0}},
      {"st1", "2026-04-15", 840, {1, 1, 0, 0, 0}},
      {"st2", "2026-04-15", 360, {1, 1, 0, 0, 0}},
  };
  EXPECT_EQ(report.shifts, expected);
  EXPECT_EQ(report.runs, 6u);
}

TEST_F(HistoryReportTest, MostFrequentFailuresOfEveryOperationTenAtMostTiesInOrderSeen) {
  std::vector<RunRecord> records;
  for (std::uint32_t id = 1; id <= 12; ++id) {
    RunRecord record = Write("2026-04-15T07:00", "", false);
    record.operation = id % 2 == 0 ? "verify" : "erase";
    record.statusId = 40000 + id;
    record.statusText = "failure " + std::to_string(id);
    records.push_back(record);
    if (id == 12) records.push_back(record);
  }
  const HistoryReport report = BuildHistoryReport(records, kThreeShifts);
  ASSERT_EQ(report.failures.size(), 10u);
  EXPECT_EQ(report.failures[0], (FailureCount{40012, 2, "failure 12"}));
  for (std::size_t i = 1; i < report.failures.size(); ++i) EXPECT_EQ(report.failures[i].statusId, 40000 + i);
}

TEST_F(HistoryReportTest, TextShowsEachFigureAndKeepsOddFieldsOnTheirLine) {
  std::vector<RunRecord> records = {
      Write("2026-04-15T07:00", "S1", false, "line 3/fw.rfw", "0123456789abcdef0123"),
      Write("2026-04-15T07:05", "S1", true, "./line 3/fw.rfw", "0123456789abcdef0123"),
      NoUnit("2026-04-15T23:00", "gone.rfw", ""),
  };
  records[2].station = "st\n2";  // sorts before "st1"
  EXPECT_EQ(HistoryReportText(BuildHistoryReport(records, kThreeShifts)),
            "Runs: 3\n"
            "Writes per image:\n"
            "  \"line 3/fw.rfw\", \"./line 3/fw.rfw\" 4.1 (sha256 0123456789ab)  first pass 0/1 0.0%  retests 1/1 passed"
            "  no unit 0\n"
            "  gone.rfw 4.1 (not read)  first pass 0/0 0.0%  retests 0/0 passed  no unit 1\n"
            "Writes per station and shift (day, start):\n"
            "  \"st\\n2\"  2026-04-15 22:00  first pass 0/0 0.0%  retests 0/0 passed  no unit 1\n"
            "  st1  2026-04-15 06:00  first pass 0/1 0.0%  retests 1/1 passed  no unit 0\n"
            "Most frequent failures:\n"
            "  41600  1 runs  \"Write Flash Fail\"\n"
            "  41511  1 runs  \"Can not find device!\"\n"
            "Units that passed more than once:\n"
            "  none\n");
}

TEST(ListingFieldTest, QuotesAndEscapesWhatWouldSplitOrBreakALine) {
  const std::pair<std::string, std::string> cases[] = {
      {"QA-0042", "QA-0042"},
      {"", "-"},
      {"-", "\"-\""},
      {"/data/line 3/fw.rfw", "\"/data/line 3/fw.rfw\""},
      {"a\nb\r\tc", "\"a\\nb\\r\\tc\""},
      {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
      {std::string("nul\0bel\x07", 8), "\"nul\\x00bel\\x07\""},
      {"Bühne", "Bühne"},
  };
  for (const auto& [field, shown] : cases) EXPECT_EQ(ListingField(field), shown);
}

TEST(HistoryListingTextTest, AFieldWithSpacesOrLineEndsStaysOneFieldOnOneLine) {
  RunRecord record;
  record.time = std::chrono::system_clock::from_time_t(0);
  record.operation = "write";
  record.location = "1-1";
  record.serialNumber = "SN 1\nSN 2";
  record.image = "/data/my fw.rfw";
  record.imageVersion = "4.1";
  const std::string text = HistoryListingText({record, record});
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  const std::string line = text.substr(text.find('\n') + 1, text.find('\n', text.find('\n') + 1) - text.find('\n') - 1);
  EXPECT_EQ(line, IsoLocalTime(record.time) + "  FAIL  write  1-1  \"SN 1\\nSN 2\"  0  \"/data/my fw.rfw\" 4.1");
}

}  // namespace
}  // namespace quillon
