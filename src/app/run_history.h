// The station history: every run record also kept in an SQLite database in
// the program (state) directory, one transaction per run, so that a station
// can answer for its units long after the result files were overwritten. Its
// outbox holds the records still owed to the fleet's result database.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/run_record.h"

namespace quillon {

inline constexpr const char* kHistoryFileName = "quillon-history.db";

// The station history of this program directory.
std::filesystem::path HistoryPath();

// Whether a run can be stored: opens the database (created when missing),
// takes its write lock and makes its tables. The reason ("database is
// locked", "file is not a database") when it cannot.
std::optional<std::string> HistoryProblem(const std::filesystem::path& db);

// Stores the record in one transaction; with `queueForFleet` the same
// transaction puts it in the outbox. With `pending` the run's other records
// are still to be written (SettleRunInHistory ends that). "" on success, else
// the reason.
std::string StoreRunInHistory(const std::filesystem::path& db, const RunRecord& record, bool queueForFleet,
                              bool pending = false);

// The run's final verdict (passed, status id and text) once its other records
// are written; it is no longer pending. "" on success, else the reason.
std::string SettleRunInHistory(const std::filesystem::path& db, const RunRecord& record);

struct HistoryFilter {
  std::string serial;    // only runs of this serial number when not empty
  std::string location;  // only runs at this port location when not empty
  std::optional<std::int64_t> since;  // seconds since the epoch: runs that ended then or later
};

struct HistoryRead {
  std::vector<RunRecord> records;  // oldest first
  std::string problem;             // empty when the history was read
};

// The stored runs that match; a missing database holds none.
HistoryRead ReadHistory(const std::filesystem::path& db, const HistoryFilter& filter);

// The runs still pending: ended (killed) before their records were written.
HistoryRead PendingRuns(const std::filesystem::path& db);

struct OutboxEntry {
  std::int64_t seq = 0;
  RunRecord record;
};

struct OutboxRead {
  std::vector<OutboxEntry> entries;  // in the order the runs were stored
  std::string problem;
};

OutboxRead ReadOutbox(const std::filesystem::path& db);

// Takes a sent record out of the outbox; "" on success, else the reason.
std::string RemoveFromOutbox(const std::filesystem::path& db, std::int64_t seq);

// "2026-04-14", "2026-04-14T13:44", "2026-04-14 13:44:59" (local time), any
// of them with "Z" or "+02:00": seconds since the epoch; nothing when the
// text is none of these.
std::optional<std::int64_t> ParseTimeArgument(const std::string& text);

}  // namespace quillon
