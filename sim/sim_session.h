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

// A backend on the chips of `stateFile`; `traceFile` (may be empty) receives the
// transfer log. Null with a one-line reason when the state cannot be used.
std::unique_ptr<UsbBackend> OpenSimSession(const std::filesystem::path& stateFile,
                                           const std::filesystem::path& traceFile, std::string& error);

// The backend the application installs at start-up: the simulator when
// QUILLON_SIM names a state file (QUILLON_SIM_TRACE the transfer log), the
// host's USB stack (libusb) otherwise, or an empty bus when that cannot start.
// Null with a reason when the simulator was asked for and cannot start.
std::unique_ptr<UsbBackend> MakeBackendFromEnvironment(std::string& error);

}  // namespace quillon::sim
