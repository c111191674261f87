#include "app/station_store.h"

#include <cstdio>

#include "app/fleet_store.h"
#include "app/run_history.h"

namespace quillon {

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
