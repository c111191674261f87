// Stores this process's debug lines in "DebugLog.txt" while "Debug Log" is on:
// a listener on the debug channel queues every line and a background thread
// writes them, in order, until the stop line "Exit Debug Thread".
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/debug_channel.h"

namespace quillon {

inline constexpr const char* kDebugLogFileName = "DebugLog.txt";
inline constexpr const char* kDebugStopLine = "Exit Debug Thread";

class DebugCapture final : private DebugListener {
 public:
  DebugCapture() = default;
  ~DebugCapture() override;
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Recreates "DebugLog.txt" in `programDir` (empty) and starts the thread;
  // false when the file cannot be created (nothing runs then).
  bool Start(const std::filesystem::path& programDir);
  // Sets the stop flag, writes the stop line through DebugPrint and waits for
  // the thread to store it; returns at once when no thread runs.
  void Stop();
  bool Running() const { return thread_.joinable(); }

 private:
  void OnDebugLine(std::string_view line) override;
  int Run();
  void WriteLine(std::string_view line);

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> lines_;
  bool stopLineQueued_ = false;  // under mutex_: set by Stop once the stop line is queued
  int fd_ = -1;
  std::thread thread_;
};

}  // namespace quillon
