// Byte work on flash images that needs no device: the record carried over
// from the chip into a new image, and the OTP-simulation layout of a 16 KB
// image. Pure functions on bounded buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillon {

inline constexpr std::uint8_t kPreservedRecordType = 0x50;
inline constexpr std::size_t kPreservedPayloadMax = 16;
// The one device whose flash keeps its preserved record across downloads.
inline constexpr std::uint16_t kPreservedRecordVid = 0x3A7C;
inline constexpr std::uint16_t kPreservedRecordPid = 0x0022;

// The payload (at most 16 bytes) of the first record of type 0x50 in the
// configuration area `area` (header, count at byte 5, records from byte 6).
std::optional<std::vector<std::uint8_t>> FindPreservedRecord(std::span<const std::uint8_t> area);

// Writes `payload` as the record 0xFF, 0x50, length, payload into `area`:
// in place of its record of type 0x50, or appended behind the last record with
// the count and total length raised. False (area unchanged) when it does not fit.
bool PutPreservedRecord(std::span<std::uint8_t> area, std::span<const std::uint8_t> payload);

// Rearranges a 16 KB image whose configuration area starts at 0 into a code
// part and a configuration part with their entries in the block table at the
// end of the memory. `chipCode` goes into the parts' layout byte. False when the
// area cannot be read (the image is then unchanged).
bool RebuildForSimulatedOtp(std::span<std::uint8_t> image, std::uint8_t chipCode);

// The two signature bytes of a configuration area, held back as 0xFF while the
// image is written and compared, so that the loader finds no area to start
// before every other byte is in; written last by the caller. The image gets
// them back when the holder ends, whatever happened in between.
class HeldAreaSignature {
 public:
  // Holds when `hold` is set and the two bytes at `offset` are inside the image
  // and not blank already.
  HeldAreaSignature(std::span<std::uint8_t> image, std::size_t offset, bool hold);
  ~HeldAreaSignature();
  HeldAreaSignature(const HeldAreaSignature&) = delete;
  HeldAreaSignature& operator=(const HeldAreaSignature&) = delete;

  bool held() const { return held_; }
  std::uint32_t address() const { return static_cast<std::uint32_t>(offset_); }
  const std::array<std::uint8_t, 2>& bytes() const { return saved_; }

 private:
  std::span<std::uint8_t> image_;
  std::size_t offset_;
  std::array<std::uint8_t, 2> saved_{0xFF, 0xFF};
  bool held_ = false;
};

}  // namespace quillon
