// The station's own database copies of a run record: the station history,
// then the fleet's result database when one is configured.
#pragma once

#include "app/run_record.h"

namespace quillon {

// Stores the record in the station history (and its outbox when a result
// database is configured), then sends what the outbox holds within a short
// bound. False only when the history did not take the record: a result
// database that is down or slow never fails a run, its records wait.
bool KeepRunAtStation(const RunRecord& record);

// Sends what the outbox holds when a result database is configured, within
// the same short bound; says on stderr how many records still wait and why.
void SendWaitingRunRecords();

}  // namespace quillon
