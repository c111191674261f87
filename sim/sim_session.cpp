#include "sim/sim_session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/debug_channel.h"
#include "proxy/host_backend.h"
#include "proxy/libusb_backend.h"
#include "sim/journal.h"
#include "sim/plug_requests.h"
#include "sim/sim_bus.h"
#include "sim/state_file.h"

namespace quillon::sim {
namespace {

// Puts `chip` in place of the chip at its location in the saved state.
bool MergeChip(const std::filesystem::path& file, const ChipState& chip, std::string& error) {
  StateFileLock lock(file);
  if (!lock.held()) {
    error = "simulator state " + file.string() + " is in use";
    return false;
  }
  std::vector<ChipState> chips;
  if (!LoadStateFile(file, chips, error)) return false;
  auto same = std::find_if(chips.begin(), chips.end(), [&](const ChipState& c) { return c.location == chip.location; });
  if (same == chips.end()) {
    error = "chip " + chip.location + " is no longer in " + file.string();
    return false;
  }
  *same = chip;
  return SaveStateFile(file, chips, error);
}

// Saves the session's chips: the whole file, or the one chip merged into it.
bool SaveScope(const std::filesystem::path& file, SimScope scope, const std::vector<ChipState>& chips,
               std::string& error) {
  return scope == SimScope::kOneChip ? chips.size() == 1 && MergeChip(file, chips.front(), error)
                                     : SaveStateFile(file, chips, error);
}

void RemoveJournals(const std::filesystem::path& file, const std::vector<ChipState>& chips) {
  std::error_code ignored;
  for (const ChipState& chip : chips) std::filesystem::remove(JournalPath(file, chip.location), ignored);
}

class SimSession final : public UsbBackend {
 public:
  SimSession(std::unique_ptr<StateFileLock> lock, std::filesystem::path file, std::vector<ChipState> chips,
             SimScope scope)
      : lock_(std::move(lock)), file_(std::move(file)), scope_(scope), bus_(std::move(chips)) {
    if (scope_ == SimScope::kReadOnly) return;
    // Every change is journalled as it happens, so that a killed process
    // leaves the chip as it was at the kill.
    bus_.SetChangeListener([this](const ChipState& chip, const ChipFields& fields,
                                  std::span<const std::uint32_t> rows) {
      auto [at, added] = journals_.try_emplace(chip.location);
      Journal& journal = at->second;
      if (added) {
        journal.sequence = chip.journalSequence;
        journal.writer = std::make_unique<JournalWriter>(JournalPath(file_, chip.location));
      }
      journal.writer->Append(JournalRecord(++journal.sequence, fields, chip.memory, rows));
    });
  }

  ~SimSession() override {
    if (scope_ == SimScope::kReadOnly) return;
    std::string error;
    std::vector<ChipState> chips = bus_.EndRun();
    for (ChipState& chip : chips) {
      if (auto it = journals_.find(chip.location); it != journals_.end()) chip.journalSequence = it->second.sequence;
    }
    journals_.clear();
    if (SaveScope(file_, scope_, chips, error)) {
      RemoveJournals(file_, chips);
    } else {
      DebugPrint("Simulator state not saved: %s\n", error.c_str());
    }
  }

  SimBus& bus() { return bus_; }

  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override { return bus_.ListDevices(out); }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return bus_.Open(instance, out); }
  void Close(UsbHandle handle) override { bus_.Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    return bus_.ControlTransfer(handle, setup, data, timeoutMs);
  }
  void SetEventListener(UsbEventListener* listener) override { bus_.SetEventListener(listener); }
  std::size_t HandleEvents() override {
    // Units plugged or pulled meanwhile (quillon-sim plug, pull) arrive or
    // leave here, on the caller's event poll, as a hotplug event would.
    if (scope_ == SimScope::kWholeBus) {
      for (const PlugRequest& request : TakeRequests(file_)) {
        std::string error;
        if (!ApplyRequest(bus_, request, error)) DebugPrint("Simulator request ignored: %s\n", error.c_str());
      }
    }
    return bus_.HandleEvents();
  }

 private:
  // The whole file (kWholeBus) or the one chip (kOneChip) for the whole run.
  std::unique_ptr<StateFileLock> lock_;
  std::filesystem::path file_;
  SimScope scope_;
  SimBus bus_;
  struct Journal {
    std::uint32_t sequence = 0;
    std::unique_ptr<JournalWriter> writer;
  };
  std::map<std::string, Journal> journals_;  // by location
};

// Folds what a killed run journalled into the saved state, so that this run's
// journal starts empty.
bool FoldJournals(const std::filesystem::path& file, SimScope scope, const std::vector<ChipState>& chips,
                  std::string& error) {
  std::error_code ignored;
  const bool any = std::any_of(chips.begin(), chips.end(), [&](const ChipState& chip) {
    return std::filesystem::exists(JournalPath(file, chip.location), ignored);
  });
  if (!any) return true;
  if (!SaveScope(file, scope, chips, error)) return false;
  RemoveJournals(file, chips);
  return true;
}

// The chips the session works on, loaded under the file's lock.
bool LoadForScope(const std::filesystem::path& stateFile, const SimSessionOptions& options,
                  std::vector<ChipState>& chips, std::string& error) {
  StateFileLock fileLock(stateFile);
  if (!fileLock.held()) {
    error = "simulator state " + stateFile.string() + " is in use";
    return false;
  }
  if (!LoadStateFile(stateFile, chips, error)) return false;
  if (options.scope == SimScope::kReadOnly) {
    for (ChipState& chip : chips) {
      chip.faults.SpendRunFaults();
    }
  } else if (options.scope == SimScope::kOneChip) {
    std::erase_if(chips, [&](const ChipState& c) { return c.location != options.location; });
    if (chips.empty()) {
      error = "no simulated chip at " + options.location + " in " + stateFile.string();
      return false;
    }
  }
  return true;
}

}  // namespace

std::unique_ptr<UsbBackend> OpenSimSession(const std::filesystem::path& stateFile,
                                           const std::filesystem::path& traceFile, std::string& error,
                                           const SimSessionOptions& options) {
  std::unique_ptr<StateFileLock> lock;
  std::vector<ChipState> chips;
  if (options.scope == SimScope::kWholeBus) {
    lock = std::make_unique<StateFileLock>(stateFile);
    if (!lock->held()) {
      error = "simulator state " + stateFile.string() + " is in use";
      return nullptr;
    }
    if (!LoadStateFile(stateFile, chips, error)) return nullptr;
    // Requests left while nobody held the state, kept at once.
    bool changed = false;
    for (const PlugRequest& request : TakeRequests(stateFile)) {
      std::string why;
      if (ApplyRequest(chips, request, why)) {
        changed = true;
      } else {
        DebugPrint("Simulator request ignored: %s\n", why.c_str());
      }
    }
    if (changed && !SaveStateFile(stateFile, chips, error)) return nullptr;
  } else {
    if (options.scope == SimScope::kOneChip) {
      lock = std::make_unique<StateFileLock>(stateFile.string() + ".chip-" + options.location, 0);
      if (!lock->held()) {
        error = "simulated chip " + options.location + " of " + stateFile.string() + " is in use";
        return nullptr;
      }
    }
    if (!LoadForScope(stateFile, options, chips, error)) return nullptr;
  }
  if (options.scope != SimScope::kReadOnly && !FoldJournals(stateFile, options.scope, chips, error)) return nullptr;
  // Checked before the session exists: a session that ends saves its run.
  if (!traceFile.empty()) {
    std::FILE* probe = std::fopen(traceFile.c_str(), "a");
    if (probe == nullptr) {
      error = "cannot open transfer log " + traceFile.string();
      return nullptr;
    }
    std::fclose(probe);
  }
  auto session = std::make_unique<SimSession>(std::move(lock), stateFile, std::move(chips), options.scope);
  if (!traceFile.empty()) session->bus().OpenTransferLog(traceFile);
  return session;
}

std::unique_ptr<UsbBackend> MakeBackendFromEnvironment(std::string& error, const SimSessionOptions& options) {
  const char* state = std::getenv(kSimStateVariable);
  if (state == nullptr || *state == '\0') {
    std::string why;
    if (auto host = MakeLibusbBackend(why)) return host;
    // No USB stack here: an empty bus, so that the tool still runs and says so.
    DebugPrint("USB backend not available: %s\n", why.c_str());
    return MakeHostBackend();
  }
  const char* trace = std::getenv(kSimTraceVariable);
  return OpenSimSession(state, trace != nullptr ? trace : "", error, options);
}

}  // namespace quillon::sim
