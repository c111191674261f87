// Units plugged into or pulled from a station while a process holds its
// state file: a request is a small file in "<state file>.requests/", and
// whoever holds the state's lock carries it out (the holding process on its
// event poll, else the requester itself once it gets the lock).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim/chip_config.h"
#include "sim/chip_state.h"

namespace quillon::sim {

class SimBus;

struct PlugRequest {
  enum class Kind { kPlugNew, kPull, kReplug };
  Kind kind = Kind::kPlugNew;
  ChipConfig config;      // kPlugNew: the new chip
  std::size_t chip = 0;   // kPull, kReplug: the chip, counted from 0 in bus order
};

std::filesystem::path RequestDirectory(const std::filesystem::path& stateFile);

// Leaves `request` for the state's holder; the path names it for
// RequestTaken/WithdrawRequest. Empty with a reason when it cannot be written.
std::filesystem::path QueueRequest(const std::filesystem::path& stateFile, const PlugRequest& request,
                                   std::string& error);
// Whether the holder has taken the request.
bool RequestTaken(const std::filesystem::path& request);
// Takes the request back unless the holder took it first; true when withdrawn.
bool WithdrawRequest(const std::filesystem::path& request);

// The requests waiting, in the order they were made, each taken off the queue.
// Only the holder of the state's lock calls this.
std::vector<PlugRequest> TakeRequests(const std::filesystem::path& stateFile);

// Carries a request out on saved chips, or on a running bus (whose listeners
// hear of the arrival or removal). False, with the reason, for a chip that is
// not there or not in the state the request needs.
bool ApplyRequest(std::vector<ChipState>& chips, const PlugRequest& request, std::string& error);
bool ApplyRequest(SimBus& bus, const PlugRequest& request, std::string& error);

}  // namespace quillon::sim
