// Writing what a read brought back into the file the operator named.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/trace.h"

namespace quillon {

// Writes `bytes` to `path` (replacing it); true when the whole file was written.
bool SaveBytes(const std::string& path, std::span<const std::uint8_t> bytes);

// Writes `bytes` to `path` (replacing it); 1 when the whole file was written.
// Otherwise posts FAIL 41532 with a line naming the file and the system's
// reason, so a dump that never reached its file is not taken for a failed
// read of the chip; 0.
int SaveDumpFile(const std::string& path, std::span<const std::uint8_t> bytes, const TraceScope& scope);

}  // namespace quillon
