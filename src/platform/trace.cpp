#include "platform/trace.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/files.h"

namespace quillon {
namespace {

struct TraceState {
  std::atomic<std::uint32_t> mask{7};
  std::atomic<std::uint32_t> echo{1};
  std::mutex lock;
  // The one shared line buffer; only touched under `lock`.
  char line[kTraceMaxLine + 1] = {};
};

TraceState& State() {
  static TraceState state;
  return state;
}

bool Passes(const TraceScope& scope) { return (scope.category & State().mask.load()) != 0; }

// Formats into the shared buffer after `used` characters, ends a closing line
// feed with CR LF when there is room, and echoes the line.
void FinishLine(TraceState& state, std::size_t used, const char* format, va_list args) {
  if (used < kTraceMaxLine) {
    std::vsnprintf(state.line + used, kTraceMaxLine + 1 - used, format, args);
  }
  std::size_t length = std::strlen(state.line);
  if (length > 0 && state.line[length - 1] == '\n' && length < kTraceMaxLine) {
    state.line[length - 1] = '\r';
    state.line[length] = '\n';
    state.line[length + 1] = '\0';
  }
  if (state.echo.load()) DebugPrint("%s", state.line);
}

}  // namespace

void TraceInit(const std::filesystem::path& programDir) {
  MakeWritableIfReadOnly(programDir / "Log.txt");
  TraceState& state = State();
  state.echo = 1;
  state.mask = 7;
}

void TraceShutdown() {
  TraceState& state = State();
  std::lock_guard guard(state.lock);
  state.mask = 0;
}

void Trace(const TraceScope& scope, const char* format, ...) {
  if (!Passes(scope)) return;
  std::uint32_t thread = CurrentThreadId();
  auto tick = static_cast<std::int32_t>(TickCount());
  TraceState& state = State();
  std::lock_guard guard(state.lock);
  int prefix = std::snprintf(state.line, sizeof state.line, "(%X-%d):%s:> ", thread, tick, scope.name);
  std::size_t used = prefix < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(prefix), kTraceMaxLine);
  va_list args;
  va_start(args, format);
  FinishLine(state, used, format, args);
  va_end(args);
}

void TraceRaw(const TraceScope& scope, const char* format, ...) {
  if (!Passes(scope)) return;
  TraceState& state = State();
  std::lock_guard guard(state.lock);
  state.line[0] = '\0';
  va_list args;
  va_start(args, format);
  FinishLine(state, 0, format, args);
  va_end(args);
}

void TraceExit(const TraceScope& scope) {
  if (scope.scoped != 0) Trace(scope, "%s", kTraceExit);
}

void TraceFailure(const TraceScope& scope, const char* message) {
  TraceRaw(scope, "%s", kTraceFailSeparator);
  TraceRaw(scope, "%s", message);
}

ScopedTrace::ScopedTrace(const char* name, std::uint32_t category) : scope_{name, 1, category} {
  Trace(scope_, "%s", kTraceStart);
}

ScopedTrace::~ScopedTrace() { TraceExit(scope_); }

}  // namespace quillon
