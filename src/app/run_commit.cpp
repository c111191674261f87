#include "app/run_commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ctime>
#include <fstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/fleet_store.h"
#include "app/parse_arg.h"
#include "app/run_history.h"
#include "app/station_store.h"
#include "flow/status.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/shared_file.h"

namespace quillon {
namespace {

// Open-file-description locks: a failed upgrade keeps the shared lock (flock
// would drop it), and two runs in one process still see each other.
bool LockWhole(int fd, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  int rc;
  do {
    rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// How far back a pending run's JSON line is looked for: its run was recent.
constexpr std::uintmax_t kJsonTailBytes = 4u << 20;

void MarkNotKept(RunRecord& record) {
  record.passed = false;
  record.statusId = msg::kRecordNotKept;
  record.statusText = std::string(MessageText(msg::kRecordNotKept).value_or(""));
}

std::string BurnLine(const RunRecord& record, const std::string& serial) {
  const std::time_t when = std::chrono::system_clock::to_time_t(record.time);
  std::tm local{};
  localtime_r(&when, &local);
  return BurnLogLine(local, serial, record.passed, record.statusId);
}

void TakeBack(std::vector<AppendedLine>& appended) {
  for (auto it = appended.rbegin(); it != appended.rend(); ++it) {
    if (!RetractLine(*it)) {
      std::fprintf(stderr, "quillon: a PASS line in %s could not be taken back (another run wrote after it)\n",
                   it->file.c_str());
    }
  }
  appended.clear();
}

// One pass over the JSON and burn lines and the history's settling. False
// when a PASS was not taken whole; what went in is taken back then.
bool WriteTextRecords(const RunRecord& record, const RunTexts& texts, const std::filesystem::path& history,
                      bool historyKept, CommittedRun& out, std::vector<AppendedLine>& appended) {
  if (const auto json = ResultJsonPath()) {
    if (auto line = AppendWhole(*json, RunRecordJson(record))) {
      appended.push_back(*line);
    } else {
      std::fprintf(stderr, "quillon: cannot append the run record to %s: %s\n", json->c_str(), std::strerror(errno));
      out.kept = false;
      if (record.passed) return false;
    }
  }
  if (texts.burnLog) {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::current_path(error) / kBurnLogFileName;
    auto line = error ? std::nullopt
                      : AppendWhole(file, BurnLine(record, texts.burnSerial),
                                    std::string(kBurnLogHeader1) + kBurnLogHeader2);
    if (line) {
      appended.push_back(*line);
    } else {
      std::fprintf(stderr, "quillon: cannot append the line to %s: %s\n", file.c_str(), std::strerror(errno));
      out.kept = false;
      out.burnFailed = true;
      if (record.passed) {
        TakeBack(appended);
        return false;
      }
    }
  }
  if (historyKept) {
    if (std::string problem = SettleRunInHistory(history, record); !problem.empty()) {
      std::fprintf(stderr, "quillon: cannot settle the run in the station history %s: %s\n", history.c_str(),
                   problem.c_str());
      out.kept = false;
      if (record.passed) {
        TakeBack(appended);
        return false;
      }
    }
  }
  return true;
}

// The verdict a pending run's JSON line holds, when the line is there.
std::optional<RunRecord> JsonVerdict(const std::filesystem::path& file, const RunRecord& pending) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error) return std::nullopt;
  const std::uintmax_t from = size > kJsonTailBytes ? size - kJsonTailBytes : 0;
  std::ifstream in(file, std::ios::binary);
  if (!in.seekg(static_cast<std::streamoff>(from))) return std::nullopt;
  std::string text(static_cast<std::size_t>(size - from), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  const std::size_t at = text.rfind("\"run_id\":\"" + pending.runId + "\"");
  if (at == std::string::npos) return std::nullopt;
  const std::size_t begin = text.rfind('\n', at);
  const std::size_t end = text.find('\n', at);
  const std::size_t start = begin == std::string::npos ? 0 : begin + 1;
  auto object = nlohmann::json::parse(text.substr(start, end == std::string::npos ? std::string::npos : end - start),
                                      nullptr, false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  RunRecord settled = pending;
  settled.passed = object.value("verdict", "") == "PASS";
  settled.statusId = object.value("status_id", 0u);
  settled.statusText = object.value("status_text", "");
  return settled;
}

}  // namespace

StationRun::StationRun() {
  fd_ = OpenStationFile(ProgramDir() / kStationRunsFileName, O_RDWR | O_CREAT);
  if (fd_ < 0) fd_ = ::open((ProgramDir() / kStationRunsFileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ >= 0 && !LockWhole(fd_, F_RDLCK, true)) {
    ::close(fd_);
    fd_ = -1;
  }
}

StationRun::~StationRun() {
  if (fd_ >= 0) ::close(fd_);
}

bool StationRun::TryAlone() {
  // A descriptor opened read-only cannot take the write lock: such a run
  // never counts as alone, which only costs a "pass" in Result.txt.
  return fd_ >= 0 && LockWhole(fd_, F_WRLCK, false);
}

void StationRun::Share() {
  if (fd_ >= 0) LockWhole(fd_, F_RDLCK, true);
}

namespace {
std::unique_ptr<StationRun>& ProcessRunSlot() {
  static std::unique_ptr<StationRun> run;
  return run;
}
}  // namespace

void BeginProcessRun() {
  if (!ProcessRunSlot()) ProcessRunSlot() = std::make_unique<StationRun>();
}

StationRun* ProcessRun() { return ProcessRunSlot().get(); }

void EndProcessRun() { ProcessRunSlot().reset(); }

std::optional<std::string> EmptyResultFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Only a file that may hold an earlier result; anything else in its
    // place is named by the records' pre-check.
    if (errno == ENOENT || errno == EISDIR || errno == ENXIO) return std::nullopt;
    return std::strerror(errno);
  }
  struct stat info {};
  std::optional<std::string> problem;
  if (::fstat(fd, &info) != 0) {
    problem = std::strerror(errno);
  } else if (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
    problem = std::strerror(errno);
  }
  ::close(fd);
  return problem;
}

bool WriteResultText(const std::filesystem::path& file, const std::string& text) {
  const int fd = OpenStationFile(file, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
  // Half a text is no result: the file is left empty instead.
  if (done != text.size() && ::ftruncate(fd, 0) != 0) DebugPrint("Empty %s failed %d\n", file.c_str(), errno);
  const bool closed = ::close(fd) == 0;
  return closed && done == text.size();
}

CommittedRun CommitRun(RunRecord record, const RunTexts& texts, StationRun* station) {
  CommittedRun out;
  CompleteRunRecord(record);
  const std::filesystem::path history = HistoryPath();
  bool historyKept = true;
  if (std::string problem = StoreRunInHistory(history, record, !ResultDatabase().empty(), true); !problem.empty()) {
    std::fprintf(stderr, "quillon: cannot store the run in the station history %s: %s\n", history.c_str(),
                 problem.c_str());
    historyKept = false;
    out.kept = false;
    if (record.passed) MarkNotKept(record);
  }
  std::vector<AppendedLine> appended;
  if (!WriteTextRecords(record, texts, history, historyKept, out, appended)) {
    // A PASS not every record took: written again as the FAIL it now is.
    MarkNotKept(record);
    WriteTextRecords(record, texts, history, historyKept, out, appended);
  }
  const std::filesystem::path resultFile = ProgramDir() / kResultFileName;
  // Another run still under way may yet fail its unit: only a run alone
  // leaves "pass" in the station's one result file.
  auto resultProblem = [&resultFile, &out] {
    std::fprintf(stderr, "quillon: cannot write %s; it does not hold this run's result\n", resultFile.c_str());
    out.kept = false;
  };
  if (record.passed && texts.resultPass && station != nullptr && station->TryAlone() &&
      !WriteResultText(resultFile, *texts.resultPass)) {
    resultProblem();
    TakeBack(appended);
    MarkNotKept(record);
    WriteTextRecords(record, texts, history, historyKept, out, appended);
  }
  if (!record.passed && texts.resultFail && !WriteResultText(resultFile, *texts.resultFail)) resultProblem();
  const std::string summary = RunSummaryLine(record);
  std::fputs(summary.c_str(), stderr);
  // "DebugLog.txt" ends each run with the same verdict the script saw.
  DebugPrint("%s", summary.c_str());
  SendWaitingRunRecords();
  out.record = std::move(record);
  return out;
}

int SettleInterruptedRuns(StationRun& station) {
  const std::filesystem::path history = HistoryPath();
  const HistoryRead pending = PendingRuns(history);
  if (!pending.problem.empty() || pending.records.empty()) return 0;
  // A pending row of a run still under way is that run's own business.
  if (!station.TryAlone()) return 0;
  int settled = 0;
  const auto json = ResultJsonPath();
  for (const RunRecord& run : pending.records) {
    std::optional<RunRecord> fromJson = json ? JsonVerdict(*json, run) : std::nullopt;
    RunRecord record = fromJson ? *fromJson : run;
    if (!fromJson) {
      record.passed = false;
      record.statusId = msg::kRunInterrupted;
      record.statusText = std::string(MessageText(msg::kRunInterrupted).value_or(""));
      if (json && !AppendWhole(*json, RunRecordJson(record))) continue;
    }
    if (!SettleRunInHistory(history, record).empty()) continue;
    std::fprintf(stderr, "quillon: settled the interrupted run %s of %s (chip %s): %s\n", record.runId.c_str(),
                 IsoLocalTime(record.time).c_str(), record.location.c_str(), record.passed ? "PASS" : "FAIL");
    ++settled;
  }
  station.Share();
  return settled;
}

}  // namespace quillon
