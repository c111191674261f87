#include "app/run_history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <regex>

#include "platform/files.h"

namespace quillon {
namespace {

// Several gang workers store their runs at once; each transaction is short,
// so a lock held longer than this is a station problem worth naming.
constexpr int kBusyTimeoutMs = 3000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS runs ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " run_id TEXT NOT NULL UNIQUE,"
    " epoch INTEGER NOT NULL,"
    " time TEXT NOT NULL,"
    " station TEXT NOT NULL,"
    " tool_version TEXT NOT NULL,"
    " location TEXT NOT NULL,"
    " identity TEXT NOT NULL,"
    " serial_number TEXT NOT NULL,"
    " memory_type TEXT NOT NULL,"
    " ic_family TEXT NOT NULL,"
    " chip_version TEXT NOT NULL,"
    " image TEXT NOT NULL,"
    " image_builtin INTEGER NOT NULL,"
    " image_version TEXT NOT NULL,"
    " image_sha256 TEXT NOT NULL,"
    " operation TEXT NOT NULL,"
    " passed INTEGER NOT NULL,"
    " status_id INTEGER NOT NULL,"
    " status_text TEXT NOT NULL,"
    " duration_ms INTEGER NOT NULL,"
    " records_pending INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS runs_by_serial ON runs(serial_number);"
    "CREATE INDEX IF NOT EXISTS runs_by_epoch ON runs(epoch);"
    "CREATE TABLE IF NOT EXISTS fleet_outbox ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " run_id TEXT NOT NULL UNIQUE REFERENCES runs(run_id));";

// The record's columns in the order of the statements below.
constexpr const char* kRecordColumns =
    "run_id, epoch, time, station, tool_version, location, identity, serial_number, memory_type, ic_family,"
    " chip_version, image, image_builtin, image_version, image_sha256, operation, passed, status_id, status_text,"
    " duration_ms";

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

std::string ErrorText(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

// A history made before runs were committed in two steps gets the column.
bool AddPendingColumn(sqlite3* db, std::string& problem) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT records_pending FROM runs LIMIT 0", -1, &raw, nullptr) == SQLITE_OK) {
    sqlite3_finalize(raw);
    return true;
  }
  sqlite3_finalize(raw);
  if (sqlite3_exec(db, "ALTER TABLE runs ADD COLUMN records_pending INTEGER NOT NULL DEFAULT 0", nullptr, nullptr,
                   nullptr) == SQLITE_OK) {
    return true;
  }
  problem = ErrorText(db);
  return false;
}

// The state directory is shared by the operators of a station (a group may
// write in it): the history must stay writable for all of them, not only for
// whoever ran first. Its write-ahead log and shared-memory index take the same mode.
void CreateForTheDirectorysGroup(const std::filesystem::path& path) {
  struct stat dir {};
  const std::filesystem::path parent = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  if (::stat(parent.c_str(), &dir) != 0 || (dir.st_mode & S_IWGRP) == 0) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd < 0) return;
  ::fchmod(fd, 0664);
  ::close(fd);
}

// Opens the database; `create` makes a missing file, else a missing file is
// no database (nothing, no problem).
Db Open(const std::filesystem::path& path, bool create, std::string& problem) {
  if (create) CreateForTheDirectorysGroup(path);
  sqlite3* raw = nullptr;
  const int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    problem = ErrorText(raw);
    return nullptr;
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  return db;
}

bool Exec(sqlite3* db, const char* sql, std::string& problem) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  problem = ErrorText(db);
  return false;
}

Statement Prepare(sqlite3* db, const std::string& sql, std::string& problem) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) problem = ErrorText(db);
  return Statement(raw);
}

// The write lock first: a database another process holds is named before
// anything else is tried.
Db OpenForWriting(const std::filesystem::path& path, std::string& problem) {
  Db db = Open(path, true, problem);
  if (!db) return nullptr;
  // With a write-ahead log a reader (a shift leader's open query, --report)
  // never holds up a run, and a run never holds up a reader. The mode stays
  // with the file; a history that cannot switch now because another program
  // holds it switches at a later run and works with its old journal meanwhile.
  sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  if (!Exec(db.get(), "BEGIN IMMEDIATE", problem)) return nullptr;
  if (!Exec(db.get(), kSchema, problem) || !AddPendingColumn(db.get(), problem)) {
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    return nullptr;
  }
  return db;
}

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void BindRecord(sqlite3_stmt* statement, const RunRecord& record) {
  int i = 0;
  BindText(statement, ++i, record.runId);
  sqlite3_bind_int64(statement, ++i, std::chrono::system_clock::to_time_t(record.time));
  BindText(statement, ++i, IsoLocalTime(record.time));
  BindText(statement, ++i, record.station);
  BindText(statement, ++i, record.toolVersion);
  BindText(statement, ++i, record.location);
  BindText(statement, ++i, record.identity);
  BindText(statement, ++i, record.serialNumber);
  BindText(statement, ++i, record.memoryType);
  BindText(statement, ++i, record.icFamily);
  BindText(statement, ++i, record.chipVersion);
  BindText(statement, ++i, record.image);
  sqlite3_bind_int(statement, ++i, record.imageBuiltin ? 1 : 0);
  BindText(statement, ++i, record.imageVersion);
  BindText(statement, ++i, record.imageSha256);
  BindText(statement, ++i, record.operation);
  sqlite3_bind_int(statement, ++i, record.passed ? 1 : 0);
  sqlite3_bind_int64(statement, ++i, record.statusId);
  BindText(statement, ++i, record.statusText);
  sqlite3_bind_int64(statement, ++i, static_cast<sqlite3_int64>(record.durationMs));
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                         : std::string();
}

// Reads the columns of kRecordColumns starting at `first`.
RunRecord ReadRecord(sqlite3_stmt* statement, int first) {
  RunRecord record;
  int i = first;
  record.runId = ColumnText(statement, i++);
  record.time = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(sqlite3_column_int64(statement, i++)));
  ++i;  // the local time text: the epoch gives the same instant
  record.station = ColumnText(statement, i++);
  record.toolVersion = ColumnText(statement, i++);
  record.location = ColumnText(statement, i++);
  record.identity = ColumnText(statement, i++);
  record.serialNumber = ColumnText(statement, i++);
  record.memoryType = ColumnText(statement, i++);
  record.icFamily = ColumnText(statement, i++);
  record.chipVersion = ColumnText(statement, i++);
  record.image = ColumnText(statement, i++);
  record.imageBuiltin = sqlite3_column_int(statement, i++) != 0;
  record.imageVersion = ColumnText(statement, i++);
  record.imageSha256 = ColumnText(statement, i++);
  record.operation = ColumnText(statement, i++);
  record.passed = sqlite3_column_int(statement, i++) != 0;
  record.statusId = static_cast<std::uint32_t>(sqlite3_column_int64(statement, i++));
  record.statusText = ColumnText(statement, i++);
  record.durationMs = static_cast<std::uint64_t>(sqlite3_column_int64(statement, i++));
  return record;
}

// Steps a statement to its end; false (problem set) on an error.
bool RunToEnd(sqlite3* db, sqlite3_stmt* statement, std::string& problem) {
  if (sqlite3_step(statement) == SQLITE_DONE) return true;
  problem = ErrorText(db);
  return false;
}

}  // namespace

std::filesystem::path HistoryPath() { return ProgramDir() / kHistoryFileName; }

std::optional<std::string> HistoryProblem(const std::filesystem::path& db) {
  std::string problem;
  Db open = OpenForWriting(db, problem);
  if (!open) return problem;
  if (!Exec(open.get(), "COMMIT", problem)) return problem;
  return std::nullopt;
}

std::string StoreRunInHistory(const std::filesystem::path& path, const RunRecord& record, bool queueForFleet,
                              bool pending) {
  std::string problem;
  Db db = OpenForWriting(path, problem);
  if (!db) return problem;
  Statement insert = Prepare(db.get(),
                             std::string("INSERT INTO runs (") + kRecordColumns +
                                 ", records_pending) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                             problem);
  bool stored = insert != nullptr;
  if (stored) {
    BindRecord(insert.get(), record);
    sqlite3_bind_int(insert.get(), 21, pending ? 1 : 0);
    stored = RunToEnd(db.get(), insert.get(), problem);
  }
  if (stored && queueForFleet) {
    Statement queue = Prepare(db.get(), "INSERT INTO fleet_outbox (run_id) VALUES (?)", problem);
    stored = queue != nullptr;
    if (stored) {
      BindText(queue.get(), 1, record.runId);
      stored = RunToEnd(db.get(), queue.get(), problem);
    }
  }
  if (stored && Exec(db.get(), "COMMIT", problem)) return "";
  sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  return problem;
}

std::string SettleRunInHistory(const std::filesystem::path& path, const RunRecord& record) {
  std::string problem;
  Db db = OpenForWriting(path, problem);
  if (!db) return problem;
  Statement update = Prepare(db.get(),
                             "UPDATE runs SET passed = ?1, status_id = ?2, status_text = ?3, records_pending = 0"
                             " WHERE run_id = ?4",
                             problem);
  bool stored = update != nullptr;
  if (stored) {
    sqlite3_bind_int(update.get(), 1, record.passed ? 1 : 0);
    sqlite3_bind_int64(update.get(), 2, record.statusId);
    BindText(update.get(), 3, record.statusText);
    BindText(update.get(), 4, record.runId);
    stored = RunToEnd(db.get(), update.get(), problem);
  }
  if (stored && Exec(db.get(), "COMMIT", problem)) return "";
  sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  return problem;
}

namespace {
// Every row the statement selects, or none and the problem.
void ReadAllRows(sqlite3* db, sqlite3_stmt* select, HistoryRead& read) {
  int rc;
  while ((rc = sqlite3_step(select)) == SQLITE_ROW) read.records.push_back(ReadRecord(select, 0));
  if (rc != SQLITE_DONE) {
    read.problem = ErrorText(db);
    read.records.clear();
  }
}
}  // namespace

HistoryRead PendingRuns(const std::filesystem::path& path) {
  HistoryRead read;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return read;
  Db db = Open(path, false, read.problem);
  if (!db) return read;
  sqlite3_stmt* raw = nullptr;
  // A history that never had the column has no pending run.
  if (sqlite3_prepare_v2(db.get(), "SELECT records_pending FROM runs LIMIT 0", -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return read;
  }
  sqlite3_finalize(raw);
  Statement select = Prepare(
      db.get(), std::string("SELECT ") + kRecordColumns + " FROM runs WHERE records_pending != 0 ORDER BY seq", read.problem);
  if (!select) return read;
  ReadAllRows(db.get(), select.get(), read);
  return read;
}

HistoryRead ReadHistory(const std::filesystem::path& path, const HistoryFilter& filter) {
  HistoryRead read;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return read;
  Db db = Open(path, false, read.problem);
  if (!db) return read;
  Statement select = Prepare(db.get(),
                             std::string("SELECT ") + kRecordColumns +
                                 " FROM runs WHERE (?1 = '' OR serial_number = ?1) AND (?2 = '' OR location = ?2)"
                                 " AND epoch >= ?3 ORDER BY seq",
                             read.problem);
  if (!select) return read;
  BindText(select.get(), 1, filter.serial);
  BindText(select.get(), 2, filter.location);
  sqlite3_bind_int64(select.get(), 3, filter.since.value_or(INT64_MIN));
  ReadAllRows(db.get(), select.get(), read);
  return read;
}

OutboxRead ReadOutbox(const std::filesystem::path& path) {
  OutboxRead read;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return read;
  Db db = Open(path, false, read.problem);
  if (!db) return read;
  // A history made before the outbox existed has none to read. A run whose
  // records are still being written may yet change its verdict: it waits.
  const std::string columns = std::string("SELECT o.seq, r.") + std::regex_replace(kRecordColumns, std::regex(", "), ", r.") +
                              " FROM fleet_outbox o JOIN runs r ON r.run_id = o.run_id";
  std::string ignored;
  Statement select = Prepare(db.get(), columns + " WHERE r.records_pending = 0 ORDER BY o.seq", ignored);
  if (!select) select = Prepare(db.get(), columns + " ORDER BY o.seq", read.problem);
  if (!select) return read;
  int rc;
  while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
    read.entries.push_back({sqlite3_column_int64(select.get(), 0), ReadRecord(select.get(), 1)});
  }
  if (rc != SQLITE_DONE) {
    read.problem = ErrorText(db.get());
    read.entries.clear();
  }
  return read;
}

std::string RemoveFromOutbox(const std::filesystem::path& path, std::int64_t seq) {
  std::string problem;
  Db db = Open(path, true, problem);
  if (!db) return problem;
  Statement remove = Prepare(db.get(), "DELETE FROM fleet_outbox WHERE seq = ?", problem);
  if (!remove) return problem;
  sqlite3_bind_int64(remove.get(), 1, seq);
  RunToEnd(db.get(), remove.get(), problem);
  return problem;
}

std::optional<std::int64_t> ParseTimeArgument(const std::string& text) {
  static const std::regex form(
      R"((\d{4})-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d))?)?(Z|[+-]\d\d:\d\d)?)");
  std::smatch m;
  if (!std::regex_match(text, m, form)) return std::nullopt;
  std::tm parts{};
  parts.tm_year = std::stoi(m[1]) - 1900;
  parts.tm_mon = std::stoi(m[2]) - 1;
  parts.tm_mday = std::stoi(m[3]);
  parts.tm_hour = m[4].matched ? std::stoi(m[4]) : 0;
  parts.tm_min = m[5].matched ? std::stoi(m[5]) : 0;
  parts.tm_sec = m[6].matched ? std::stoi(m[6]) : 0;
  if (parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 || parts.tm_min > 59 ||
      parts.tm_sec > 60) {
    return std::nullopt;
  }
  if (!m[7].matched) {
    parts.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&parts));
  }
  std::int64_t seconds = static_cast<std::int64_t>(::timegm(&parts));
  const std::string zone = m[7];
  if (zone != "Z") {
    const std::int64_t offset = (std::stoll(zone.substr(1, 2)) * 60 + std::stoll(zone.substr(4, 2))) * 60;
    seconds -= zone[0] == '+' ? offset : -offset;
  }
  return seconds;
}

}  // namespace quillon
