// Start-up and shutdown of the USB library: the process's use of the
// backend, the use flag shared by all running instances, and the command lock.
#pragma once

#include <filesystem>

namespace quillon {

// Starts the library on the installed backend (TheUsbBackend()); true when
// devices can be reached. A second call while started returns true at once.
bool LibraryStartup();
// Stops it; the last instance of the tool to stop is told so in the log.
bool LibraryShutdown();
bool LibraryStarted();

// Where the use flag lives (tests point it elsewhere before start-up).
void SetUseFlagPath(std::filesystem::path path);

}  // namespace quillon
