#include "sim/bus_time.h"

#include <algorithm>
#include <map>
#include <string>

#include "sim/chip_state.h"

namespace quillon::sim {

std::uint64_t SharedBusTimeUs(std::span<const RunStats> chips) {
  std::uint64_t longestLatencyUs = 0, occupancyNs = 0;
  for (const RunStats& chip : chips) {
    longestLatencyUs = std::max(longestLatencyUs, chip.latencyUs);
    occupancyNs += chip.occupancyNs;
  }
  return longestLatencyUs + NsToUs(occupancyNs);
}

std::uint64_t SlowestBusTimeUs(const std::vector<ChipState>& chips) {
  std::map<std::string, std::vector<RunStats>> perBus;
  for (const ChipState& chip : chips) perBus[chip.location.substr(0, chip.location.find('-'))].push_back(chip.lastRun);
  std::uint64_t slowest = 0;
  for (const auto& [bus, runs] : perBus) slowest = std::max(slowest, SharedBusTimeUs(runs));
  return slowest;
}

}  // namespace quillon::sim
