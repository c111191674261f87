// Byte packing for image files and configuration areas. Everything there is
// little-endian except the codec records' trailing value, which is stored high
// byte first. Callers check the span is long enough; these never grow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillon {

constexpr std::uint16_t ReadU16Le(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

constexpr void WriteU16Le(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr std::uint16_t ReadU16Be(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

constexpr void WriteU16Be(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace quillon
