// What the station history tells people: the run listing (text or JSON) and
// the report of yields, failures and units passed twice. The report's figures
// come from BuildHistoryReport, so any page drawn from them counts the same.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_record.h"

namespace quillon {

// The writes of one group of runs.
struct YieldTally {
  std::size_t firstWrites = 0;  // a unit's first write (a unit without a serial is always new)
  std::size_t firstPassed = 0;
  std::size_t retests = 0;  // writes of a serial number written before
  std::size_t retestsPassed = 0;
  std::size_t noUnit = 0;  // writes that never reached a chip: no verdict on any unit

  bool operator==(const YieldTally&) const = default;
};

// One image, however its path was spelled ("fw.rfw", "./fw.rfw").
struct ImageYield {
  std::string sha256;  // empty: an image that could not be read, grouped by its name
  std::string version;
  std::vector<std::string> names;  // in the order the runs first used them
  YieldTally tally;

  bool operator==(const ImageYield&) const = default;
};

// One shift of one station: the local day it began and its start time.
struct ShiftYield {
  std::string station;
  std::string day;    // "2026-04-14"
  int startMinute = 0;  // after midnight
  YieldTally tally;

  bool operator==(const ShiftYield&) const = default;
};

struct FailureCount {
  std::uint32_t statusId = 0;
  std::size_t runs = 0;
  std::string text;  // the first run's status text

  bool operator==(const FailureCount&) const = default;
};

struct SerialPasses {
  std::string serial;
  std::size_t passedWrites = 0;

  bool operator==(const SerialPasses&) const = default;
};

struct HistoryReport {
  std::size_t runs = 0;
  std::vector<ImageYield> images;       // in the order the images were first written
  std::vector<ShiftYield> shifts;       // by station, then day and start time
  std::vector<FailureCount> failures;   // most frequent first, at most ten
  std::vector<SerialPasses> passedTwice;  // serial numbers that passed a write more than once
};

// The local day and the start of the shift that `time` falls in: the last
// start at or before it, else (before the day's first start) the day before's
// last shift. `shiftStarts` ascending minutes after midnight, at least one.
struct ShiftOfTime {
  std::string day;
  int startMinute = 0;

  bool operator==(const ShiftOfTime&) const = default;
};
ShiftOfTime ShiftOf(std::chrono::system_clock::time_point time, const std::vector<int>& shiftStarts);

// The figures of the report over `records` (oldest first, as the history
// reads them): the writes per image and per station shift, the ten most
// frequent failure ids of every operation, and the units that passed twice.
HistoryReport BuildHistoryReport(const std::vector<RunRecord>& records, const std::vector<int>& shiftStarts);

std::string HistoryReportText(const HistoryReport& report);

// One field of a text listing: as it is when it holds only printable
// characters other than blanks, quotes and backslashes; "-" when empty; else
// in double quotes with \\ \" \n \r \t and \xNN escapes, so that a field with
// spaces or line ends stays one field on one line.
std::string ListingField(std::string_view text);

// One line per run under a heading line: time, verdict, operation, location,
// serial, status id, image and its version, each a ListingField.
std::string HistoryListingText(const std::vector<RunRecord>& records);

// One JSON array of the runs' JSON records, oldest first, with its line end.
std::string HistoryListingJson(const std::vector<RunRecord>& records);

}  // namespace quillon
