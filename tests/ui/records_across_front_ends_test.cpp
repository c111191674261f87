// One unit, one record: the same simulated unit written by the batch mode,
// by a gang and by the window gives the same run record, field by field
// (run id, time and duration aside), in the JSON line, the history and the
// burn line, whether it passes or fails.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/run_history.h"
#include "app/run_record.h"
#include "sim/sim_session.h"
#include "support/record_lines.h"
#include "support/run_process.h"
#include "tools/sim/sim_cli.h"
#include "ui/window_fixture.h"

namespace quillon::testing {
namespace {

struct UnitCase {
  const char* name;
  std::vector<std::string> fault;  // quillon-sim fault arguments; none: the unit passes
};

class RecordsAcrossFrontEndsTest : public WindowFixture, public ::testing::WithParamInterface<UnitCase> {
 protected:
  // A fresh copy of the unit: one TQ7704 with its serial, and the case's fault.
  std::string NewUnit(const std::string& name) {
    const std::string file = (units.path() / (name + ".state")).string();
    std::ostringstream out, err;
    EXPECT_EQ(sim::RunSimCli(std::vector<std::string>{"new", file, "--off-bus-ms", "20", "--serial", "QA-0042"}, out, err), 0)
        << err.str();
    if (!GetParam().fault.empty()) {
      std::vector<std::string> args{"fault", file};
      args.insert(args.end(), GetParam().fault.begin(), GetParam().fault.end());
      EXPECT_EQ(sim::RunSimCli(args, out, err), 0) << err.str();
    }
    return file;
  }

  std::string Settings() const {
    return "LogType=1\r\nSaveResultToFile=1\r\nImageFile=" + image + "\r\nResultJson=runs.jsonl\r\n";
  }

  // The batch mode's or the gang's run in a station directory of its own.
  nlohmann::json RunProcess(const std::string& name, std::vector<std::string> args) {
    const std::filesystem::path station = units.path() / name;
    std::filesystem::create_directory(station);
    const auto settings = units.Write(name + ".ini", "[Quillon Config]\r\nWait Time=50\r\nCheckVIDPID_INI=1\r\n" + Settings());
    const ProcessResult run = RunIn(station, BinDir() / "quillon", std::move(args),
                                    {{"QUILLON_HOME", station.string()},
                                     {"QUILLON_SETTINGS", settings.string()},
                                     {"QUILLON_SIM", NewUnit(name)}});
    EXPECT_EQ(run.exitCode, Passes() ? 0 : 1) << name << ": " << run.err;
    return Records(station);
  }

  // The station's one JSON line, checked against its history row, burn line and Result.txt.
  nlohmann::json Records(const std::filesystem::path& station) {
    const auto lines = JsonLines(station / "runs.jsonl");
    EXPECT_EQ(lines.size(), 1u) << station;
    if (lines.size() != 1) return {};
    const HistoryRead history = ReadHistory(station / kHistoryFileName, {});
    EXPECT_EQ(history.records.size(), 1u) << station;
    if (history.records.size() == 1) {
      EXPECT_EQ(nlohmann::json::parse(RunRecordJson(history.records[0])), lines[0]) << "history and JSON of " << station;
    }
    const auto burn = RawLines(station / "burn_result.txt");
    EXPECT_EQ(burn.size(), 3u) << station;
    if (burn.size() == 3) {
      const std::string& line = burn[2];
      EXPECT_EQ(line.substr(36, 8), "QA-0042,") << "the unit's own serial: " << line;
      EXPECT_NE(line.find(std::string(Passes() ? "Pass," : "Fail,")), std::string::npos) << line;
      EXPECT_NE(line.find(std::to_string(lines[0]["status_id"].get<std::uint32_t>()) + ":"), std::string::npos) << line;
    }
    EXPECT_EQ(ReadFile(station / "Result.txt"), Passes() ? "pass" : "fail") << station;
    return lines[0];
  }

  bool Passes() const { return GetParam().fault.empty(); }

  static nlohmann::json Comparable(nlohmann::json record) {
    for (const char* field : {"run_id", "time", "duration_ms"}) record.erase(field);
    return record;
  }

  TempDir units;
  std::string image = WriteImageFile("station.rfw", MakeImage("tq7704"));
};

TEST_P(RecordsAcrossFrontEndsTest, TheUnitGetsTheSameRecordFromEveryFrontEnd) {
  const nlohmann::json batch = RunProcess("batch", {"-f", "-write", image});
  const nlohmann::json gang = RunProcess("gang", {"-f", "-write", image, "--all"});

  // The window, on its own copy of the unit, in the fixture's station directory.
  std::string error;
  auto session = sim::OpenSimSession(NewUnit("window"), "", error);
  ASSERT_TRUE(session) << error;
  backend.reset();
  backend = std::make_unique<ScopedUsbBackend>(std::move(session));
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  Open(Settings());
  ClickStart();
  std::filesystem::current_path(previous);
  EXPECT_EQ(Shown(Control::Result), Passes() ? "PASS" : "FAIL");
  const nlohmann::json window = Records(temp.path());

  EXPECT_EQ(batch["serial_number"], "QA-0042");
  EXPECT_EQ(batch["memory_type"], "spi");
  EXPECT_EQ(batch["ic_family"], "TQ7704");
  EXPECT_EQ(batch["verdict"], Passes() ? "PASS" : "FAIL");
  EXPECT_EQ(Comparable(gang), Comparable(batch));
  EXPECT_EQ(Comparable(window), Comparable(batch));
}

INSTANTIATE_TEST_SUITE_P(Units, RecordsAcrossFrontEndsTest,
                         ::testing::Values(UnitCase{"Passes", {}}, UnitCase{"FailsItsReadBack", {"corrupt-read", "0x100"}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::testing
