#include "app/gang_mode.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "app/parse_arg.h"
#include "app/record_check.h"
#include "app/run_record.h"
#include "app/station_store.h"
#include "data/accepted_devices.h"
#include "data/settings.h"
#include "flow/status.h"
#include "platform/files.h"
#include "proxy/device_record.h"
#include "proxy/library.h"

namespace quillon {
namespace {

struct GangChip {
  std::string location;
  std::string identity;
};

struct Worker {
  GangChip chip;
  std::filesystem::path dir;  // its run record and console lines
  pid_t pid = -1;
  std::chrono::steady_clock::time_point started;
  std::uint64_t durationMs = 0;
  int exitCode = -1;
};

// Every accepted chip on the bus, in location order. The listing's identity is
// enough here: opening a chip waits for it, and the worker opens it anyway.
std::vector<GangChip> ListAcceptedChips() {
  std::map<std::string, GangChip> chips;
  for (DeviceKind kind : {DeviceKind::kAudio, DeviceKind::kCamera}) {
    std::vector<ListEntry> entries;
    if (VxCam_ListDevice(entries, kind) != 0) continue;
    for (const ListEntry& entry : entries) {
      if (IsInBuiltInVidPidList(entry.name)) chips.emplace(entry.location, GangChip{entry.location, entry.name});
    }
  }
  std::vector<GangChip> out;
  for (auto& [location, chip] : chips) out.push_back(std::move(chip));
  return out;
}

std::filesystem::path SelfExecutable() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path("quillon") : self;
}

bool StartWorker(Worker& worker, const std::filesystem::path& program, const std::vector<std::string>& args) {
  worker.started = std::chrono::steady_clock::now();
  const std::string console = (worker.dir / "console.txt").string();
  const std::string record = (worker.dir / "record.json").string();
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The worker's console lines would garble the table; they are kept beside its record.
    const int out = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) ::dup2(out, 1);
    ::setenv(kGangLocationEnv, worker.chip.location.c_str(), 1);
    ::setenv(kResultJsonEnv, record.c_str(), 1);
    ::execv(program.c_str(), pointers.data());
    ::_exit(127);
  }
  worker.pid = pid;
  return true;
}

void WaitForWorkers(std::vector<Worker>& workers) {
  std::size_t running = 0;
  for (const Worker& worker : workers) running += worker.pid > 0 ? 1 : 0;
  while (running > 0) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) break;
    for (Worker& worker : workers) {
      if (worker.pid != pid) continue;
      worker.durationMs = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::steady_clock::now() - worker.started)
                                                         .count());
      worker.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      --running;
    }
  }
}

std::string FirstLine(const std::filesystem::path& file) {
  auto bytes = ReadWholeFile(file);
  if (!bytes) return "";
  std::string text(bytes->begin(), bytes->end());
  const std::size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end + 1);
}

// False, said on stderr, when the text the settings ask for did not reach the file.
bool WriteGangResultFile(bool allPassed) {
  const auto mode = static_cast<std::int32_t>(Setting(key::kSaveResultToFile, 0));
  if (mode == 0) return true;
  const std::filesystem::path file = ProgramDir() / kResultFileName;
  ResultFile out;
  if (out.Open(file) && out.WriteAndClose(ResultText(mode, allPassed, true))) return true;
  std::fprintf(stderr, "quillon: cannot write %s; it does not hold this run's result\n", file.c_str());
  return false;
}

}  // namespace

const char* GangVerdictText(GangVerdict verdict) {
  switch (verdict) {
    case GangVerdict::Pass:
      return "PASS";
    case GangVerdict::Busy:
      return "BUSY";
    case GangVerdict::Fail:
      break;
  }
  return "FAIL";
}

bool IsGangCommand(const std::vector<std::string>& args) {
  return args.size() == 5 && args[1] == "-f" && (args[2] == "-write" || args[2] == "-verify") && args[4] == "--all";
}

GangRow GangRowFromWorker(const std::string& location, const std::string& identity, const std::string& recordLine,
                          int exitCode, std::uint64_t durationMs) {
  GangRow row{location, identity, GangVerdict::Fail, 0, "", durationMs};
  if (exitCode == kGangBusyExit) {
    row.verdict = GangVerdict::Busy;
    row.statusText = "another run is writing this chip";
    return row;
  }
  auto record = nlohmann::json::parse(recordLine, nullptr, false);
  if (record.is_discarded() || !record.is_object()) {
    row.statusText = "no result from the worker (exit " + std::to_string(exitCode) + ")";
    return row;
  }
  const bool recordPassed = record.value("verdict", "") == "PASS";
  if (recordPassed && exitCode == 0) row.verdict = GangVerdict::Pass;
  row.statusId = record.value("status_id", 0u);
  row.statusText = record.value("status_text", "");
  if (auto text = MessageText(row.statusId); text && row.statusText.empty()) row.statusText = *text;
  // A worker that recorded a pass and still ended badly (killed while saving, say) did not pass.
  if (recordPassed && exitCode != 0) row.statusText = "the worker ended with exit " + std::to_string(exitCode);
  if (row.verdict != GangVerdict::Pass && row.statusText.empty()) row.statusText = "failed";
  const std::string reported = record.value("identity", "");
  if (!reported.empty()) row.identity = reported;
  return row;
}

std::string GangTable(const std::vector<GangRow>& rows) {
  char line[512];
  std::snprintf(line, sizeof line, "%-14s %-27s %-7s %6s  %-40s %10s\n", "location", "identity", "verdict", "status",
                "status text", "duration");
  std::string table = line;
  for (const GangRow& row : rows) {
    std::snprintf(line, sizeof line, "%-14s %-27s %-7s %6u  %-40s %7llu ms\n", row.location.c_str(),
                  row.identity.c_str(), GangVerdictText(row.verdict), row.statusId, row.statusText.c_str(),
                  static_cast<unsigned long long>(row.durationMs));
    table += line;
  }
  return table;
}

int RunGang(const std::vector<std::string>& args) {
  if (LoadSettings(ProgramDir().string()) == SettingsLoad::kFileUnreadable) return 1;
  if (auto problem = FirstUnwritableRecord(KeptRecordTargets())) {
    std::fprintf(stderr, "quillon: %s; no chip was touched\n", problem->line.c_str());
    if (problem->target != ProgramDir() / kResultFileName) WriteGangResultFile(false);
    return 1;
  }
  if (!LibraryStartup()) {
    std::fprintf(stderr, "quillon: the USB library did not start\n");
    return 1;
  }
  const std::vector<GangChip> chips = ListAcceptedChips();
  LibraryShutdown();
  if (chips.empty()) {
    std::fprintf(stderr, "quillon: no accepted chip found\n");
    WriteGangResultFile(false);
    return 1;
  }
  // Created here, not by the first workers at once, so that no worker's line is lost to another's header.
  std::error_code cwdError;
  const std::filesystem::path here = std::filesystem::current_path(cwdError);
  if (Setting(key::kLogType, 0) != 0 && !cwdError && !std::filesystem::exists(here / kBurnLogFileName)) {
    AppendBurnLog(here, "");
  }

  std::string pattern = (std::filesystem::temp_directory_path(cwdError) / "quillon-gang-XXXXXX").string();
  const char* base = ::mkdtemp(pattern.data());
  if (base == nullptr) {
    std::fprintf(stderr, "quillon: cannot make a work directory for the gang\n");
    return 1;
  }
  const std::filesystem::path work = base;
  const std::filesystem::path program = SelfExecutable();
  const std::vector<std::string> workerArgs{args[1], args[2], args[3]};

  std::vector<Worker> workers;
  for (std::size_t i = 0; i < chips.size(); ++i) {
    Worker worker;
    worker.chip = chips[i];
    worker.dir = work / std::to_string(i);
    std::filesystem::create_directory(worker.dir, cwdError);
    if (!StartWorker(worker, program, workerArgs)) {
      std::fprintf(stderr, "quillon: cannot start the worker for chip %s\n", worker.chip.location.c_str());
    }
    workers.push_back(std::move(worker));
  }
  WaitForWorkers(workers);

  std::vector<GangRow> rows;
  const auto resultJson = ResultJsonPath();
  bool allPassed = true;
  for (const Worker& worker : workers) {
    const std::string record = FirstLine(worker.dir / "record.json");
    // A chip whose record was not kept does not pass: the line has no proof of it.
    bool kept = true;
    if (resultJson && !record.empty() && !AppendLineAtomically(*resultJson, record)) {
      std::fprintf(stderr, "quillon: cannot append the run record to %s\n", resultJson->c_str());
      kept = false;
    }
    rows.push_back(GangRowFromWorker(worker.chip.location, worker.chip.identity, record, worker.exitCode,
                                     worker.durationMs));
    if (!kept) {
      rows.back().verdict = GangVerdict::Fail;
      rows.back().statusText = "its run record was not kept";
    }
    allPassed = allPassed && rows.back().verdict == GangVerdict::Pass;
  }
  std::filesystem::remove_all(work, cwdError);
  // Workers that ended while another sent left their records in the outbox.
  SendWaitingRunRecords();
  std::fputs(GangTable(rows).c_str(), stdout);
  std::fflush(stdout);
  const bool resultKept = WriteGangResultFile(allPassed);
  return allPassed && resultKept ? 0 : 1;
}

}  // namespace quillon
