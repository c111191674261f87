// The fleet store: run records of every station sent to one PostgreSQL
// database (table quillon_runs). A record goes to the station history's
// outbox first and leaves it only once the server has it, so a server that is
// down or slow costs a run a bounded wait and loses nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace quillon {

inline constexpr const char* kResultDbEnv = "QUILLON_RESULT_DB";

// The connection string: $QUILLON_RESULT_DB when set and not empty, else the
// setting "ResultDatabase"; empty when neither names a database.
std::string ResultDatabase();

struct FleetSendLimits {
  std::chrono::milliseconds step{2000};   // connecting, and each statement
  std::chrono::milliseconds total{4000};  // the whole send; 0: no limit beyond the steps
};

struct FleetSend {
  std::size_t sent = 0;     // records the server took (or already had) and left the outbox
  std::size_t waiting = 0;  // records still in the outbox
  std::string problem;      // why the rest waits; empty when nothing failed
};

// Sends the outbox's records in the order they were stored, each at most
// once into the table (the run id is its key), and takes each out of the
// outbox when the server has it. Stops at the first failure or when the
// limits run out. A send already under way in another process of this
// station is left to finish: this one sends nothing.
FleetSend SendWaitingRecords(const std::filesystem::path& history, const std::string& connection,
                             const FleetSendLimits& limits);

}  // namespace quillon
