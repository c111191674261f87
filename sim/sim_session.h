// The simulator as the backend of a whole process: chips loaded from a state
// file at start, saved back when the backend is destroyed, the file locked
// against other processes in between.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "proxy/usb_backend.h"

namespace quillon::sim {

inline constexpr const char* kSimStateVariable = "QUILLON_SIM";
inline constexpr const char* kSimTraceVariable = "QUILLON_SIM_TRACE";

// How much of the state file a process works on.
//   kWholeBus: every chip; the file is locked from load to save.
//   kReadOnly: every chip, to look at: loaded under the lock, never saved,
//              without the faults armed for a run (they belong to the run that
//              writes the chip).
//   kOneChip:  the chip at `location` only; that chip is locked for the run,
//              the file only while loading and while merging the chip back, so
//              that processes on different chips of one bus run side by side.
enum class SimScope { kWholeBus, kReadOnly, kOneChip };

struct SimSessionOptions {
  SimScope scope = SimScope::kWholeBus;
  std::string location;  // for kOneChip
};

// A backend on the chips of `stateFile`; `traceFile` (may be empty) receives the
// transfer log. Null with a one-line reason when the state cannot be used.
std::unique_ptr<UsbBackend> OpenSimSession(const std::filesystem::path& stateFile,
                                           const std::filesystem::path& traceFile, std::string& error,
                                           const SimSessionOptions& options = {});

// The backend the application installs at start-up: the simulator when
// QUILLON_SIM names a state file (QUILLON_SIM_TRACE the transfer log), the
// host's USB stack (libusb) otherwise, or an empty bus when that cannot start.
// Null with a reason when the simulator was asked for and cannot start.
std::unique_ptr<UsbBackend> MakeBackendFromEnvironment(std::string& error, const SimSessionOptions& options = {});

}  // namespace quillon::sim
