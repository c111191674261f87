#include "app/history_report.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "data/serial_record.h"

namespace quillon {
namespace {

constexpr std::size_t kFailureIdsShown = 10;

struct Tally {
  std::size_t passed = 0;
  std::size_t runs = 0;
};

std::string YieldLine(const std::string& what, const Tally& tally) {
  char figures[64];
  std::snprintf(figures, sizeof figures, "%zu/%zu passed, %.1f%%", tally.passed, tally.runs,
                tally.runs == 0 ? 0.0 : 100.0 * static_cast<double>(tally.passed) / static_cast<double>(tally.runs));
  return "  " + what + "  " + figures + "\n";
}

std::string Section(const std::string& heading, const std::string& lines) {
  return heading + "\n" + (lines.empty() ? std::string("  none\n") : lines);
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

bool IsWrite(const RunRecord& record) { return record.operation == "write"; }

}  // namespace

std::string HistoryListingText(const std::vector<RunRecord>& records) {
  std::string text = "time  verdict  operation  location  serial  status  image\n";
  for (const RunRecord& record : records) {
    text += IsoLocalTime(record.time) + "  " + (record.passed ? "PASS" : "FAIL") + "  " + record.operation + "  " +
            OrDash(record.location) + "  " + OrDash(EscapedSerial(record.serialNumber)) + "  " + std::to_string(record.statusId) +
            "  " + OrDash(record.image);
    if (!record.imageVersion.empty()) text += " " + record.imageVersion;
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

std::string HistoryReportText(const std::vector<RunRecord>& records) {
  std::map<std::string, Tally> perImage;
  std::map<std::string, Tally> perDay;
  std::map<std::uint32_t, std::pair<std::size_t, std::string>> failures;
  std::map<std::string, std::size_t> passesPerSerial;
  for (const RunRecord& record : records) {
    if (!record.passed) {
      auto& [count, text] = failures[record.statusId];
      ++count;
      if (text.empty()) text = record.statusText;
    }
    if (!IsWrite(record)) continue;
    std::string image = OrDash(record.image);
    if (!record.imageVersion.empty()) image += " " + record.imageVersion;
    for (Tally* tally : {&perImage[image], &perDay[IsoLocalTime(record.time).substr(0, 10)]}) {
      ++tally->runs;
      if (record.passed) ++tally->passed;
    }
    if (record.passed && !record.serialNumber.empty()) ++passesPerSerial[record.serialNumber];
  }

  std::string imageLines;
  for (const auto& [image, tally] : perImage) imageLines += YieldLine(image, tally);
  std::string dayLines;
  for (const auto& [day, tally] : perDay) dayLines += YieldLine(day, tally);

  std::vector<std::pair<std::uint32_t, std::pair<std::size_t, std::string>>> ranked(failures.begin(), failures.end());
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.second.first > b.second.first; });
  if (ranked.size() > kFailureIdsShown) ranked.resize(kFailureIdsShown);
  std::string failureLines;
  for (const auto& [id, entry] : ranked) {
    failureLines += "  " + std::to_string(id) + "  " + std::to_string(entry.first) + " runs";
    if (!entry.second.empty()) failureLines += "  \"" + entry.second + "\"";
    failureLines += "\n";
  }
  std::string unitLines;
  for (const auto& [serial, passes] : passesPerSerial) {
    if (passes > 1) unitLines += "  " + serial + "  " + std::to_string(passes) + " passed writes\n";
  }

  return "Runs: " + std::to_string(records.size()) + "\n" + Section("Yield per image (writes):", imageLines) +
         Section("Yield per day (writes):", dayLines) + Section("Most frequent failures:", failureLines) +
         Section("Units that passed more than once:", unitLines);
}

}  // namespace quillon
