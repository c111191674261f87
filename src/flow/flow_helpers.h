// Small pieces every memory type's flow uses: asking whether the command
// line drives the run, allocating a buffer without throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

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

}  // namespace quillon
