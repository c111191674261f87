#include "data/flow_set_bytes.h"

#include <algorithm>
#include <cstdio>

namespace quillon {
namespace {

constexpr std::size_t kSimulatedOtpLength = 0x4000;
constexpr std::size_t kEepromTagOffset = 1;
constexpr std::uint8_t kEepromTag = 0xA5;

std::string HexList(std::span<const std::uint8_t> bytes) {
  std::string text;
  char one[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(one, sizeof one, "%02X", b);
    if (!text.empty()) text += ' ';
    text += one;
  }
  return text;
}

}  // namespace

std::vector<FlowSetPlace> BytesTheFlowSets(const FlowWriteFacts& facts) {
  std::vector<FlowSetPlace> places;
  switch (facts.memory) {
    case MemoryType::SpiFlash: {
      if (facts.romFlag && facts.length == kSimulatedOtpLength) break;
      const bool tagInside = std::size_t{facts.tagAddress} + 2 <= facts.length;
      // The tag word goes to the chip erased and is only put back when the
      // write tags: never for these families, never for an area at offset 0.
      if (tagInside && (facts.romFlag || facts.areaAtZero)) {
        places.push_back({facts.tagAddress, {0xFF, 0xFF}, "tag word"});
      }
      break;
    }
    case MemoryType::Eeprom8:
    case MemoryType::Eeprom16:
      if (facts.length > kEepromTagOffset) places.push_back({kEepromTagOffset, {kEepromTag}, "EEPROM tag byte"});
      break;
    default:
      break;
  }
  return places;
}

std::optional<std::string> TagWordProblem(std::span<const std::uint8_t> image, const FlowWriteFacts& facts) {
  const bool tagInside = std::size_t{facts.tagAddress} + 2 <= std::min(facts.length, image.size());
  const bool writesTag = facts.memory == MemoryType::SpiFlash && !facts.romFlag && !facts.areaAtZero && tagInside;
  if (!writesTag) return std::nullopt;
  const auto word = image.subspan(facts.tagAddress, 2);
  if ((word[0] == 0x55 && word[1] == 0xAA) || (word[0] == 0xFF && word[1] == 0xFF)) return std::nullopt;
  char line[160];
  std::snprintf(line, sizeof line, "image holds %s at 0x%X (the tag word), which is neither the tag 55 AA nor blank",
                HexList(word).c_str(), facts.tagAddress);
  return std::string(line);
}

void PutFlowSetBytes(std::span<std::uint8_t> image, std::span<const FlowSetPlace> places) {
  for (const FlowSetPlace& place : places) {
    if (place.offset > image.size() || image.size() - place.offset < place.writes.size()) continue;
    std::copy(place.writes.begin(), place.writes.end(), image.begin() + static_cast<std::ptrdiff_t>(place.offset));
  }
}

std::optional<std::string> FlowSetConflict(std::span<const std::uint8_t> image,
                                           std::span<const FlowSetPlace> places) {
  for (const FlowSetPlace& place : places) {
    if (place.offset > image.size() || image.size() - place.offset < place.writes.size()) continue;
    const auto held = image.subspan(place.offset, place.writes.size());
    if (std::equal(held.begin(), held.end(), place.writes.begin())) continue;
    char line[160];
    std::snprintf(line, sizeof line, "image holds %s at 0x%zX (the %.*s), where the write puts %s",
                  HexList(held).c_str(), place.offset, static_cast<int>(place.what.size()), place.what.data(),
                  HexList(place.writes).c_str());
    return std::string(line);
  }
  return std::nullopt;
}

}  // namespace quillon
