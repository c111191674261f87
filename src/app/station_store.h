// The fleet's result database, fed from the station history's outbox (the
// run's records are written by CommitRun, run_commit.h).
#pragma once

#include "app/run_record.h"

namespace quillon {

// Sends what the outbox holds when a result database is configured, within a
// short bound; says on stderr how many records still wait and why. A result
// database that is down or slow never fails a run: its records wait.
void SendWaitingRunRecords();

}  // namespace quillon
