// The trace log: scoped, categorised lines with thread id, tick count and the
// writing operation's name, passed on to DebugPrint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace quillon {

// Categories of the operations that trace.
inline constexpr std::uint32_t kTraceApp = 1;     // application, window and command line
inline constexpr std::uint32_t kTraceDevice = 2;  // device and production flows
inline constexpr std::uint32_t kTraceOtp = 4;     // OTP programming

// Longest prefixed trace line, before the CR LF of DebugPrint.
inline constexpr std::size_t kTraceMaxLine = 511;

inline constexpr const char* kTraceStart = "START --->>>\n";
inline constexpr const char* kTraceExit = "EXIT <<<---\n";
inline constexpr const char* kTraceFailSeparator = "----------------: ";

struct TraceScope {
  const char* name;        // "Class::Operation"
  std::uint32_t scoped;    // 1: entry and exit markers are written
  std::uint32_t category;  // kTraceApp, kTraceDevice or kTraceOtp
};

// Start-up: makes an existing read-only "Log.txt" in `programDir` writable (the
// file is otherwise neither created nor written), sets the category mask to 7
// and the echo flag to 1.
void TraceInit(const std::filesystem::path& programDir);
// Shutdown: later trace calls are dropped.
void TraceShutdown();

void Trace(const TraceScope& scope, const char* format, ...) __attribute__((format(printf, 2, 3)));
void TraceRaw(const TraceScope& scope, const char* format, ...) __attribute__((format(printf, 2, 3)));
void TraceExit(const TraceScope& scope);

// Writes the failure convention: the separator line, then the message line.
void TraceFailure(const TraceScope& scope, const char* message);

// The trace operations as a base of the flow and INI classes.
class CDumpStr {
 protected:
  static constexpr auto Trace = quillon::Trace;
  static constexpr auto TraceRaw = quillon::TraceRaw;
  static constexpr auto TraceExit = quillon::TraceExit;
  static constexpr auto TraceFailure = quillon::TraceFailure;
};

// A scoped operation: writes the entry marker now and the exit marker exactly
// once, on whichever way the operation is left.
class ScopedTrace {
 public:
  ScopedTrace(const char* name, std::uint32_t category);
  ~ScopedTrace();
  ScopedTrace(const ScopedTrace&) = delete;
  ScopedTrace& operator=(const ScopedTrace&) = delete;
  const TraceScope& scope() const { return scope_; }
  operator const TraceScope&() const { return scope_; }

 private:
  TraceScope scope_;
};

}  // namespace quillon
