// How the gang reads its workers' outcomes and lays out its table.
#include "app/gang_mode.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/run_record.h"
#include "data/settings.h"
#include "support/temp_dir.h"

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

// A worker stopped by the operator is recorded for the unit it had opened,
// as that unit's own record would name it; one stopped before it opened its
// chip has no serial to name, and its identity is never taken for one.
TEST(GangModeTest, AStoppedWorkersRecordNamesItsUnit) {
  TheSettings().LoadFromText("[Quillon Config]\r\n");
  testing::TempDir dir;
  GangWorker worker;
  worker.chip = GangChip{"2-1", "VID_3A7C&PID_0011&REV_0001"};
  worker.dir = dir.path();
  RunWork work;
  work.operation = "write";
  const RunOutcome cancelled{false, 41599};

  const RunRecord unopened = BuildRunRecord(WorkerSnapshot(worker), cancelled, work);
  EXPECT_EQ(unopened.serialNumber, "");
  EXPECT_EQ(BurnLogSerial(unopened, WorkerSnapshot(worker)), "");

  ChipSnapshot opened;
  opened.open = true;
  opened.identity = "VID_3A7C&PID_0011&REV_0001";
  opened.location = "2-1";
  opened.deviceName = "KESTRAN";
  opened.chipSerial = "QA-0042";
  opened.memoryType = MemoryType::Eeprom8;
  opened.icFamily = "TQ7704";
  opened.versionText = "4.119.0000-0115.0000";
  std::ofstream(dir.path() / "unit.json") << SnapshotJson(opened);
  const RunRecord stopped = BuildRunRecord(WorkerSnapshot(worker), cancelled, work);
  const RunRecord direct = BuildRunRecord(opened, cancelled, work);
  EXPECT_EQ(stopped.location, "2-1");
  EXPECT_EQ(stopped.identity, direct.identity);
  EXPECT_EQ(stopped.serialNumber, "QA-0042");
  EXPECT_EQ(stopped.memoryType, "eeprom8");
  EXPECT_EQ(stopped.icFamily, "TQ7704");
  EXPECT_EQ(stopped.chipVersion, direct.chipVersion);
  EXPECT_EQ(stopped.statusText, "Run Cancelled!");
  EXPECT_EQ(BurnLogSerial(stopped, WorkerSnapshot(worker)), "QA-0042");
}

}  // namespace
}  // namespace quillon
