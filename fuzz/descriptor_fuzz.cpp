// Feeds arbitrary configuration descriptors to the extension-unit searches:
// they must answer a unit id or -1 and never read outside the bytes given.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "proxy/xu_search.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the interface number; the rest is the descriptor set,
  // copied so that the sanitizer sees its exact end.
  int interfaceNumber = data[0] % 4;
  std::vector<std::uint8_t> config(data + 1, data + size);
  std::uint32_t irCamera = 0;
  int unit = quillon::FindUvcExtensionUnit(config, interfaceNumber, irCamera);
  if (unit < -1 || unit > 255) __builtin_trap();
  unit = quillon::FindAudioExtensionUnit(config);
  if (unit < -1 || unit > 255) __builtin_trap();
  return 0;
}
