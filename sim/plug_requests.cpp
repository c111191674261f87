#include "sim/plug_requests.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

#include "platform/debug_channel.h"
#include "platform/files.h"
#include "sim/chip.h"
#include "sim/sim_bus.h"
#include "sim/state_file.h"

namespace quillon::sim {
namespace {

constexpr const char* kTakenSuffix = ".taken";

// "<kind> <chip>" on the first line; a new chip's state follows it.
std::string RequestText(const PlugRequest& request) {
  switch (request.kind) {
    case PlugRequest::Kind::kPlugNew:
      return "plug 0\n" + SerializeStates({ChipState(request.config, NextChipLocation(0))});
    case PlugRequest::Kind::kPull:
      return "pull " + std::to_string(request.chip) + "\n";
    case PlugRequest::Kind::kReplug:
      return "replug " + std::to_string(request.chip) + "\n";
  }
  return {};
}

std::optional<PlugRequest> ParseRequest(const std::string& text, std::string& error) {
  const std::size_t end = text.find('\n');
  std::istringstream head(text.substr(0, end));
  std::string kind;
  std::size_t chip = 0;
  if (!(head >> kind >> chip)) {
    error = "unreadable request";
    return std::nullopt;
  }
  PlugRequest request;
  request.chip = chip;
  if (kind == "pull") {
    request.kind = PlugRequest::Kind::kPull;
  } else if (kind == "replug") {
    request.kind = PlugRequest::Kind::kReplug;
  } else if (kind == "plug" && end != std::string::npos) {
    std::vector<ChipState> chips;
    if (!ParseStates(std::string_view(text).substr(end + 1), chips, error)) return std::nullopt;
    if (chips.size() != 1) {
      error = "a plug request names one chip";
      return std::nullopt;
    }
    request.kind = PlugRequest::Kind::kPlugNew;
    request.config = chips.front().config;
  } else {
    error = "unknown request " + kind;
    return std::nullopt;
  }
  return request;
}

// Names sort in the order the requests were made.
std::string RequestName() {
  static std::atomic<unsigned> counter{0};
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  char name[64];
  std::snprintf(name, sizeof name, "%020lld-%08d-%06u",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                static_cast<int>(::getpid()), counter++);
  return name;
}

std::string ChipName(std::size_t chip) { return "chip " + std::to_string(chip); }

}  // namespace

std::filesystem::path RequestDirectory(const std::filesystem::path& stateFile) {
  return stateFile.string() + ".requests";
}

std::filesystem::path QueueRequest(const std::filesystem::path& stateFile, const PlugRequest& request,
                                   std::string& error) {
  const std::filesystem::path directory = RequestDirectory(stateFile);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  const std::string name = RequestName();
  // Written aside and renamed into place, so that a holder never reads half a request.
  const std::filesystem::path writing = directory / ("." + name);
  const std::filesystem::path placed = directory / name;
  const std::string text = RequestText(request);
  {
    std::ofstream out(writing, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      error = "cannot write a request in " + directory.string();
      std::filesystem::remove(writing, ec);
      return {};
    }
  }
  std::filesystem::rename(writing, placed, ec);
  if (ec) {
    error = "cannot place a request in " + directory.string();
    std::filesystem::remove(writing, ec);
    return {};
  }
  return placed;
}

bool RequestTaken(const std::filesystem::path& request) {
  std::error_code ec;
  return !std::filesystem::exists(request, ec);
}

bool WithdrawRequest(const std::filesystem::path& request) {
  // The rename decides between the requester and the holder: only one of them gets it.
  const std::filesystem::path withdrawn = request.parent_path() / ("." + request.filename().string() + ".withdrawn");
  std::error_code ec;
  std::filesystem::rename(request, withdrawn, ec);
  if (ec) return false;
  std::filesystem::remove(withdrawn, ec);
  return true;
}

std::vector<PlugRequest> TakeRequests(const std::filesystem::path& stateFile) {
  std::vector<PlugRequest> requests;
  const std::filesystem::path directory = RequestDirectory(stateFile);
  std::error_code ec;
  if (!std::filesystem::is_directory(directory, ec)) return requests;
  std::vector<std::filesystem::path> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name.front() != '.') names.push_back(entry.path());
  }
  std::sort(names.begin(), names.end());
  for (const std::filesystem::path& name : names) {
    const std::filesystem::path taken = name.parent_path() / ("." + name.filename().string() + kTakenSuffix);
    std::filesystem::rename(name, taken, ec);
    if (ec) continue;  // withdrawn meanwhile
    const auto bytes = ReadWholeFile(taken);
    std::filesystem::remove(taken, ec);
    std::string error = "unreadable request";
    std::optional<PlugRequest> request;
    if (bytes) request = ParseRequest(std::string(bytes->begin(), bytes->end()), error);
    if (!request) {
      DebugPrint("Simulator request %s ignored: %s\n", name.filename().c_str(), error.c_str());
      continue;
    }
    requests.push_back(*request);
  }
  return requests;
}

bool ApplyRequest(std::vector<ChipState>& chips, const PlugRequest& request, std::string& error) {
  if (request.kind == PlugRequest::Kind::kPlugNew) {
    // Plugged in, it powers up: the loader starts by its rule.
    SimChip chip(ChipState(request.config, NextChipLocation(chips.size())));
    chip.PowerUp();
    chips.push_back(chip.state());
    return true;
  }
  if (request.chip >= chips.size()) {
    error = "no " + ChipName(request.chip) + " in the state";
    return false;
  }
  ChipState& chip = chips[request.chip];
  if (request.kind == PlugRequest::Kind::kReplug) {
    if (!chip.pulled) {
      error = ChipName(request.chip) + " is plugged in";
      return false;
    }
    chip.pulled = false;
    chip.powerLost = true;  // powers up when the state is next run
    return true;
  }
  chip.pulled = true;
  return true;
}

bool ApplyRequest(SimBus& bus, const PlugRequest& request, std::string& error) {
  switch (request.kind) {
    case PlugRequest::Kind::kPlugNew:
      bus.PlugChip(request.config);
      return true;
    case PlugRequest::Kind::kPull:
      if (bus.PullChip(request.chip)) return true;
      error = "no " + ChipName(request.chip) + " on the bus";
      return false;
    case PlugRequest::Kind::kReplug:
      if (bus.ReplugChip(request.chip)) return true;
      error = ChipName(request.chip) + " is not a pulled chip";
      return false;
  }
  return false;
}

}  // namespace quillon::sim
