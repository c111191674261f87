// Where a read-back differs from the bytes that were meant to be there, so a
// failed compare can name the place instead of only saying that it failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillon {

struct Mismatch {
  std::size_t offset = 0;             // first differing byte
  std::uint8_t expected = 0;
  std::optional<std::uint8_t> found;  // none: the read ended before this byte
  std::size_t count = 0;              // differing bytes, missing ones included
};

// Compares `expected` with the start of `found`; nothing when every expected
// byte was found. Bytes of `found` past the end of `expected` are not looked at.
std::optional<Mismatch> FirstMismatch(std::span<const std::uint8_t> expected, std::span<const std::uint8_t> found);

// "offset 0x1234: expected 0x5A, found 0x00 (1 byte differs)".
std::string MismatchText(const Mismatch& mismatch);

// Compares, and when they differ writes the place to stderr and the debug log; true when equal.
bool SameOrReported(std::span<const std::uint8_t> expected, std::span<const std::uint8_t> found);

}  // namespace quillon
