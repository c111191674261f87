// Byte work on flash images that needs no device: the record carried over
// from the chip into a new image, and the OTP-simulation layout of a 16 KB
// image. Pure functions on bounded buffers.
#pragma once

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

}  // namespace quillon
