#include "data/setting_rules.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/files.h"

namespace quillon {
namespace {

constexpr SettingRule kRules[] = {
    {key::kDebugLog, SettingKind::kNumber},
    {key::kIniType, SettingKind::kNumber},
    {key::kLibType, SettingKind::kNumber},
    {key::kLockPort, SettingKind::kNumber},
    {key::kPortNo, SettingKind::kNumber},
    {key::kAutoRun, SettingKind::kChoice, 2},
    {key::kAutoRunDelay, SettingKind::kNumber},
    {key::kCheckVidPidIni, SettingKind::kChoice, 2, nullptr, true},
    {key::kCheckVidPidBin, SettingKind::kNumber},
    {key::kResetToCache, SettingKind::kNumber},
    {key::kNormalReset, SettingKind::kNumber},
    {key::kSaveSn, SettingKind::kChoice, 1, nullptr, true},
    {key::kSnAddress, SettingKind::kNumber},
    {key::kSnFunction, SettingKind::kNumber},
    {key::kOtpPassword, SettingKind::kText},
    {key::kEraseTimeOut, SettingKind::kWait, 0, &kEraseTimeOutRange},
    {key::kEraseCommandTime, SettingKind::kWait, 0, &kEraseCommandTimeRange},
    {key::kWaitTime, SettingKind::kWait, 0, &kWaitTimeRange},
    {key::kSaveResultToFile, SettingKind::kChoice, 2, nullptr, true},
    {key::kLogType, SettingKind::kNumber},
    {key::kLoopTest, SettingKind::kNumber},
    {key::kRtd3, SettingKind::kNumber},
    {key::kBcdType, SettingKind::kNumber},
    {key::kResultJson, SettingKind::kText, 0, nullptr, true},
    {key::kResultDatabase, SettingKind::kText, 0, nullptr, true},
    {key::kStationName, SettingKind::kText},
    {key::kImageFile, SettingKind::kText, 0, nullptr, true},
    {key::kGang, SettingKind::kChoice, 1, nullptr, true},
    {key::kShiftStarts, SettingKind::kShiftStarts},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The number the text holds as the settings reader takes numbers (decimal,
// 0x hexadecimal, leading-zero octal, blanks around it), or nothing when any
// of it is something else.
std::optional<std::int64_t> WholeNumber(const std::string& text) {
  std::size_t first = 0;
  while (first < text.size() && IsBlank(text[first])) ++first;
  std::size_t last = text.size();
  while (last > first && IsBlank(text[last - 1])) --last;
  if (first == last) return std::nullopt;
  std::string digits = text.substr(first, last - first);
  const bool negative = digits.front() == '-';
  if (negative) digits.erase(0, 1);
  if (digits.empty() || digits.front() == '-' || digits.front() == '+' || IsBlank(digits.front())) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
  if (end != digits.c_str() + digits.size() || errno == ERANGE || value > 0xFFFFFFFFull) return std::nullopt;
  return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

// What a wait reads from the text: a signed number, clamped to its range.
std::int64_t WaitTaken(const WaitRange& range, const std::string& value) {
  const auto asRead = static_cast<std::int32_t>(ParseIniInt(value));
  return std::clamp<std::int64_t>(asRead, range.minMs, range.maxMs);
}

std::optional<SettingProblem> CheckValue(const SettingRule& rule, const std::string& key, const std::string& value,
                                         int line) {
  if (rule.kind == SettingKind::kText) return std::nullopt;
  if (rule.kind == SettingKind::kShiftStarts) {
    if (ParseTimesOfDay(value)) return std::nullopt;
    return SettingProblem{line, key, value, std::string(kDefaultShiftStarts),
                          "is not a list of ascending times such as " + std::string(kDefaultShiftStarts),
                          rule.guardsRun};
  }
  const bool wait = rule.kind == SettingKind::kWait && rule.range != nullptr;
  const std::string taken = wait ? std::to_string(WaitTaken(*rule.range, value)) : std::to_string(ParseIniInt(value));
  SettingProblem problem{line, key, value, taken, "", rule.guardsRun};
  const std::optional<std::int64_t> number = WholeNumber(value);
  if (!number) {
    problem.why = "is not a number";
    return problem;
  }
  if (rule.kind == SettingKind::kChoice && (*number < 0 || *number > rule.most)) {
    problem.why = "is not one of 0 to " + std::to_string(rule.most);
    return problem;
  }
  if (wait && (*number < rule.range->minMs || *number > rule.range->maxMs)) {
    problem.why = "is outside " + std::to_string(rule.range->minMs) + ".." + std::to_string(rule.range->maxMs) + " ms";
    return problem;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<int>> ParseTimesOfDay(std::string_view text) {
  std::vector<int> minutes;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    std::string_view item = text.substr(start, comma - start);
    while (!item.empty() && IsBlank(item.front())) item.remove_prefix(1);
    while (!item.empty() && IsBlank(item.back())) item.remove_suffix(1);
    const std::size_t colon = item.find(':');
    if (colon == std::string_view::npos || colon < 1 || colon > 2 || item.size() != colon + 3) return std::nullopt;
    int hour = 0;
    for (char c : item.substr(0, colon)) {
      if (c < '0' || c > '9') return std::nullopt;
      hour = hour * 10 + (c - '0');
    }
    const char tens = item[colon + 1];
    const char ones = item[colon + 2];
    if (tens < '0' || tens > '5' || ones < '0' || ones > '9' || hour > 23) return std::nullopt;
    const int minute = hour * 60 + (tens - '0') * 10 + (ones - '0');
    // Out of order is most likely a typo ("06:00,14:00,02:00" for 22:00).
    if (!minutes.empty() && minute <= minutes.back()) return std::nullopt;
    minutes.push_back(minute);
    if (comma == text.size()) return minutes;
    start = comma + 1;
  }
}

const SettingRule* FindSettingRule(std::string_view key) {
  const std::string folded = ToLowerAscii(key);
  for (const SettingRule& rule : kRules) {
    if (ToLowerAscii(rule.key) == folded) return &rule;
  }
  return nullptr;
}

std::vector<SettingProblem> SettingProblems(const CIniFile& document) {
  std::vector<SettingProblem> problems;
  const std::string section = ToLowerAscii(kConfigSection);
  const auto& names = document.SectionNames();
  const auto& bodies = document.SectionBodies();
  for (std::size_t s = 0; s < names.size() && s < bodies.size(); ++s) {
    const auto& body = bodies[s];
    const bool settings = ToLowerAscii(names[s]) == section;
    if (!settings && !names[s].empty()) continue;
    for (std::size_t k = 0; k < body.keys.size(); ++k) {
      const int line = k < body.lines.size() ? body.lines[k] : 0;
      const std::string& value = k < body.values.size() ? body.values[k] : std::string();
      const SettingRule* rule = FindSettingRule(body.keys[k]);
      if (!settings) {
        // Lines above "[Quillon Config]" belong to no section and are never read.
        problems.push_back({line, body.keys[k], value, "", "stands above the [" + std::string(kConfigSection) + "] header",
                            rule != nullptr && rule->guardsRun});
        continue;
      }
      if (rule == nullptr) continue;  // a typo: named by UnknownSettingKeys
      if (auto problem = CheckValue(*rule, body.keys[k], value, line)) problems.push_back(std::move(*problem));
    }
  }
  std::stable_sort(problems.begin(), problems.end(),
                   [](const SettingProblem& a, const SettingProblem& b) { return a.line < b.line; });
  return problems;
}

std::string SettingProblemLine(const std::string& source, const SettingProblem& problem) {
  std::string line = source + ":" + std::to_string(problem.line) + ": key \"" + problem.key + "\": value \"" +
                     problem.value + "\" " + problem.why;
  line += problem.taken.empty() ? "; it is never read" : "; taken as " + problem.taken;
  if (problem.refusesRun) line += "; the run is refused";
  return line;
}

std::string_view WithoutByteOrderMark(std::string_view text) {
  constexpr std::string_view kMark = "\xEF\xBB\xBF";
  if (text.substr(0, kMark.size()) == kMark) text.remove_prefix(kMark.size());
  return text;
}

}  // namespace quillon
