#include "device/string_descriptor.h"

#include <algorithm>

namespace quillon {
namespace {

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::string StringDescriptorText(std::span<const std::uint8_t> answer) {
  if (answer.size() < 2 || answer[1] != 3) return {};
  const std::size_t end = std::min<std::size_t>(answer.size(), answer[0]);
  std::string out;
  for (std::size_t at = 2; at + 1 < end; at += 2) {
    std::uint32_t unit = answer[at] | answer[at + 1] << 8u;
    if (unit >= 0xD800 && unit < 0xDC00 && at + 3 < end) {
      const std::uint32_t low = answer[at + 2] | answer[at + 3] << 8u;
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        at += 2;
      }
    }
    if (unit >= 0xD800 && unit < 0xE000) unit = 0xFFFD;  // a lone surrogate
    AppendUtf8(out, unit);
  }
  return out;
}

}  // namespace quillon
