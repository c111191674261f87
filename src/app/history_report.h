// What the station history tells people: the run listing (text or JSON) and
// the report of yields, failures and units passed twice.
#pragma once

#include <string>
#include <vector>

#include "app/run_record.h"

namespace quillon {

// One line per run under a heading line: time, verdict, operation, location,
// serial, status id, image and its version.
std::string HistoryListingText(const std::vector<RunRecord>& records);

// One JSON array of the runs' JSON records, oldest first, with its line end.
std::string HistoryListingJson(const std::vector<RunRecord>& records);

// Yield of the writes per image and per day (the station's local date), the
// most frequent failure ids of every operation, and the serial numbers that
// passed a write more than once.
std::string HistoryReportText(const std::vector<RunRecord>& records);

}  // namespace quillon
