// One operation through the whole quillon command line (the batch mode), in a
// forked copy of this process on the virtual clock: the chips go in and come
// back through a simulator state file as they do for the program, and the
// run's records (Result.txt, burn_result.txt, the JSON line) are read back.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "sim/chip_state.h"
#include "sweep/sweep_harness.h"

namespace quillon::sweep {

// Runs `op` on `chips` as `quillon -f ...` with the program and working
// directory `home`. `record`: note the command of every transfer. The exit
// code is -1 when the run did not end by itself (a crash).
// What is wrong with one run's records (empty when nothing): Result.txt's
// text, the last line of burn_result.txt (empty: none), the JSON line; each
// must give the exit code's verdict, the burn line and the JSON line the same
// status (a run that fails before its operation writes no burn line), and a
// passed write of a station with `serial` must name it.
std::string RecordsProblem(int exitCode, const std::string& result, const std::string& burnLine,
                           const std::string& jsonLine, const std::string& serial);

RunResult RunCommandLine(const Operation& op, std::vector<sim::ChipState> chips, const std::filesystem::path& home,
                         bool record);

}  // namespace quillon::sweep
