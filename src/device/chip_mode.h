// The chip-mode register pair (b0 at 0xFE21, b1 at 0xFE22) as one mode word.
// Every reader of the pair goes through ReadChipModeWith; the callers differ
// only in what a failed read counts as and which bits of the word they keep.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quillon {

enum class ChipModeBits : std::uint8_t {
  kFamily,   // the high nibble of both bytes: the state the chip is in
  kVariant,  // b0 kept whole: tells the variants of one family apart
};

constexpr std::uint16_t ChipModeWord(std::uint8_t b0, std::uint8_t b1, ChipModeBits bits) {
  const std::uint8_t low = bits == ChipModeBits::kFamily ? static_cast<std::uint8_t>(b0 & 0xF0) : b0;
  return static_cast<std::uint16_t>((b1 & 0xF0) << 8 | low);
}

struct ChipModeReading {
  std::array<std::uint8_t, 2> raw{};  // as read, or the failed-read fill
  std::uint16_t value = 0;            // the word with the bits asked for
  bool read = false;                  // whether the chip answered
  constexpr std::uint16_t RawWord() const { return static_cast<std::uint16_t>(raw[1] << 8 | raw[0]); }
};

// `read` fills the pair and says whether the chip answered. A failed read
// counts as both bytes `failedAs`, whatever the transfer left in the buffer.
template <class Read>
ChipModeReading ReadChipModeWith(Read&& read, std::uint8_t failedAs, ChipModeBits bits) {
  std::array<std::uint8_t, 2> bytes{failedAs, failedAs};
  const bool answered = read(std::span<std::uint8_t>(bytes));
  if (!answered) bytes = {failedAs, failedAs};
  return {bytes, ChipModeWord(bytes[0], bytes[1], bits), answered};
}

}  // namespace quillon
