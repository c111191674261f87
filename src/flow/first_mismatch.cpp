#include "flow/first_mismatch.h"

#include <algorithm>
#include <cstdio>

#include "platform/debug_channel.h"

namespace quillon {

std::optional<Mismatch> FirstMismatch(std::span<const std::uint8_t> expected, std::span<const std::uint8_t> found) {
  const std::size_t overlap = std::min(expected.size(), found.size());
  std::optional<Mismatch> first;
  std::size_t count = expected.size() - overlap;
  for (std::size_t i = 0; i < overlap; ++i) {
    if (expected[i] == found[i]) continue;
    ++count;
    if (!first) first = Mismatch{i, expected[i], found[i], 0};
  }
  if (!first && count != 0) first = Mismatch{overlap, expected[overlap], std::nullopt, 0};
  if (first) first->count = count;
  return first;
}

std::string MismatchText(const Mismatch& mismatch) {
  char found[16] = "nothing";
  if (mismatch.found) std::snprintf(found, sizeof found, "0x%02X", unsigned{*mismatch.found});
  char text[128];
  std::snprintf(text, sizeof text, "offset 0x%zX: expected 0x%02X, found %s (%zu byte%s differ%s)", mismatch.offset,
                unsigned{mismatch.expected}, found, mismatch.count, mismatch.count == 1 ? "" : "s",
                mismatch.count == 1 ? "s" : "");
  return text;
}

bool SameOrReported(std::span<const std::uint8_t> expected, std::span<const std::uint8_t> found) {
  const std::optional<Mismatch> mismatch = FirstMismatch(expected, found);
  if (!mismatch) return true;
  const std::string text = "compare failed at " + MismatchText(*mismatch);
  std::fprintf(stderr, "quillon: %s\n", text.c_str());
  DebugPrint("%s\n", text.c_str());
  return false;
}

}  // namespace quillon
