// The text of a USB string descriptor: UTF-16LE code units after the two-byte
// header, as UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillon {

// `answer` is what the device returned; bLength bounds it further.
std::string StringDescriptorText(std::span<const std::uint8_t> answer);

}  // namespace quillon
