// Feeds arbitrary text to the simulator's state-file reader. Whatever it
// accepts must write back to a text that it reads again to the same text, so
// that a state survives any number of runs unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon::sim;
  // Memory sizes up to the reader's limit are legal but slow to fuzz; the
  // reader's own checks are what matters here.
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<ChipState> chips;
  std::string error;
  if (!ParseStates(text, chips, error)) {
    if (error.empty() || error.find('\n') != std::string::npos) __builtin_trap();
    return 0;
  }
  const std::string written = SerializeStates(chips);
  std::vector<ChipState> again;
  if (!ParseStates(written, again, error)) __builtin_trap();
  if (SerializeStates(again) != written) __builtin_trap();
  return 0;
}
