// An operation's core as a declared list of steps: each with the trace line
// written when it fails (where there is one), the failure id it stands for,
// and its action. One runner walks every list, so every memory type fails the
// same way: the first failing step is traced and its id handed to the
// operation's wrapper, which posts it once.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

#include "device/link_failure.h"
#include "platform/trace.h"

namespace quillon {

struct FlowStep {
  const char* trace;  // nullptr: the step has no trace line
  std::uint32_t failure;
  std::function<bool()> action;
  bool enabled = true;  // false: an update option leaves the step out
};

// Runs the enabled steps in order; 0 when all passed, else the first failing
// step's id. A transfer failure an earlier step got past is no cause of a
// later step's failure.
inline std::uint32_t RunSteps(const TraceScope& scope, std::initializer_list<FlowStep> steps) {
  for (const FlowStep& step : steps) {
    if (!step.enabled) continue;
    TakeLinkFailure();
    if (step.action()) continue;
    if (step.trace != nullptr) TraceFailure(scope, step.trace);
    return step.failure;
  }
  return 0;
}

}  // namespace quillon
