// Whether the records a run is asked to keep can be written, found out before
// the chip is touched: a chip written without its records costs a download on
// an OTP part and leaves the line without proof.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

// The files a run will write (created when missing, appended or rewritten
// when present) and the directories it will create files in.
struct RecordTargets {
  std::vector<std::filesystem::path> files;
  std::vector<std::filesystem::path> directories;
  std::vector<std::filesystem::path> historyDatabases{};  // locked or not a database: refused too
};

// Free space a run needs beside the history for its commit (measured: see
// README, "Station history").
inline constexpr std::uint64_t kHistoryCommitRoom = 128u << 10;

struct UnwritableRecord {
  std::filesystem::path target;
  std::string line;  // "cannot write FILE: REASON", without a line end
};

// The first target that cannot be written; nothing when every target can be
// written. Probing creates no target file: a missing file is tried as a
// scratch file beside it, removed at once.
std::optional<UnwritableRecord> FirstUnwritableRecord(const RecordTargets& targets);

// Every record file the loaded settings ask a run to keep: "Result.txt" in the
// program directory ("SaveResultToFile"), "burn_result.txt" in the working
// directory ("LogType"), the JSON run record, and the station history (always
// kept). The batch mode, the gang and the window all check these before their
// first chip transfer.
RecordTargets KeptRecordTargets();

// A "Result.txt" left by an earlier run cannot hold this run's result: it is
// emptied (never created) before the run waits for anything, so that a run
// killed meanwhile leaves no "pass" of another unit behind.
void EmptyLeftoverResultFile(const std::filesystem::path& file);

}  // namespace quillon
