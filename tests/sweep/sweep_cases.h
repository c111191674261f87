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

enum class Kind { kPower, kFail, kStall, kUnplug, kPages };
inline constexpr Kind kKinds[] = {Kind::kPower, Kind::kFail, Kind::kStall, Kind::kUnplug, Kind::kPages};

const char* KindName(Kind kind);

extern const char* const kUsage;

struct Options {
  std::set<std::string> setUps;
  std::vector<Kind> kinds{std::begin(kKinds), std::end(kKinds)};
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
  std::uint32_t index = 0;    // the faulted transfer
  std::uint32_t program = 0;  // the faulted flash write (kPages)
  std::uint32_t pages = 0;    // pages programmed before the power goes
};

// The command line that runs just this case.
std::string CaseCommand(const SetUp& s, const Case& c);

// Arms the case's fault on the chip.
void Arm(sim::ChipState& chip, const Case& c, std::uint32_t failCount);

// The cases of one kind for a set-up, from its run without a fault.
std::vector<Case> ChooseCases(const Options& o, Kind kind, const RunResult& ref, const SetUp& s);

}  // namespace quillon::sweep
