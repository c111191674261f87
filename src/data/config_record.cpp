#include "data/config_record.h"

#include "data/le_bytes.h"

namespace quillon {

std::optional<ConfigHeader> UnpackConfigHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kConfigHeaderSize) return std::nullopt;
  ConfigHeader header;
  header.typeByte = bytes[0];
  header.signature = bytes[1];
  header.flags = bytes[2] & 0x07;
  header.chipCode = static_cast<std::uint8_t>(bytes[2] >> 3);
  header.totalLength = ReadU16Le(bytes, 3);
  header.recordNumber = bytes[5];
  return header;
}

std::array<std::uint8_t, kConfigHeaderSize> PackConfigHeader(const ConfigHeader& header) {
  std::array<std::uint8_t, kConfigHeaderSize> out{};
  out[0] = header.typeByte;
  out[1] = header.signature;
  out[2] = static_cast<std::uint8_t>(((header.chipCode & 0x1F) << 3) | (header.flags & 0x07));
  WriteU16Le(out, 3, header.totalLength);
  out[5] = header.recordNumber;
  return out;
}

std::optional<MemoryType> MemoryTypeOfTypeByte(std::uint8_t typeByte) {
  switch (typeByte) {
    case area_type::kEeprom8:
      return MemoryType::Eeprom8;
    case area_type::kEeprom16:
      return MemoryType::Eeprom16;
    case area_type::kFlash30:
    case area_type::kFlash:
    case area_type::kFlash61:
      return MemoryType::SpiFlash;
    case area_type::kMtp:
      return MemoryType::Mtp;
    case area_type::kOtp:
      return MemoryType::Otp;
    default:
      return std::nullopt;
  }
}

bool IsCodecSequenceType(std::uint8_t type) { return type >= 27 && type <= 33; }

std::optional<RecordHeader> UnpackRecordHeader(std::span<const std::uint8_t> bytes, std::uint8_t chipCode) {
  if (bytes.size() < 2) return std::nullopt;
  const std::uint8_t low6 = bytes[1] & 0x3F;
  const auto tenBit = static_cast<std::uint16_t>(((bytes[1] >> 6) << 8) | bytes[0]);
  RecordHeader header;
  if (tenBit == kExtendedMarker && low6 == record_type::kSmallCacheCode) {
    if (bytes.size() < 4) return std::nullopt;
    header.type = record_type::kSmallCacheCode;
    header.length = ReadU16Le(bytes, 2);
    header.form = RecordForm::Extended;
  } else if (bytes[0] == 0xFF && bytes[1] == record_type::kPreserved) {
    // Read with the plain form it would claim 255 bytes and break the walk.
    if (bytes.size() < 4) return std::nullopt;
    header.type = record_type::kPreserved;
    header.length = ReadU16Le(bytes, 2);
    header.form = RecordForm::Prefixed;
  } else if (chipCode == kCodecChipCode && IsCodecSequenceType(low6)) {
    // The codec records of chip code 17 carry their length in ten bits; read
    // with the plain form, one longer than 255 bytes would throw the walk off.
    header.type = low6;
    header.length = tenBit;
    header.form = RecordForm::Codec10;
  } else {
    header.type = bytes[1];
    header.length = bytes[0];
  }
  return header;
}

std::size_t PackRecordHeader(std::span<std::uint8_t> out, const RecordHeader& header) {
  switch (header.form) {
    case RecordForm::Extended:
      if (out.size() < 4) return 0;
      out[0] = 0xFF;
      out[1] = static_cast<std::uint8_t>(0xC0 | (header.type & 0x3F));
      WriteU16Le(out, 2, header.length);
      return 4;
    case RecordForm::Prefixed:
      if (out.size() < 4) return 0;
      out[0] = 0xFF;
      out[1] = header.type;
      WriteU16Le(out, 2, header.length);
      return 4;
    case RecordForm::Codec10:
      if (out.size() < 2 || header.length > kExtendedMarker || header.type > 0x3F) return 0;
      out[0] = static_cast<std::uint8_t>(header.length & 0xFF);
      out[1] = static_cast<std::uint8_t>(((header.length >> 8) << 6) | header.type);
      return 2;
    case RecordForm::Normal:
      if (out.size() < 2 || header.length > 0xFF) return 0;
      out[0] = static_cast<std::uint8_t>(header.length);
      out[1] = header.type;
      return 2;
  }
  return 0;
}

}  // namespace quillon
