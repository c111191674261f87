// The image bytes that a write puts on the chip with values of its own rather
// than the image's, and the check that an image agrees with them: a chip
// written with other bytes than the file's would pass the write and then fail
// a verify of the same file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/current_types.h"

namespace quillon {

// What decides where a write sets bytes itself.
struct FlowWriteFacts {
  MemoryType memory = MemoryType::SpiFlash;
  std::size_t length = 0;        // the image's length
  bool romFlag = false;          // the family's flash write never puts a tag down
  bool areaAtZero = false;       // the image's configuration area starts at offset 0
  std::uint32_t tagAddress = 0;  // the profile's "TagAddress"
};

struct FlowSetPlace {
  std::size_t offset = 0;
  std::vector<std::uint8_t> writes;  // what the chip holds there after a passed write
  std::string_view what;

  bool operator==(const FlowSetPlace&) const = default;
};

// The places where the chip ends up holding the write's own values. Bytes that
// are held back and written last from the image itself (a flash tag that the
// write puts down, the area signature) are not listed: the chip gets the
// image's own values there. A 16 KB flash image for a chip that never takes a
// tag is rebuilt into the OTP-simulation layout as a whole and lists nothing.
std::vector<FlowSetPlace> BytesTheFlowSets(const FlowWriteFacts& facts);

// A write that tags puts the image's own tag word down last, and the chip
// starts from it: the word must be the tag (55 AA) or blank (FF FF, no tag).
// Anything else is a damaged file whose unit would be written and then left in
// its loader; one line naming it, nothing when the word is sound or not written.
std::optional<std::string> TagWordProblem(std::span<const std::uint8_t> image, const FlowWriteFacts& facts);

// Puts the write's own values into `image` at each place that lies inside it:
// the bytes the chip holds there after a passed write.
void PutFlowSetBytes(std::span<std::uint8_t> image, std::span<const FlowSetPlace> places);

// One line for the operator naming the first place where `image` holds other
// bytes than the write puts there; nothing when the image agrees everywhere.
std::optional<std::string> FlowSetConflict(std::span<const std::uint8_t> image,
                                           std::span<const FlowSetPlace> places);

}  // namespace quillon
