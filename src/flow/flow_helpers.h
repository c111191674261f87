// Small pieces every memory type's flow uses: recording a failing step,
// asking whether the command line drives the run, allocating a buffer without
// throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "flow/front_end.h"
#include "platform/trace.h"

namespace quillon {

// Records a failing core step: its trace line under `scope` and its id for the wrapper; 0.
inline int RecordStepFailure(const TraceScope& scope, std::uint32_t& failure, const char* line, std::uint32_t id) {
  TraceFailure(scope, line);
  failure = id;
  return 0;
}

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

}  // namespace quillon
