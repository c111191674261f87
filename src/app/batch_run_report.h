// The run record of a finished batch operation: the chip snapshot, the
// verdict, and the operation and image the command line named.
#pragma once

#include <chrono>

#include "app/parse_arg.h"
#include "app/run_record.h"

namespace quillon {

RunRecord BuildBatchRecord(const CParseArg& parse, bool passed, std::chrono::steady_clock::time_point started);

}  // namespace quillon
