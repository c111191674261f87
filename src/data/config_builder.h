// Building a configuration area record by record: the header, the version and
// EEPROM-info records, the records, and the code bytes that a code-info record
// names, appended after the last record with their offset patched in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/config_descriptor.h"
#include "data/config_reader.h"
#include "data/config_record.h"

namespace quillon {

// The IC number of the version record for a chip code (0 for unknown codes).
std::uint16_t IcNumberOfChipCode(std::uint8_t chipCode);
inline constexpr std::uint16_t kDefaultVersionWord = 0x1060;
// Room GetConfigData keeps free behind the area.
inline constexpr std::size_t kConfigDataMargin = 128;

class CDescBuilder {
 public:
  // Starts a new area with the type byte, flags and chip code of `header`. With
  // `withVersion` the version record comes first (second word `versionWord`,
  // or 0x1060 when that is 0); the EEPROM-info record follows when given.
  void InitFromHeader(const ConfigHeader& header, bool withVersion, std::uint16_t versionWord,
                      std::optional<std::uint8_t> eepromInfo);
  // The same from a reader that has parsed the old area's header.
  void InitFromHeader(const CDescGlobal& oldArea, const ConfigHeader& header, bool withVersion);

  // Appends `record`. False when it cannot be written or the area would
  // outgrow its 16-bit length or 8-bit record number.
  bool AddDescriptor(const CDescriptor& record);

  // Writes the finished area (header, records, code bytes) to `out`. False when
  // `maximum` leaves less than 128 bytes behind it or `out` is too short.
  bool GetConfigData(std::span<std::uint8_t> out, std::size_t maximum);

  std::uint16_t TotalLength() const { return header_.totalLength; }
  std::uint8_t RecordNumber() const { return header_.recordNumber; }
  std::size_t CodeLength() const;
  // Offset (from the area start) where the next record goes.
  std::size_t Cursor() const { return out_.size(); }

 private:
  bool Append(std::span<const std::uint8_t> bytes);

  struct PendingCode {
    std::size_t offsetField;  // where the record's u16 code offset sits
    std::vector<std::uint8_t> code;
  };

  ConfigHeader header_;
  std::vector<std::uint8_t> out_;
  std::vector<PendingCode> code_;
};

}  // namespace quillon
