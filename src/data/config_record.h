// The fixed layouts of a configuration area: the 6-byte area header and the
// three record-header forms, as pure pack/unpack functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "data/current_types.h"

namespace quillon {

inline constexpr std::uint8_t kConfigSignature = 0xA5;
inline constexpr std::size_t kConfigHeaderSize = 6;

// Type bytes of the area header.
namespace area_type {
inline constexpr std::uint8_t kEeprom8 = 0x11;
inline constexpr std::uint8_t kEeprom16 = 0x12;
inline constexpr std::uint8_t kFlash30 = 0x30;
inline constexpr std::uint8_t kFlash = 0x55;
inline constexpr std::uint8_t kFlash61 = 0x61;
inline constexpr std::uint8_t kMtp = 0x40;
inline constexpr std::uint8_t kOtp = 0x60;
}  // namespace area_type

// Record type codes with a meaning outside their class.
namespace record_type {
inline constexpr std::uint8_t kManufacturer = 1;
inline constexpr std::uint8_t kProduct = 2;
inline constexpr std::uint8_t kSerialNumber = 3;
inline constexpr std::uint8_t kVidPid = 4;
inline constexpr std::uint8_t kInterface = 7;
inline constexpr std::uint8_t kEepromInfo = 8;
inline constexpr std::uint8_t kCodeInfo = 15;
inline constexpr std::uint8_t kSmallCacheCode = 39;
inline constexpr std::uint8_t kVersion = 0x2F;
// The record the flash download carries over from the chip (0xFF, 0x50, u16 length, payload).
inline constexpr std::uint8_t kPreserved = 0x50;
}  // namespace record_type

// Lengths of the two leading special records.
inline constexpr std::uint16_t kVersionRecordLength = 6;
inline constexpr std::uint16_t kEepromInfoRecordLength = 3;

struct ConfigHeader {
  std::uint8_t typeByte = 0;
  std::uint8_t signature = 0;
  std::uint8_t flags = 0;     // bits 0..2 of byte 2, kept as read
  std::uint8_t chipCode = 0;  // bits 3..7 of byte 2
  std::uint16_t totalLength = 0;
  std::uint8_t recordNumber = 0;

  bool HasSignature() const { return signature == kConfigSignature; }
};

// The header at the start of `bytes`, or nothing when fewer than 6 bytes are there.
std::optional<ConfigHeader> UnpackConfigHeader(std::span<const std::uint8_t> bytes);
std::array<std::uint8_t, kConfigHeaderSize> PackConfigHeader(const ConfigHeader& header);

// The memory type a header type byte stands for; nothing for unknown bytes.
std::optional<MemoryType> MemoryTypeOfTypeByte(std::uint8_t typeByte);

// Record-header forms: two bytes (length, type); four bytes (0xFF, 0xC0|39,
// u16 length) for small-cache code; two bytes with a 10-bit length for the
// codec sequence records of chip code 17; four bytes (0xFF, 0x50, u16 length)
// for the carried-over record, which the download itself writes into areas.
enum class RecordForm : std::uint8_t { Normal, Extended, Codec10, Prefixed };

struct RecordHeader {
  std::uint8_t type = 0;
  std::uint16_t length = 0;  // the whole record, header included
  RecordForm form = RecordForm::Normal;

  std::size_t HeaderSize() const { return form == RecordForm::Extended || form == RecordForm::Prefixed ? 4 : 2; }
};

inline constexpr std::uint16_t kExtendedMarker = 0x3FF;
inline constexpr std::uint8_t kCodecChipCode = 17;

bool IsCodecSequenceType(std::uint8_t type);

// Reads the record header at the start of `bytes`; nothing when its bytes are
// not all there. The length is not checked against the data here.
std::optional<RecordHeader> UnpackRecordHeader(std::span<const std::uint8_t> bytes, std::uint8_t chipCode);

// Writes `header` at the start of `out`; the number of bytes written, or 0 when
// `out` is too short or the length does not fit the form.
std::size_t PackRecordHeader(std::span<std::uint8_t> out, const RecordHeader& header);

}  // namespace quillon
