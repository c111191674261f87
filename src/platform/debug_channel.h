// The process's debug line channel: every diagnostic line of every layer goes
// through DebugPrint, and listeners (the debug-log capture, tests) receive the
// finished lines in order. With QUILLON_DEBUG=1 each line is also echoed to stderr.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon {

// Longest text DebugPrint hands on, before its CR LF.
inline constexpr std::size_t kDebugPrintMaxChars = 4093;

// printf-style: formats at most 4093 characters, strips trailing white space,
// appends CR LF and hands the line to the channel.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

class DebugListener {
 public:
  virtual ~DebugListener() = default;
  // Receives one finished line, CR LF included. Called on the writer's thread;
  // must not call DebugPrint.
  virtual void OnDebugLine(std::string_view line) = 0;
};

void AddDebugListener(DebugListener* listener);
void RemoveDebugListener(DebugListener* listener);

}  // namespace quillon
