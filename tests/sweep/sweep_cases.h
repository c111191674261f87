// Which fault cases the sweep runs: the fault kinds, the options that pick
// transfer indices and pages, and each case's fault and repeat command.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/chip_state.h"
#include "sweep/sweep_harness.h"
#include "sweep/sweep_setups.h"

namespace quillon::sweep {

// kFail: the transfer and the next ones (--fail-count) fail, past any retry;
// kLost: that one transfer fails (a transient loss, like a stall).
// kOtpReport: the OTP's program-fail report reads fail from the N-th on, until
// the fault is cleared (before the second run); kFlaky: the N-th memory read
// returns one byte with a bit flipped. Their N counts those reads, not transfers.
enum class Kind { kPower, kFail, kStall, kLost, kUnplug, kPages, kOtpReport, kFlaky };
inline constexpr Kind kKinds[] = {Kind::kPower, Kind::kFail,  Kind::kStall,     Kind::kLost,
                                  Kind::kUnplug, Kind::kPages, Kind::kOtpReport, Kind::kFlaky};
// What a sweep runs unless --kind says otherwise.
inline constexpr Kind kInProcessKinds[] = {Kind::kPower, Kind::kFail, Kind::kStall, Kind::kUnplug, Kind::kPages};
// The command line's runs are not traced page by page.
inline constexpr Kind kCommandLineKinds[] = {Kind::kPower, Kind::kFail, Kind::kStall, Kind::kLost, Kind::kUnplug};

// One transient fault: a run under it should end as the run without it.
inline bool IsTransient(Kind kind) { return kind == Kind::kStall || kind == Kind::kLost || kind == Kind::kFlaky; }
// The kinds whose index counts reads of one sort; every index is run.
inline bool CountsReads(Kind kind) { return kind == Kind::kOtpReport || kind == Kind::kFlaky; }

const char* KindName(Kind kind);

extern const char* const kUsage;

struct Options {
  std::set<std::string> setUps;
  std::vector<Kind> kinds;  // empty: the mode's defaults
  // Through the whole command line (the batch mode) instead of one flow operation.
  bool commandLine = false;
  enum class Select { kEvery, kSpread, kStride, kIndex } select = Select::kEvery;
  std::uint32_t stride = 1;
  std::vector<std::uint32_t> indices;
  std::optional<std::uint32_t> program, pages;
  std::uint32_t failCount = 64;
  bool list = false;
  bool verbose = false;
  bool help = false;
};

// False on a bad command line.
bool ParseOptions(int argc, char** argv, Options& o);

struct Case {
  Kind kind;
  std::uint32_t index = 0;    // the faulted transfer (the faulted read of kOtpReport, kFlaky)
  std::uint32_t program = 0;  // the faulted flash write (kPages)
  std::uint32_t pages = 0;    // pages programmed before the power goes
};

// The command line that runs just this case.
std::string CaseCommand(const SetUp& s, const Case& c, bool commandLine);

// Arms the case's fault on the chip.
void Arm(sim::ChipState& chip, const Case& c, std::uint32_t failCount);

// The cases of one kind for a set-up, from its run without a fault.
std::vector<Case> ChooseCases(const Options& o, Kind kind, const RunResult& ref, const SetUp& s);

}  // namespace quillon::sweep
