#include "app/history_report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

#include "data/serial_record.h"

namespace quillon {
namespace {

constexpr std::size_t kFailureIdsShown = 10;
constexpr std::size_t kHashShown = 12;  // enough to tell two images apart by eye

bool IsWrite(const RunRecord& record) { return record.operation == "write"; }

// A run without a chip location never opened a chip: it says nothing about a unit.
bool ReachedUnit(const RunRecord& record) { return !record.location.empty(); }

void Count(YieldTally& tally, bool retest, bool passed) {
  if (retest) {
    ++tally.retests;
    if (passed) ++tally.retestsPassed;
  } else {
    ++tally.firstWrites;
    if (passed) ++tally.firstPassed;
  }
}

std::string Percent(std::size_t part, std::size_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

std::string TallyText(const YieldTally& tally) {
  return "first pass " + std::to_string(tally.firstPassed) + "/" + std::to_string(tally.firstWrites) + " " +
         Percent(tally.firstPassed, tally.firstWrites) + "  retests " + std::to_string(tally.retestsPassed) + "/" +
         std::to_string(tally.retests) + " passed  no unit " + std::to_string(tally.noUnit);
}

std::string Section(const std::string& heading, const std::string& lines) {
  return heading + "\n" + (lines.empty() ? std::string("  none\n") : lines);
}

std::string ClockText(int minute) {
  char text[24];
  std::snprintf(text, sizeof text, "%02d:%02d", minute / 60 % 24, minute % 60);
  return text;
}

}  // namespace

ShiftOfTime ShiftOf(std::chrono::system_clock::time_point time, const std::vector<int>& shiftStarts) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  const int minute = local.tm_hour * 60 + local.tm_min;
  ShiftOfTime shift;
  auto later = std::upper_bound(shiftStarts.begin(), shiftStarts.end(), minute);
  if (later == shiftStarts.begin()) {
    // Before the day's first start: the last shift of the day before, which
    // may be an hour shorter or longer across a clock change.
    shift.startMinute = shiftStarts.empty() ? 0 : shiftStarts.back();
    local.tm_mday -= 1;
    local.tm_hour = 12;  // noon: a clock change never moves it across a date
    local.tm_isdst = -1;
    seconds = std::mktime(&local);
    localtime_r(&seconds, &local);
  } else {
    shift.startMinute = *std::prev(later);
  }
  char day[40];  // room for any int the compiler cannot rule out
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  shift.day = day;
  return shift;
}

HistoryReport BuildHistoryReport(const std::vector<RunRecord>& records, const std::vector<int>& shiftStarts) {
  HistoryReport report;
  report.runs = records.size();
  std::map<std::string, std::size_t> imageRow;  // by hash, or by name for an image never read
  std::map<std::tuple<std::string, std::string, int>, YieldTally> perShift;
  std::map<std::uint32_t, FailureCount> failures;
  std::map<std::string, std::size_t> passesPerSerial;
  std::set<std::string> serialsWritten;
  std::vector<std::uint32_t> failureOrder;  // first seen first: ties keep it
  for (const RunRecord& record : records) {
    if (!record.passed) {
      auto [entry, added] = failures.try_emplace(record.statusId, FailureCount{record.statusId, 0, record.statusText});
      ++entry->second.runs;
      if (added) failureOrder.push_back(record.statusId);
    }
    if (!IsWrite(record)) continue;

    const std::string imageKey = record.imageSha256.empty() ? "name:" + record.image : record.imageSha256;
    auto [row, newImage] = imageRow.try_emplace(imageKey, report.images.size());
    if (newImage) report.images.push_back({record.imageSha256, record.imageVersion, {}, {}});
    ImageYield& image = report.images[row->second];
    if (std::find(image.names.begin(), image.names.end(), record.image) == image.names.end()) {
      image.names.push_back(record.image);
    }
    const ShiftOfTime shift = ShiftOf(record.time, shiftStarts);
    YieldTally& shiftTally = perShift[{record.station, shift.day, shift.startMinute}];

    if (!ReachedUnit(record)) {
      ++image.tally.noUnit;
      ++shiftTally.noUnit;
      continue;
    }
    bool retest = false;
    if (!record.serialNumber.empty()) retest = !serialsWritten.insert(record.serialNumber).second;
    Count(image.tally, retest, record.passed);
    Count(shiftTally, retest, record.passed);
    if (record.passed && !record.serialNumber.empty()) ++passesPerSerial[record.serialNumber];
  }

  for (const auto& [key, tally] : perShift) {
    report.shifts.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), tally});
  }
  for (std::uint32_t id : failureOrder) report.failures.push_back(failures[id]);
  std::stable_sort(report.failures.begin(), report.failures.end(),
                   [](const FailureCount& a, const FailureCount& b) { return a.runs > b.runs; });
  if (report.failures.size() > kFailureIdsShown) report.failures.resize(kFailureIdsShown);
  for (const auto& [serial, passes] : passesPerSerial) {
    if (passes > 1) report.passedTwice.push_back({serial, passes});
  }
  return report;
}

std::string HistoryReportText(const HistoryReport& report) {
  std::string imageLines;
  for (const ImageYield& image : report.images) {
    std::string names;
    for (const std::string& name : image.names) names += (names.empty() ? "" : ", ") + ListingField(name);
    imageLines += "  " + names;
    if (!image.version.empty()) imageLines += " " + ListingField(image.version);
    imageLines += image.sha256.empty() ? std::string(" (not read)")
                                       : " (sha256 " + image.sha256.substr(0, kHashShown) + ")";
    imageLines += "  " + TallyText(image.tally) + "\n";
  }
  std::string shiftLines;
  for (const ShiftYield& shift : report.shifts) {
    shiftLines += "  " + ListingField(shift.station) + "  " + shift.day + " " + ClockText(shift.startMinute) + "  " +
                  TallyText(shift.tally) + "\n";
  }
  std::string failureLines;
  for (const FailureCount& failure : report.failures) {
    failureLines += "  " + std::to_string(failure.statusId) + "  " + std::to_string(failure.runs) + " runs";
    if (!failure.text.empty()) failureLines += "  " + ListingField(failure.text);
    failureLines += "\n";
  }
  std::string unitLines;
  for (const SerialPasses& unit : report.passedTwice) {
    unitLines += "  " + ListingField(unit.serial) + "  " + std::to_string(unit.passedWrites) + " passed writes\n";
  }
  return "Runs: " + std::to_string(report.runs) + "\n" + Section("Writes per image:", imageLines) +
         Section("Writes per station and shift (day, start):", shiftLines) +
         Section("Most frequent failures:", failureLines) + Section("Units that passed more than once:", unitLines);
}

std::string ListingField(std::string_view text) {
  if (text.empty()) return "-";
  const bool plain = text != "-" && std::all_of(text.begin(), text.end(), [](char c) {
                       const auto byte = static_cast<unsigned char>(c);
                       return byte > 0x20 && byte != 0x7F && c != '"' && c != '\\';
                     });
  if (plain) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\x%02X", byte);
          quoted += escape;
        } else {
          quoted += c;  // UTF-8 bytes stay as they are
        }
    }
  }
  return quoted + "\"";
}

std::string HistoryListingText(const std::vector<RunRecord>& records) {
  std::string text = "time  verdict  operation  location  serial  status  image\n";
  for (const RunRecord& record : records) {
    text += IsoLocalTime(record.time) + "  " + (record.passed ? "PASS" : "FAIL") + "  " + ListingField(record.operation) +
            "  " + ListingField(record.location) + "  " + ListingField(record.serialNumber) + "  " +
            std::to_string(record.statusId) + "  " + ListingField(record.image);
    if (!record.imageVersion.empty()) text += " " + ListingField(record.imageVersion);
    text += "\n";
  }
  return text;
}

std::string HistoryListingJson(const std::vector<RunRecord>& records) {
  std::string text = "[";
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::string object = RunRecordJson(records[i]);
    object.pop_back();  // its line end
    text += (i == 0 ? "" : ",") + object;
  }
  return text + "]\n";
}

}  // namespace quillon
