// How the gang reads its workers' outcomes and lays out its table.
#include "app/gang_mode.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(GangModeTest, OnlyTheWriteAndVerifyFormsWithAllAreGangs) {
  struct Case {
    std::vector<std::string> args;
    bool gang;
  };
  const Case cases[] = {
      {{"quillon", "-f", "-write", "a.rfw", "--all"}, true},
      {{"quillon", "-f", "-verify", "a.rfw", "--all"}, true},
      {{"quillon", "-f", "-write", "a.rfw"}, false},
      {{"quillon", "-f", "-write", "a.rfw", "-d"}, false},
      {{"quillon", "-f", "-erase", "x", "--all"}, false},
      {{"quillon", "-f", "a.rfw", "x", "--all"}, false},
      {{"quillon", "-write", "-f", "a.rfw", "--all"}, false},
      {{"quillon", "-f", "-write", "a.rfw", "--all", "x"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsGangCommand(c.args), c.gang) << c.args[2] << " " << c.args.back();
}

TEST(GangModeTest, RowsFromWhatEachWorkerLeft) {
  const std::string passed =
      R"({"location":"1-1","identity":"VID_3A7C&PID_0011&REV_0002","verdict":"PASS","status_id":0,"status_text":""})";
  const std::string failed =
      R"({"location":"1-1","identity":"","verdict":"FAIL","status_id":41705,"status_text":"Erase Flash Fail!"})";
  struct Case {
    const char* name;
    std::string record;
    int exitCode;
    GangVerdict verdict;
    std::uint32_t status;
    const char* identity;
  };
  const Case cases[] = {
      {"passed", passed, 0, GangVerdict::Pass, 0, "VID_3A7C&PID_0011&REV_0002"},
      {"failed keeps the listed identity", failed, 1, GangVerdict::Fail, 41705, "VID_3A7C&PID_0011&REV_0001"},
      // A worker that said PASS but did not exit 0 (killed while saving, say) did not pass.
      {"pass record with a failed exit", passed, 1, GangVerdict::Fail, 0, "VID_3A7C&PID_0011&REV_0002"},
      {"crashed without a record", "", -1, GangVerdict::Fail, 0, "VID_3A7C&PID_0011&REV_0001"},
      {"half a record", passed.substr(0, 20), 1, GangVerdict::Fail, 0, "VID_3A7C&PID_0011&REV_0001"},
      {"chip held by another run", "", kGangBusyExit, GangVerdict::Busy, 0, "VID_3A7C&PID_0011&REV_0001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GangRow row = GangRowFromWorker("1-1", "VID_3A7C&PID_0011&REV_0001", c.record, c.exitCode, 42);
    EXPECT_EQ(row.verdict, c.verdict);
    EXPECT_EQ(row.statusId, c.status);
    EXPECT_EQ(row.identity, c.identity);
    EXPECT_EQ(row.durationMs, 42u);
    EXPECT_FALSE(row.verdict != GangVerdict::Pass && row.statusText.empty()) << "a row that did not pass says why";
  }
}

TEST(GangModeTest, TableHasAHeaderAndOneLinePerChip) {
  const std::string table = GangTable({{"1-1", "VID_3A7C&PID_0011&REV_0001", GangVerdict::Pass, 0, "", 812},
                                       {"2-1", "VID_3A7C&PID_0011&REV_0001", GangVerdict::Fail, 41705, "Erase Flash Fail!", 90}});
  EXPECT_EQ(table,
            "location       identity                    verdict status  s"
            "tatus text                                duration\n"
            "1-1            VID_3A7C&PID_0011&REV_0001  PASS         0   "
            "                                            812 ms\n"
            "2-1            VID_3A7C&PID_0011&REV_0001  FAIL     41705  E"
            "rase Flash Fail!                             90 ms\n");
}

}  // namespace
}  // namespace quillon
