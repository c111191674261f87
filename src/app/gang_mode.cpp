#include "app/gang_mode.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "app/parse_arg.h"
#include "app/record_check.h"
#include "app/run_commit.h"
#include "app/run_history.h"
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
  // A pass only while no other run of the station is under way: that run
  // may yet fail its unit, and Result.txt is the station's one answer.
  if (allPassed && (ProcessRun() == nullptr || !ProcessRun()->TryAlone())) return true;
  const std::filesystem::path file = ProgramDir() / kResultFileName;
  if (WriteResultText(file, ResultText(mode, allPassed, true))) return true;
  std::fprintf(stderr, "quillon: cannot write %s; it does not hold this run's result\n", file.c_str());
  return false;
}

}  // namespace

// The listing's identity is enough here: opening a chip waits for it, and the
// worker opens it anyway.
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

std::filesystem::path GangWorkerProgram() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path("quillon") : self;
}

std::optional<std::filesystem::path> MakeGangWorkDir() {
  std::error_code error;
  std::string pattern = (std::filesystem::temp_directory_path(error) / "quillon-gang-XXXXXX").string();
  const char* base = ::mkdtemp(pattern.data());
  if (base == nullptr) return std::nullopt;
  return std::filesystem::path(base);
}

std::string PrepareGangRecords() {
  BeginProcessRun();
  SettleInterruptedRuns(*ProcessRun());
  const std::filesystem::path resultFile = ProgramDir() / kResultFileName;
  if (Setting(key::kSaveResultToFile, 0) != 0) {
    if (auto problem = EmptyResultFile(resultFile)) {
      const std::string line = "cannot empty " + resultFile.string() + " (it may hold an earlier run's result): " +
                               *problem + "; no chip was touched";
      std::fprintf(stderr, "quillon: %s\n", line.c_str());
      EndProcessRun();
      return line;
    }
  }
  if (auto problem = FirstUnwritableRecord(KeptRecordTargets())) {
    const std::string line = problem->line + "; no chip was touched";
    std::fprintf(stderr, "quillon: %s\n", line.c_str());
    if (problem->target != resultFile) WriteGangResultFile(false);
    EndProcessRun();
    return line;
  }
  // Created here, not by the first workers at once, so that no worker's line is lost to another's header.
  std::error_code cwdError;
  const std::filesystem::path here = std::filesystem::current_path(cwdError);
  if (Setting(key::kLogType, 0) != 0 && !cwdError && !std::filesystem::exists(here / kBurnLogFileName)) {
    AppendBurnLog(here, "");
  }
  return "";
}

bool StartGangWorker(GangWorker& worker, const std::filesystem::path& program, const std::vector<std::string>& args,
                     bool pipeStderr) {
  worker.started = std::chrono::steady_clock::now();
  const std::string console = (worker.dir / "console.txt").string();
  const std::string unit = (worker.dir / "unit.json").string();
  const std::string record = (worker.dir / "record.json").string();
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  int errPipe[2] = {-1, -1};
  if (pipeStderr && ::pipe2(errPipe, O_CLOEXEC) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : errPipe) {
      if (fd >= 0) ::close(fd);
    }
    return false;
  }
  if (pid == 0) {
    // The worker's console lines would garble the table; they are kept beside its record.
    const int out = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) ::dup2(out, 1);
    if (errPipe[1] >= 0) ::dup2(errPipe[1], 2);
    ::setenv(kGangLocationEnv, worker.chip.location.c_str(), 1);
    ::setenv(kResultJsonEnv, record.c_str(), 1);
    ::setenv(kGangUnitEnv, unit.c_str(), 1);
    ::execv(program.c_str(), pointers.data());
    ::_exit(127);
  }
  if (pipeStderr) {
    ::close(errPipe[1]);
    ::fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    worker.progressFd = errPipe[0];
  }
  worker.pid = pid;
  return true;
}

bool ReapGangWorker(GangWorker& worker, bool wait) {
  if (worker.ended) return true;
  if (worker.pid <= 0) {
    worker.ended = true;
    return true;
  }
  int status = 0;
  pid_t got = 0;
  do {
    got = ::waitpid(worker.pid, &status, wait ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return false;
  worker.durationMs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - worker.started).count());
  worker.exitCode = got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  worker.ended = true;
  return true;
}

GangRow FinishGangWorker(const GangWorker& worker) {
  const std::string record = FirstLine(worker.dir / "record.json");
  // A chip whose record was not kept does not pass: the line has no proof of it.
  bool kept = true;
  const auto resultJson = ResultJsonPath();
  if (resultJson && !record.empty() && !AppendLineAtomically(*resultJson, record)) {
    std::fprintf(stderr, "quillon: cannot append the run record to %s\n", resultJson->c_str());
    kept = false;
  }
  GangRow row = GangRowFromWorker(worker.chip.location, worker.chip.identity, record, worker.exitCode, worker.durationMs);
  if (!kept) {
    row.verdict = GangVerdict::Fail;
    row.statusText = "its run record was not kept";
    // The worker's history row says what the line system never got: it fails too.
    const auto parsed = nlohmann::json::parse(record, nullptr, false);
    if (parsed.is_object()) {
      RunRecord failed;
      failed.runId = parsed.value("run_id", "");
      failed.statusId = msg::kRecordNotKept;
      failed.statusText = std::string(MessageText(msg::kRecordNotKept).value_or(""));
      if (!failed.runId.empty()) SettleRunInHistory(HistoryPath(), failed);
    }
  }
  return row;
}

namespace {
GangChipLister& PanelLister() {
  static GangChipLister lister;
  return lister;
}
}  // namespace

void SetStationPanelLister(GangChipLister lister) { PanelLister() = std::move(lister); }
const GangChipLister& StationPanelLister() { return PanelLister(); }

bool FinishGangRecords(bool allPassed) {
  // Workers that ended while another sent left their records in the outbox.
  SendWaitingRunRecords();
  // Last, after every other record of every chip.
  const bool written = WriteGangResultFile(allPassed);
  EndProcessRun();
  return written;
}

std::string SnapshotJson(const ChipSnapshot& chip) {
  const nlohmann::ordered_json object = {
      {"identity", chip.identity},         {"location", chip.location},
      {"found_at", chip.foundAt},          {"device_name", chip.deviceName},
      {"chip_serial", chip.chipSerial},    {"image_serial", chip.imageSerial},
      {"memory_type", static_cast<std::uint32_t>(chip.memoryType)},
      {"ic_family", chip.icFamily},        {"version", chip.versionText},
  };
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

ChipSnapshot SnapshotFromJson(const std::string& text) {
  ChipSnapshot chip;
  const auto object = nlohmann::json::parse(text, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return chip;
  // The worker held the chip open when it wrote this.
  chip.open = true;
  chip.identity = object.value("identity", "");
  chip.location = object.value("location", "");
  chip.foundAt = object.value("found_at", "");
  chip.deviceName = object.value("device_name", "");
  chip.chipSerial = object.value("chip_serial", "");
  chip.imageSerial = object.value("image_serial", "");
  const std::uint32_t memory = object.value("memory_type", 0u);
  if (memory <= static_cast<std::uint32_t>(MemoryType::Otp) && memory != 5) chip.memoryType = static_cast<MemoryType>(memory);
  chip.icFamily = object.value("ic_family", "");
  chip.versionText = object.value("version", "N/A");
  return chip;
}

ChipSnapshot WorkerSnapshot(const GangWorker& worker) {
  ChipSnapshot chip = SnapshotFromJson(FirstLine(worker.dir / "unit.json"));
  if (chip.identity.empty()) chip.identity = worker.chip.identity;
  if (chip.location.empty() && chip.foundAt.empty()) chip.foundAt = worker.chip.location;
  return chip;
}

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
  if (LoadSettings(ProgramDir().string()) == SettingsLoad::kFileUnusable) return 1;
  if (!PrepareGangRecords().empty()) return 1;
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
  const std::optional<std::filesystem::path> work = MakeGangWorkDir();
  if (!work) {
    std::fprintf(stderr, "quillon: cannot make a work directory for the gang\n");
    return 1;
  }
  const std::filesystem::path program = GangWorkerProgram();
  const std::vector<std::string> workerArgs{args[1], args[2], args[3]};

  std::vector<GangWorker> workers;
  std::error_code error;
  for (std::size_t i = 0; i < chips.size(); ++i) {
    GangWorker worker;
    worker.chip = chips[i];
    worker.dir = *work / std::to_string(i);
    std::filesystem::create_directory(worker.dir, error);
    if (!StartGangWorker(worker, program, workerArgs, false)) {
      std::fprintf(stderr, "quillon: cannot start the worker for chip %s\n", worker.chip.location.c_str());
    }
    workers.push_back(std::move(worker));
  }
  for (GangWorker& worker : workers) ReapGangWorker(worker, true);

  std::vector<GangRow> rows;
  bool allPassed = true;
  for (const GangWorker& worker : workers) {
    rows.push_back(FinishGangWorker(worker));
    allPassed = allPassed && rows.back().verdict == GangVerdict::Pass;
  }
  std::filesystem::remove_all(*work, error);
  std::fputs(GangTable(rows).c_str(), stdout);
  std::fflush(stdout);
  const bool resultKept = FinishGangRecords(allPassed);
  return allPassed && resultKept ? 0 : 1;
}

}  // namespace quillon
