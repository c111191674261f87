// Small pieces every memory type's flow uses: asking whether the command
// line drives the run, allocating a buffer without throwing, telling a chip
// that refuses a memory's commands from a link that fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "device/chip_registers.h"
#include "device/link_failure.h"
#include "device/vxcam.h"
#include "flow/front_end.h"
#include "platform/trace.h"

namespace quillon {

inline bool CommandLine() { return TheFrontEnd().CommandLineMode(); }

// `length` zero bytes in `buffer`; false (buffer empty) when memory runs out.
inline bool Allocate(std::vector<std::uint8_t>& buffer, std::size_t length) {
  try {
    buffer.assign(length, 0);
  } catch (const std::bad_alloc&) {
    buffer.clear();
    return false;
  }
  return true;
}

// After a probe refused at every attempt: the refusal is the chip's answer (it
// has no such memory) only when the chip still answers a register read and
// `probe`, asked once more with the link back, refuses again; else the link
// failed and stays the pending cause. True when that last ask answered.
template <class Probe>
bool ProbeOnceMoreIfChipAnswers(DeviceHandle handle, std::uint32_t flags, Probe&& probe) {
  std::array<std::uint8_t, 1> family{};
  if (VxCam_ReadMem(handle, kChipModeRegister, family, flags) == 0) return false;
  const bool answered = probe();
  TakeLinkFailure();
  return answered;
}

}  // namespace quillon
