#include "app/fleet_store.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "app/run_history.h"
#include "app/run_record.h"
#include "data/settings.h"
#include "platform/shared_file.h"

namespace quillon {
namespace {

using Clock = std::chrono::steady_clock;

// Made only when missing: a station's role may insert without being allowed
// to create, and CREATE TABLE IF NOT EXISTS asks for that right even when the
// table is there.
constexpr const char* kCreateTable =
    "DO $$ BEGIN IF to_regclass('quillon_runs') IS NULL THEN CREATE TABLE quillon_runs ("
    " run_id uuid PRIMARY KEY,"
    " received_seq bigint GENERATED ALWAYS AS IDENTITY,"
    " received_at timestamptz NOT NULL DEFAULT now(),"
    " time timestamptz NOT NULL,"
    " station text NOT NULL,"
    " tool_version text NOT NULL,"
    " location text NOT NULL,"
    " identity text NOT NULL,"
    " serial_number text NOT NULL,"
    " memory_type text NOT NULL,"
    " ic_family text NOT NULL,"
    " chip_version text NOT NULL,"
    " image text NOT NULL,"
    " image_source text NOT NULL,"
    " image_version text NOT NULL,"
    " image_sha256 text NOT NULL,"
    " operation text NOT NULL,"
    " verdict text NOT NULL,"
    " status_id integer NOT NULL,"
    " status_text text NOT NULL,"
    " duration_ms bigint NOT NULL); END IF; END $$";

// A record the server already has (sent before its outbox entry was removed)
// is not stored twice.
constexpr const char* kInsert =
    "INSERT INTO quillon_runs (run_id, time, station, tool_version, location, identity, serial_number, memory_type,"
    " ic_family, chip_version, image, image_source, image_version, image_sha256, operation, verdict, status_id,"
    " status_text, duration_ms)"
    " VALUES ($1::uuid, $2::timestamptz, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17::integer,"
    " $18, $19::bigint) ON CONFLICT (run_id) DO NOTHING";

struct FinishConnection {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, FinishConnection>;

struct ClearResult {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

// The earlier of the step's and the whole send's end.
class Deadlines {
 public:
  explicit Deadlines(const FleetSendLimits& limits)
      : limits_(limits), end_(limits.total.count() > 0 ? std::optional(Clock::now() + limits.total) : std::nullopt) {}

  Clock::time_point StepEnd() const {
    const Clock::time_point step = Clock::now() + limits_.step;
    return end_ && *end_ < step ? *end_ : step;
  }
  bool Over() const { return end_ && Clock::now() >= *end_; }

 private:
  FleetSendLimits limits_;
  std::optional<Clock::time_point> end_;
};

// Waits until the connection's socket is ready for `events`; false at the deadline.
bool WaitForSocket(PGconn* connection, short events, Clock::time_point end) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return false;
    pollfd descriptor{PQsocket(connection), events, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// The library's message names the failure on its first line; hints follow.
std::string FirstLine(const char* text) {
  std::string line = text != nullptr ? text : "";
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// Connects without ever blocking past `end`: the library's own connect
// timeout is whole seconds and does not cover a server that accepts and then
// says nothing.
Connection Connect(const std::string& connection, std::chrono::milliseconds step, Clock::time_point end,
                   std::string& problem) {
  // The server gives up on a statement too, so that one abandoned here does
  // not hold its locks; the connection string's own values win.
  const std::string options = "-c statement_timeout=" + std::to_string(step.count());
  const char* keys[] = {"connect_timeout", "options", "dbname", nullptr};
  const char* values[] = {"2", options.c_str(), connection.c_str(), nullptr};
  Connection conn(PQconnectStartParams(keys, values, 1));
  if (!conn || PQstatus(conn.get()) == CONNECTION_BAD) {
    problem = conn ? FirstLine(PQerrorMessage(conn.get())) : "out of memory";
    return nullptr;
  }
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK) {
    if (state == PGRES_POLLING_FAILED) {
      problem = FirstLine(PQerrorMessage(conn.get()));
      return nullptr;
    }
    if (!WaitForSocket(conn.get(), state == PGRES_POLLING_READING ? POLLIN : POLLOUT, end)) {
      problem = "no answer in time";
      return nullptr;
    }
    state = PQconnectPoll(conn.get());
  }
  if (PQsetnonblocking(conn.get(), 1) != 0) {
    problem = FirstLine(PQerrorMessage(conn.get()));
    return nullptr;
  }
  return conn;
}

// Runs one statement within `end`; false (problem set) when it failed or did
// not finish in time.
bool Execute(PGconn* connection, const char* sql, const std::vector<std::string>& parameters, Clock::time_point end,
             std::string& problem) {
  std::vector<const char*> values;
  for (const std::string& parameter : parameters) values.push_back(parameter.c_str());
  if (PQsendQueryParams(connection, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr,
                        0) == 0) {
    problem = FirstLine(PQerrorMessage(connection));
    return false;
  }
  int flush;
  while ((flush = PQflush(connection)) == 1) {
    if (!WaitForSocket(connection, POLLIN | POLLOUT, end)) {
      problem = "no answer in time";
      return false;
    }
    if (PQconsumeInput(connection) == 0) break;
  }
  if (flush < 0) {
    problem = FirstLine(PQerrorMessage(connection));
    return false;
  }
  bool ok = true;
  for (;;) {
    while (PQisBusy(connection) != 0) {
      if (!WaitForSocket(connection, POLLIN, end)) {
        problem = "no answer in time";
        return false;
      }
      if (PQconsumeInput(connection) == 0) {
        problem = FirstLine(PQerrorMessage(connection));
        return false;
      }
    }
    Result result(PQgetResult(connection));
    if (!result) return ok;
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      if (ok) problem = FirstLine(PQresultErrorMessage(result.get()));
      ok = false;
    }
  }
}

std::vector<std::string> InsertParameters(const RunRecord& record) {
  return {record.runId,
          IsoLocalTime(record.time),
          record.station,
          record.toolVersion,
          record.location,
          record.identity,
          record.serialNumber,
          record.memoryType,
          record.icFamily,
          record.chipVersion,
          record.image,
          record.image.empty() ? "" : record.imageBuiltin ? "built-in" : "file",
          record.imageVersion,
          record.imageSha256,
          record.operation,
          record.passed ? "PASS" : "FAIL",
          std::to_string(record.statusId),
          record.statusText,
          std::to_string(record.durationMs)};
}

// One sender per station at a time keeps the server's arrival order the
// station's order; released when the descriptor closes.
class SendLock {
 public:
  explicit SendLock(const std::filesystem::path& history) {
    const std::string path = history.string() + ".send";
    // Read access is enough to lock, so a file another operator made serves too.
    fd_ = OpenStationFile(path, O_RDONLY | O_CREAT);
    held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~SendLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  SendLock(const SendLock&) = delete;
  SendLock& operator=(const SendLock&) = delete;
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace

std::string ResultDatabase() {
  if (const char* env = std::getenv(kResultDbEnv); env != nullptr && *env != '\0') return env;
  return GetSettingString("", kConfigSection, key::kResultDatabase);
}

FleetSend SendWaitingRecords(const std::filesystem::path& history, const std::string& connection,
                             const FleetSendLimits& limits) {
  FleetSend send;
  OutboxRead outbox = ReadOutbox(history);
  if (!outbox.problem.empty()) {
    send.problem = "the station history cannot be read: " + outbox.problem;
    return send;
  }
  send.waiting = outbox.entries.size();
  if (outbox.entries.empty()) return send;
  SendLock lock(history);
  if (!lock.held()) return send;
  // Read again under the lock: a sender that just finished took its records out.
  outbox = ReadOutbox(history);
  send.waiting = outbox.entries.size();
  if (!outbox.problem.empty() || outbox.entries.empty()) {
    if (!outbox.problem.empty()) send.problem = "the station history cannot be read: " + outbox.problem;
    return send;
  }
  const Deadlines deadlines(limits);
  Connection conn = Connect(connection, limits.step, deadlines.StepEnd(), send.problem);
  if (!conn) return send;
  if (!Execute(conn.get(), kCreateTable, {}, deadlines.StepEnd(), send.problem)) return send;
  for (const OutboxEntry& entry : outbox.entries) {
    if (deadlines.Over()) {
      send.problem = "no time left in this run";
      return send;
    }
    if (!Execute(conn.get(), kInsert, InsertParameters(entry.record), deadlines.StepEnd(), send.problem)) return send;
    if (std::string problem = RemoveFromOutbox(history, entry.seq); !problem.empty()) {
      // The server has it; sending it again later stores nothing twice.
      send.problem = "the station history's outbox cannot be updated: " + problem;
      return send;
    }
    ++send.sent;
    --send.waiting;
  }
  return send;
}

}  // namespace quillon
