// Gang programming: every accepted chip of a fixture written at once, one
// worker process per chip. The flows keep process-wide state (the current
// device, the current flow object), so each chip gets a whole `quillon` of its
// own; the worker finds its chip by port location (QUILLON_GANG_LOCATION) and
// sees no other chip.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "flow/chip_snapshot.h"

namespace quillon {

// Set by the gang for each worker: the port location of the worker's chip.
inline constexpr const char* kGangLocationEnv = "QUILLON_GANG_LOCATION";
// Set by the gang for each worker: where the worker leaves the snapshot of
// its chip once it has opened it, so that a run stopped by the operator is
// still recorded for that very unit.
inline constexpr const char* kGangUnitEnv = "QUILLON_GANG_UNIT";
// A worker's exit code when another run holds its chip.
inline constexpr int kGangBusyExit = 3;

// "quillon -f -write IMAGE --all" (or -verify): the gang form of the batch mode.
bool IsGangCommand(const std::vector<std::string>& args);

// A chip's verdict in the gang: BUSY when another run held it.
enum class GangVerdict { Pass, Fail, Busy };
// "PASS", "FAIL" or "BUSY", as the table shows it.
const char* GangVerdictText(GangVerdict verdict);

// One chip's outcome, as the table shows it.
struct GangRow {
  std::string location;
  std::string identity;
  GangVerdict verdict = GangVerdict::Fail;
  std::uint32_t statusId = 0;
  std::string statusText;
  std::uint64_t durationMs = 0;
};

// The table of a finished gang: a header and one line per chip, each line
// ending in "\n".
std::string GangTable(const std::vector<GangRow>& rows);

// Reads a worker's outcome from its run record (one JSON line) and exit code.
GangRow GangRowFromWorker(const std::string& location, const std::string& identity, const std::string& recordLine,
                          int exitCode, std::uint64_t durationMs);

// The snapshot fields a run record takes, as one JSON line, and back (a
// blank snapshot for a text that is none).
std::string SnapshotJson(const ChipSnapshot& chip);
ChipSnapshot SnapshotFromJson(const std::string& text);

// An accepted chip of the fixture, as the bus lists it.
struct GangChip {
  std::string location;
  std::string identity;
};

// Every accepted chip on the bus, in location order.
std::vector<GangChip> ListAcceptedChips();

// One worker process: `quillon` with the batch arguments, bound to one chip.
struct GangWorker {
  GangChip chip;
  std::filesystem::path dir;  // its run record and console lines
  pid_t pid = -1;
  int progressFd = -1;        // the read end of its stderr, when the caller asked for it
  std::chrono::steady_clock::time_point started;
  std::uint64_t durationMs = 0;
  int exitCode = -1;          // -1 while it runs, and when it did not exit by itself
  bool ended = false;
};

// The snapshot a worker left, else one naming the chip as the bus listed it.
ChipSnapshot WorkerSnapshot(const GangWorker& worker);

// The program the workers run: this very executable.
std::filesystem::path GangWorkerProgram();
// A fresh work directory for one gang run's workers.
std::optional<std::filesystem::path> MakeGangWorkDir();
// The checks and files a gang makes before its first worker starts: the
// station's run mark, "Result.txt" emptied, the records checked; empty, or
// (also said on stderr) why no chip may be touched.
std::string PrepareGangRecords();
// Starts `program args` for worker.chip in worker.dir. With `pipeStderr` the
// worker's stderr (its progress lines) comes to worker.progressFd, non-blocking.
bool StartGangWorker(GangWorker& worker, const std::filesystem::path& program, const std::vector<std::string>& args,
                     bool pipeStderr);
// Collects the worker's exit when it has ended (waiting for it with `wait`); true once it has.
bool ReapGangWorker(GangWorker& worker, bool wait);
// The ended worker's row; its run record joins the configured records file.
GangRow FinishGangWorker(const GangWorker& worker);
// What the gang leaves after its rows: waiting records sent, "Result.txt"
// written (a pass only when no other run of the station is under way; the
// workers never write it); false when that file does not hold a failed result.
bool FinishGangRecords(bool allPassed);

// How a station panel lists the chips afresh. Set by the program when its
// window is to be the station panel, empty otherwise.
using GangChipLister = std::function<std::vector<GangChip>()>;
void SetStationPanelLister(GangChipLister lister);
const GangChipLister& StationPanelLister();

// The whole gang run; returns the exit code: 0 exactly when every chip passed.
int RunGang(const std::vector<std::string>& args);

}  // namespace quillon
