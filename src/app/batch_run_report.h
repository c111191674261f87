// The run record of a finished batch operation, taken from the command line
// and the flow object, and reported (summary line, JSON results file).
#pragma once

#include <chrono>

#include "app/parse_arg.h"

namespace quillon {

// Reports the run; false when a record the settings ask for was not kept.
bool ReportBatchRun(const CParseArg& parse, bool passed, std::chrono::steady_clock::time_point started);

}  // namespace quillon
