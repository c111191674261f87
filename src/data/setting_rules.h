// What each setting may hold, and what a station's settings text holds that
// the program would take otherwise than its author meant: a value that is no
// number ("SaveResultToFile=yes" reads as 0), one out of its range (a wait of
// 999999 ms is clamped), a key above the section header (never read). Keys
// that decide what is recorded or what is written to a chip refuse the run on
// such a value; the others are named and the run goes on with the value taken.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/ini_file.h"
#include "data/settings.h"

namespace quillon {

// A wait in milliseconds held to a range that cannot stall a station:
// unchecked, a negative value reaches the clock as some 49 days and an erase
// time-out of 0 reaches libusb as "no time-out".
struct WaitRange {
  std::string_view key;
  int defaultMs;
  std::uint32_t minMs;
  std::uint32_t maxMs;
};

// "Wait Time": the longest wait for a chip after a reset, within the reset's own limit.
inline constexpr WaitRange kWaitTimeRange{key::kWaitTime, 5000, 0, 15000};
// "EraseTimeOut": the chip erase command's time-out.
inline constexpr WaitRange kEraseTimeOutRange{key::kEraseTimeOut, 10000, 1000, 120000};
// "EraseCommandTime": the pause after a chip erase.
inline constexpr WaitRange kEraseCommandTimeRange{key::kEraseCommandTime, 0, 0, 60000};

// "ShiftStarts": local times at which the station's shifts begin; a night
// shift that runs past midnight counts for the day it began.
inline constexpr std::string_view kDefaultShiftStarts = "06:00,14:00,22:00";

// Minutes after midnight of "HH:MM" times (hour 0..23, one or two digits;
// blanks around each) separated by commas, in ascending order; nothing when
// the text is no such list, names a time twice or is empty.
std::optional<std::vector<int>> ParseTimesOfDay(std::string_view text);

enum class SettingKind {
  kNumber,  // any integer
  kChoice,  // an integer from 0 to `most`
  kWait,    // milliseconds within a WaitRange
  kText,
  kShiftStarts,  // a list for ParseTimesOfDay; a bad one is taken as kDefaultShiftStarts
};

struct SettingRule {
  std::string_view key;
  SettingKind kind;
  std::uint32_t most = 0;             // kChoice
  const WaitRange* range = nullptr;   // kWait
  // The key decides what is recorded or what a chip is written with.
  bool guardsRun = false;
};

// The rule of a key of the settings section (names match regardless of case).
const SettingRule* FindSettingRule(std::string_view key);

struct SettingProblem {
  int line = 0;
  std::string key;
  std::string value;  // as written
  std::string taken;  // what the program reads instead; empty for a key it never reads
  std::string why;
  bool refusesRun = false;

  bool operator==(const SettingProblem&) const = default;
};

// Every value of the settings section that is not what it looks like, and
// every key above the section header, in the order of their lines.
std::vector<SettingProblem> SettingProblems(const CIniFile& document);

// "FILE:LINE: key "K": value "V" is not a number; taken as 0" and, for a key
// that guards the run, "; the run is refused".
std::string SettingProblemLine(const std::string& source, const SettingProblem& problem);

// A UTF-8 byte-order mark at the start of a text (editors on other desktops
// write one), so that the first line reads as written.
std::string_view WithoutByteOrderMark(std::string_view text);

}  // namespace quillon
