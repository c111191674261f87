// The one writer of a run's records, whatever the front end. One order:
//   1. the station history takes the run, still pending (the run's commit;
//      a history that does not take it turns a PASS into FAIL 41595),
//   2. the JSON line, then the "burn_result.txt" line, each whole or not at all,
//   3. the history row is settled with the final verdict,
//   4. "Result.txt", last.
// A PASS that a later record does not take becomes FAIL 41595: the lines
// already appended are taken back and written again as FAIL, so every record
// and the exit code say the same. A run killed between 1 and 3 stays pending
// in the history; the next run of the station (or --history) settles it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "app/run_record.h"

namespace quillon {

// Held by every run of the station while it writes chips and records.
inline constexpr const char* kStationRunsFileName = "quillon-runs.lock";

// Marks a run of this station as under way: a shared lock on the station's
// runs file, taken before "Result.txt" is emptied and held until it is
// written. Only a run that is alone at its end may write a "pass" there, so
// overlapping runs never leave one unit's pass beside another unit's.
class StationRun {
 public:
  StationRun();  // waits only while another run writes "Result.txt"
  ~StationRun();
  StationRun(const StationRun&) = delete;
  StationRun& operator=(const StationRun&) = delete;

  // True when no other run of the station is under way; the mark then stays
  // exclusive (a new run waits) until Share() or the end.
  bool TryAlone();
  void Share();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The station mark of this process's run: taken at the run's start (before
// "Result.txt" is emptied), given up once its records are written. A second
// Begin while one is held keeps it.
void BeginProcessRun();
StationRun* ProcessRun();
void EndProcessRun();

// Empties "Result.txt" at a run's start; the reason when it exists and
// cannot be emptied (it may still hold another unit's result).
std::optional<std::string> EmptyResultFile(const std::filesystem::path& file);

// Rewrites "Result.txt" with `text`, whole or left empty; false when it
// does not hold the text.
bool WriteResultText(const std::filesystem::path& file, const std::string& text);

// What the front end's records look like beyond the run record.
struct RunTexts {
  bool burnLog = false;     // "LogType": a line in "burn_result.txt" of the current directory
  std::string burnSerial;   // its serial column (BurnLogSerial)
  // "Result.txt"'s text for a pass and for a fail; none when it is not kept.
  std::optional<std::string> resultPass;
  std::optional<std::string> resultFail;
};

struct CommittedRun {
  RunRecord record;         // as written: FAIL 41595 when a record did not take a PASS
  bool kept = true;         // every record the settings ask for took the run
  bool burnFailed = false;  // "burn_result.txt" did not take its line
};

// Writes the run's records in the order above, prints the summary line and
// sends what waits for the result database. `station` may be null (a gang
// worker: its gang writes "Result.txt").
CommittedRun CommitRun(RunRecord record, const RunTexts& texts, StationRun* station);

// Settles the history's pending runs (their process ended before step 3):
// a run whose JSON line was written keeps that line's verdict; any other
// becomes FAIL 41596 ("Run Interrupted!") and gets its JSON line. Only
// while no other run of the station is under way. Returns how many were settled.
int SettleInterruptedRuns(StationRun& station);

}  // namespace quillon
