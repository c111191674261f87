// One operation through the whole quillon command line (the batch mode), in a
// forked copy of this process on the virtual clock: the chips go in and come
// back through a simulator state file as they do for the program, and the
// run's records (Result.txt, burn_result.txt, the JSON line) are read back.
#pragma once

#include <filesystem>
#include <vector>

#include "sim/chip_state.h"
#include "sweep/sweep_harness.h"

namespace quillon::sweep {

// Runs `op` on `chips` as `quillon -f ...` with the program and working
// directory `home`. `record`: note the command of every transfer. The exit
// code is -1 when the run did not end by itself (a crash).
RunResult RunCommandLine(const Operation& op, std::vector<sim::ChipState> chips, const std::filesystem::path& home,
                         bool record);

}  // namespace quillon::sweep
