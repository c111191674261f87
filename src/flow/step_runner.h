// How a step primitive runs its row of the step table: a retried command
// (each attempt after a cancel check, 128 ms apart), and a data step that
// moves its buffer in the row's chunks, posting progress inside its band.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

#include "device/link_failure.h"
#include "device/vxcam.h"
#include "flow/status.h"
#include "flow/step_table.h"
#include "platform/clock.h"
#include "platform/retry.h"

namespace quillon {

// Tries of the read that asks whether the chip has the flow's kind of memory at all.
inline constexpr int kProbeAttempts = 8;

namespace detail {
// `firstAlways`: the first attempt goes even after a cancel, for the
// transfers that put the chip back in order once a run has been cancelled.
template <class Command>
bool Attempts(int attempts, bool firstAlways, Command&& command) {
  const std::optional<LinkFailure> before = PendingLinkFailure();
  bool first = firstAlways;
  const auto stopped = [&] { return !std::exchange(first, false) && FlowCancelled(); };
  const bool done = TryAttempts(attempts, stopped, [&] { return command() != 0; });
  if (done) RestoreLinkFailure(before);
  return done;
}
}  // namespace detail

// Up to `attempts` tries of `command` (non-zero: done), each after a cancel check.
// A transfer failure that a later attempt made good is forgotten.
template <class Command>
bool Retried(int attempts, Command&& command) {
  return detail::Attempts(attempts, false, std::forward<Command>(command));
}

// A transfer around the data steps, tried as often as its row of the link
// table says; a cancel stops its retries, never its first attempt.
template <class Command>
bool RetriedLink(LinkStep step, Command&& command) {
  return detail::Attempts(LinkStepOf(step).attempts, true, std::forward<Command>(command));
}

// A one-command row of the step table that completes a command already sent
// (a report read after a write): a cancel stops its retries, never its first attempt.
template <class Command>
bool RetriedStep(const StepRow& row, Command&& command) {
  return detail::Attempts(row.attempts, true, std::forward<Command>(command));
}

// The register and status-block accesses of the flows outside their data steps, retried.
inline bool ReadRegister(DeviceHandle h, std::uint32_t address, std::span<std::uint8_t> out, std::uint32_t flags) {
  return RetriedLink(LinkStep::kRegisterRead, [&] { return VxCam_ReadMem(h, address, out, flags); });
}
inline bool WriteRegister(DeviceHandle h, std::uint32_t address, std::span<const std::uint8_t> value,
                          std::uint32_t flags) {
  return RetriedLink(LinkStep::kRegisterWrite, [&] { return VxCam_WriteMem(h, address, value, flags); });
}
inline bool ReadDevStatus(DeviceHandle h, std::span<std::uint8_t> out, std::uint32_t flags) {
  return RetriedLink(LinkStep::kStatusRead, [&] { return VxCam_GetDevStatus(h, out, flags); });
}

inline void PostStepId(const StepRow& row) {
  if (row.stepId != kNoStepId) PostFlowMessage(WM_FLOW_STEP, row.stepId);
}

// The row's step id, then `command(address, chunk)` over the buffer in the
// row's chunks, whose memory address is their offset; 1 when every chunk went.
template <class Buffer, class Command>
int RunChunked(const StepRow& row, Buffer buffer, Command&& command) {
  PostStepId(row);
  const auto total = static_cast<std::uint32_t>(buffer.size());
  for (std::uint32_t done = 0; done < total;) {
    const std::uint32_t length = std::min(row.chunk, total - done);
    auto piece = buffer.subspan(done, length);
    if (!Retried(row.attempts, [&] { return command(done, piece); })) return 0;
    done += length;
    PostFlowMessage(WM_FLOW_PROGRESS, StepProgress(row, done, total));
  }
  return 1;
}

}  // namespace quillon
