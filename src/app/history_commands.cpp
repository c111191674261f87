#include "app/history_commands.h"

#include <cstdio>

#include "app/fleet_store.h"
#include "app/history_report.h"
#include "app/run_commit.h"
#include "app/run_history.h"
#include "data/setting_rules.h"
#include "data/settings.h"
#include "platform/files.h"

namespace quillon {
namespace {

struct HistoryOptions {
  bool json = false;
  HistoryFilter filter;
  std::string problem;  // a command line that does not parse
};

// The listing also takes --json, --serial and --location; the report only --since.
HistoryOptions ParseOptions(const std::vector<std::string>& args, bool listing) {
  HistoryOptions options;
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (listing && option == "--json") {
      options.json = true;
      continue;
    }
    const bool takesValue = option == "--since" || (listing && (option == "--serial" || option == "--location"));
    if (!takesValue) {
      options.problem = "unknown option " + option + " for " + args[1];
      return options;
    }
    if (i + 1 >= args.size()) {
      options.problem = option + " needs a value";
      return options;
    }
    const std::string& value = args[++i];
    if (option == "--serial") {
      options.filter.serial = value;
    } else if (option == "--location") {
      options.filter.location = value;
    } else if (auto since = ParseTimeArgument(value)) {
      options.filter.since = since;
    } else {
      options.problem = "--since takes a time such as 2026-04-14 or 2026-04-14T06:00, not \"" + value + "\"";
      return options;
    }
  }
  return options;
}

// The station's shift starts; a bad setting was named when the settings were
// read and the report takes the default, as that line said.
std::vector<int> ShiftStarts() {
  const std::string text = GetSettingString(kDefaultShiftStarts, kConfigSection, key::kShiftStarts);
  if (auto starts = ParseTimesOfDay(text)) return *starts;
  return *ParseTimesOfDay(kDefaultShiftStarts);
}

int ReadAndPrint(const HistoryOptions& options, bool report) {
  // The report groups by the station's shifts.
  if (report && LoadSettings(ProgramDir().string()) == SettingsLoad::kFileUnusable) return 1;
  const std::filesystem::path db = HistoryPath();
  if (!PendingRuns(db).records.empty()) {
    // A run killed before its records were complete is settled before it is
    // shown (when no run is under way and this account may write the history).
    LoadSettings(ProgramDir().string(), false);
    StationRun station;
    SettleInterruptedRuns(station);
  }
  const HistoryRead read = ReadHistory(db, options.filter);
  if (!read.problem.empty()) {
    std::fprintf(stderr, "quillon: cannot read the station history %s: %s\n", db.c_str(), read.problem.c_str());
    return 1;
  }
  const std::string text = report         ? HistoryReportText(BuildHistoryReport(read.records, ShiftStarts()))
                           : options.json ? HistoryListingJson(read.records)
                                          : HistoryListingText(read.records);
  std::fputs(text.c_str(), stdout);
  return 0;
}

int FlushResults() {
  // The setting may name the database; its unknown keys were named by the runs.
  if (LoadSettings(ProgramDir().string(), false) == SettingsLoad::kFileUnusable) return 1;
  const std::string database = ResultDatabase();
  if (database.empty()) {
    std::fprintf(stderr, "quillon: no result database is configured (setting \"%s\" or %s)\n",
                 key::kResultDatabase, kResultDbEnv);
    return 1;
  }
  // Nobody waits on a flush: each statement gets longer, the whole send no limit.
  const FleetSend send = SendWaitingRecords(HistoryPath(), database, {std::chrono::seconds(10), {}});
  std::printf("quillon: %zu run records sent, %zu wait\n", send.sent, send.waiting);
  if (!send.problem.empty()) std::fprintf(stderr, "quillon: the result database did not take them: %s\n", send.problem.c_str());
  return send.waiting == 0 ? 0 : 1;
}

}  // namespace

std::optional<int> RunHistoryCommand(const std::vector<std::string>& args) {
  if (args.size() < 2) return std::nullopt;
  const std::string& command = args[1];
  if (command == "--flush-results") {
    if (args.size() != 2) {
      std::fprintf(stderr, "quillon: --flush-results takes no options; see quillon --help\n");
      return 1;
    }
    return FlushResults();
  }
  if (command != "--history" && command != "--report") return std::nullopt;
  const bool report = command == "--report";
  const HistoryOptions options = ParseOptions(args, !report);
  if (!options.problem.empty()) {
    std::fprintf(stderr, "quillon: %s; see quillon --help\n", options.problem.c_str());
    return 1;
  }
  return ReadAndPrint(options, report);
}

}  // namespace quillon
