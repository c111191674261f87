#include "data/config_builder.h"

#include <algorithm>

#include "data/le_bytes.h"

namespace quillon {

std::uint16_t IcNumberOfChipCode(std::uint8_t chipCode) {
  switch (chipCode) {
    case 17:
      return 0x7702;
    case 21:
      return 0x7704;
    case 24:
      return 0x7724;
    default:
      return 0;
  }
}

void CDescBuilder::InitFromHeader(const ConfigHeader& header, bool withVersion, std::uint16_t versionWord,
                                  std::optional<std::uint8_t> eepromInfo) {
  header_ = ConfigHeader{};
  header_.typeByte = header.typeByte;
  header_.signature = kConfigSignature;
  header_.flags = header.flags;
  header_.chipCode = header.chipCode;
  header_.totalLength = kConfigHeaderSize;
  header_.recordNumber = 0;
  out_.assign(kConfigHeaderSize, 0);
  code_.clear();
  if (withVersion) {
    std::uint8_t record[kVersionRecordLength] = {kVersionRecordLength, record_type::kVersion};
    WriteU16Le(record, 2, IcNumberOfChipCode(header.chipCode));
    WriteU16Le(record, 4, versionWord != 0 ? versionWord : kDefaultVersionWord);
    Append(record);
  }
  if (eepromInfo) {
    const std::uint8_t record[kEepromInfoRecordLength] = {kEepromInfoRecordLength, record_type::kEepromInfo,
                                                          *eepromInfo};
    Append(record);
  }
}

void CDescBuilder::InitFromHeader(const CDescGlobal& oldArea, const ConfigHeader& header, bool withVersion) {
  InitFromHeader(header, withVersion, oldArea.VersionWord(), oldArea.EepromInfo());
}

bool CDescBuilder::Append(std::span<const std::uint8_t> bytes) {
  if (out_.size() + bytes.size() > 0xFFFF || header_.recordNumber == 0xFF) return false;
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  header_.totalLength = static_cast<std::uint16_t>(out_.size());
  ++header_.recordNumber;
  return true;
}

bool CDescBuilder::AddDescriptor(const CDescriptor& record) {
  const std::size_t length = record.RecordLength();
  std::vector<std::uint8_t> bytes(length);
  if (length == 0 || !record.Serialize(bytes)) return false;
  const std::size_t at = out_.size();
  if (dynamic_cast<const CDescSmallCachecode*>(&record) != nullptr) {
    // The data sits inside the record, so its offset is the record's own.
    if (at + CDescSmallCachecode::kFixedPart > 0xFFFF) return false;
    WriteU16Le(bytes, 4, static_cast<std::uint16_t>(at + CDescSmallCachecode::kFixedPart));
  }
  if (!Append(bytes)) return false;
  if (auto* codeInfo = dynamic_cast<const CDescCodeInfo*>(&record)) {
    auto code = codeInfo->Code();
    code_.push_back(PendingCode{at + 2, std::vector<std::uint8_t>(code.begin(), code.end())});
  }
  return true;
}

std::size_t CDescBuilder::CodeLength() const {
  std::size_t total = 0;
  for (const PendingCode& pending : code_) total += pending.code.size();
  return total;
}

bool CDescBuilder::GetConfigData(std::span<std::uint8_t> out, std::size_t maximum) {
  const std::size_t need = out_.size() + CodeLength();
  if (maximum < need + kConfigDataMargin || out.size() < need) return false;
  std::vector<std::uint8_t> area = out_;
  for (const PendingCode& pending : code_) {
    if (area.size() > 0xFFFF) return false;
    WriteU16Le(area, pending.offsetField, static_cast<std::uint16_t>(area.size()));
    area.insert(area.end(), pending.code.begin(), pending.code.end());
  }
  const auto header = PackConfigHeader(header_);
  std::copy(header.begin(), header.end(), area.begin());
  std::copy(area.begin(), area.end(), out.begin());
  return true;
}

}  // namespace quillon
