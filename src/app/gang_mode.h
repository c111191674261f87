// Gang programming: every accepted chip of a fixture written at once, one
// worker process per chip. The flows keep process-wide state (the current
// device, the current flow object), so each chip gets a whole `quillon` of its
// own; the worker finds its chip by port location (QUILLON_GANG_LOCATION) and
// sees no other chip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

// Set by the gang for each worker: the port location of the worker's chip.
inline constexpr const char* kGangLocationEnv = "QUILLON_GANG_LOCATION";
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

// The whole gang run; returns the exit code: 0 exactly when every chip passed.
int RunGang(const std::vector<std::string>& args);

}  // namespace quillon
