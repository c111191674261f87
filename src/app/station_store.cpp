#include "app/station_store.h"

#include <cstdio>

#include "app/fleet_store.h"
#include "app/run_history.h"

namespace quillon {

bool KeepRunAtStation(const RunRecord& record) {
  const std::filesystem::path history = HistoryPath();
  if (std::string problem = StoreRunInHistory(history, record, !ResultDatabase().empty()); !problem.empty()) {
    std::fprintf(stderr, "quillon: cannot store the run in the station history %s: %s\n", history.c_str(),
                 problem.c_str());
    return false;
  }
  SendWaitingRunRecords();
  return true;
}

void SendWaitingRunRecords() {
  const std::string database = ResultDatabase();
  if (database.empty()) return;
  const FleetSend send = SendWaitingRecords(HistoryPath(), database, FleetSendLimits{});
  if (!send.problem.empty()) {
    std::fprintf(stderr,
                 "quillon: the result database did not take the run records (%s); %zu wait in the station history "
                 "for the next run or quillon --flush-results\n",
                 send.problem.c_str(), send.waiting);
  }
}

}  // namespace quillon
