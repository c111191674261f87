#include "data/config_descriptor.h"

#include <algorithm>

#include "data/le_bytes.h"

namespace quillon {
namespace {

// Copies `record` when it is exactly `header.length` bytes in the plain form.
bool IsPlainRecord(const RecordHeader& header, std::span<const std::uint8_t> record, std::size_t length) {
  return header.form == RecordForm::Normal && header.length == length && record.size() == length;
}

bool PutHeader(std::span<std::uint8_t> out, std::uint8_t type, std::size_t length, RecordForm form) {
  if (out.size() < length || length > 0xFFFF) return false;
  RecordHeader header{type, static_cast<std::uint16_t>(length), form};
  return PackRecordHeader(out, header) != 0;
}

struct FixedRow {
  std::uint8_t type;
  const char* className;
  std::uint8_t length;
};

// Audio records of chip codes 21 and 24.
constexpr FixedRow kAudioRows[] = {
    {64, "CDescUACTop", 18},         {65, "CDescEPAInfo", 17},        {66, "CDescEPBInfo", 17},
    {67, "CDescEPCInfo", 17},        {68, "CDescEPGInfo", 16},        {69, "CDescEPHInfo", 16},
    {70, "CDescEPIInfo", 16},        {71, "CDescInterCodecInfo", 14}, {72, "CDescInterSPDIFInfo", 8},
    {73, "CDescInterUartInfo", 10},  {74, "CDescGPIODrivingInfo", 12},
};

// Audio records of chip code 17 (the codec sequence types 27 to 33 are variable).
constexpr FixedRow kI2sRows[] = {
    {8, "CDescI2S0_7702", 29},
    {9, "CDescI2S0Channel", 10},
    {10, "CDescI2S1_7702", 17},
    {11, "CDescI2S1Channel", 6},
    {12, "CDescI2SCodec0Setting", 50},
    {16, "CDescI2SCodec1Setting", 26},
    {47, "CDescEndPointType", 18},
    {48, "CDescI2SEPAVolumeSetting", 56},
    {49, "CDescI2SEPBVolumeSetting", 32},
    {50, "CDescI2SEPCVolumeSetting", 32},
    {51, "CDescI2SEPDVolumeSetting", 32},
    {52, "CDescI2SEPGVolumeSetting", 56},
    {53, "CDescI2SEPHVolumeSetting", 32},
    {54, "CDescI2SEPIVolumeSetting", 32},
    {55, "CDescI2SEPJVolumeSetting", 32},
    {56, "CDescI2SCodec0InMuteSetting", 38},
    {57, "CDescI2SCodec0OutMuteSetting", 38},
    {58, "CDescI2SCodec1MuteSetting", 26},
};

constexpr const char* kCodecNames[] = {
    "CDescI2SCodecCommonSetting",   "CDescI2SCodecStartInSetting",  "CDescI2SCodecCloseInSetting",
    "CDescI2SCodecStartOutSetting", "CDescI2SCodecCloseOutSetting", "CDescI2SCodecCloseAllSetting",
    "CDescI2SCodecSuspendSetting",
};

bool IsAudioChip(std::uint8_t chipCode) { return chipCode == 21 || chipCode == 24; }

const FixedRow* FindFixedRow(std::uint8_t type, std::uint8_t chipCode) {
  std::span<const FixedRow> rows;
  if (IsAudioChip(chipCode)) {
    rows = kAudioRows;
  } else if (chipCode == kCodecChipCode) {
    rows = kI2sRows;
  }
  auto it = std::find_if(rows.begin(), rows.end(), [type](const FixedRow& row) { return row.type == type; });
  return it == rows.end() ? nullptr : &*it;
}

const char* StringClassName(std::uint8_t type) {
  switch (type) {
    case 1:
      return "CDescStringManu";
    case 2:
      return "CDescStringProd";
    case 3:
      return "CDescStringSN";
    case 6:
      return "CDescStringUBistName";
    case 7:
      return "CDescStringIAD";
    default:
      return nullptr;
  }
}

}  // namespace

bool CDescDummy::Parse(const RecordHeader&, std::span<const std::uint8_t> record) {
  bytes_.assign(record.begin(), record.end());
  return true;
}

bool CDescDummy::Serialize(std::span<std::uint8_t> out) const {
  if (out.size() < bytes_.size()) return false;
  std::copy(bytes_.begin(), bytes_.end(), out.begin());
  return true;
}

bool CDescString::Parse(const RecordHeader& header, std::span<const std::uint8_t> record) {
  if (header.form != RecordForm::Normal || record.size() != header.length || record.size() < 4) return false;
  // The text ends at the embedded length; bytes behind it in the record are
  // kept so the record is written back as it was. An embedded length past the
  // record cannot be written back and leaves the record to CDescDummy.
  const std::size_t embedded = record[2];
  if (embedded < 2 || embedded > record.size() - 2) return false;
  descriptorType_ = record[3];
  text_.assign(record.begin() + 4, record.begin() + 2 + static_cast<std::ptrdiff_t>(embedded));
  padding_.assign(record.begin() + 2 + static_cast<std::ptrdiff_t>(embedded), record.end());
  return true;
}

bool CDescString::Serialize(std::span<std::uint8_t> out) const {
  const std::size_t length = RecordLength();
  if (!PutHeader(out, Type(), length, RecordForm::Normal)) return false;
  out[2] = static_cast<std::uint8_t>(EmbeddedLength());
  out[3] = descriptorType_;
  std::copy(text_.begin(), text_.end(), out.begin() + 4);
  std::copy(padding_.begin(), padding_.end(), out.begin() + 4 + static_cast<std::ptrdiff_t>(text_.size()));
  return true;
}

bool CDescString::SetString(std::string_view text) {
  if (text.size() > kMaxStringChars) return false;
  text_.assign(text);
  padding_.clear();
  return true;
}

bool CDescVIDPID::Parse(const RecordHeader& header, std::span<const std::uint8_t> record) {
  if (!IsPlainRecord(header, record, RecordLength())) return false;
  vendorId = ReadU16Le(record, 2);
  productId = ReadU16Le(record, 4);
  release = ReadU16Le(record, 6);
  return true;
}

bool CDescVIDPID::Serialize(std::span<std::uint8_t> out) const {
  if (!PutHeader(out, Type(), RecordLength(), RecordForm::Normal)) return false;
  WriteU16Le(out, 2, vendorId);
  WriteU16Le(out, 4, productId);
  WriteU16Le(out, 6, release);
  return true;
}

bool CDescCodeInfo::Parse(const RecordHeader& header, std::span<const std::uint8_t> record) {
  if (!IsPlainRecord(header, record, RecordLength())) return false;
  codeOffset = ReadU16Le(record, 2);
  codeLength = ReadU16Le(record, 4);
  return true;
}

void CDescCodeInfo::SetCode(std::span<const std::uint8_t> code) {
  code_.assign(code.begin(), code.end());
  codeLength = static_cast<std::uint16_t>(std::min<std::size_t>(code.size(), 0xFFFF));
  hasCode_ = !code_.empty() && code_.size() <= 0xFFFF;
}

bool CDescCodeInfo::Serialize(std::span<std::uint8_t> out) const {
  if (!hasCode_) return false;
  if (!PutHeader(out, Type(), RecordLength(), RecordForm::Normal)) return false;
  WriteU16Le(out, 2, codeOffset);
  WriteU16Le(out, 4, codeLength);
  return true;
}

bool CDescSLB::Parse(const RecordHeader& header, std::span<const std::uint8_t> record) {
  if (!IsPlainRecord(header, record, RecordLength())) return false;
  mode = record[2];
  channel = record[3];
  std::copy_n(record.begin() + 4, pattern.size(), pattern.begin());
  count = ReadU16Le(record, 12);
  reserved = record[14];
  return true;
}

bool CDescSLB::Serialize(std::span<std::uint8_t> out) const {
  if (!PutHeader(out, Type(), RecordLength(), RecordForm::Normal)) return false;
  out[2] = mode;
  out[3] = channel;
  std::copy(pattern.begin(), pattern.end(), out.begin() + 4);
  WriteU16Le(out, 12, count);
  out[14] = reserved;
  return true;
}

bool CDescSmallCachecode::Parse(const RecordHeader& header, std::span<const std::uint8_t> record) {
  if (header.form != RecordForm::Extended || record.size() != header.length || record.size() < kFixedPart) {
    return false;
  }
  const std::uint16_t dataLength = ReadU16Le(record, 6);
  if (dataLength != record.size() - kFixedPart) return false;
  dataOffset = ReadU16Le(record, 4);
  data_.assign(record.begin() + kFixedPart, record.end());
  return true;
}

bool CDescSmallCachecode::Serialize(std::span<std::uint8_t> out) const {
  if (data_.empty()) return false;
  if (!PutHeader(out, Type(), RecordLength(), RecordForm::Extended)) return false;
  WriteU16Le(out, 4, dataOffset);
  WriteU16Le(out, 6, static_cast<std::uint16_t>(data_.size()));
  std::copy(data_.begin(), data_.end(), out.begin() + kFixedPart);
  return true;
}

bool CDescCodecSequence::Parse(const RecordHeader& header, std::span<const std::uint8_t> record) {
  if (header.form != RecordForm::Codec10 || record.size() != header.length || record.size() < 4) return false;
  data_.assign(record.begin() + 2, record.end() - 2);
  trailer = ReadU16Be(record, record.size() - 2);
  return true;
}

bool CDescCodecSequence::Serialize(std::span<std::uint8_t> out) const {
  const std::size_t length = RecordLength();
  if (!PutHeader(out, Type(), length, RecordForm::Codec10)) return false;
  std::copy(data_.begin(), data_.end(), out.begin() + 2);
  WriteU16Be(out, length - 2, trailer);
  return true;
}

bool CDescFixed::Parse(const RecordHeader& header, std::span<const std::uint8_t> record) {
  if (!IsPlainRecord(header, record, RecordLength())) return false;
  std::copy(record.begin() + 2, record.end(), payload_.begin());
  return true;
}

bool CDescFixed::Serialize(std::span<std::uint8_t> out) const {
  if (!PutHeader(out, Type(), RecordLength(), RecordForm::Normal)) return false;
  std::copy(payload_.begin(), payload_.end(), out.begin() + 2);
  return true;
}

std::size_t FixedRecordLength(std::uint8_t type, std::uint8_t chipCode) {
  if (type == record_type::kVidPid) return 8;
  if (type == record_type::kCodeInfo) return 6;
  if (type == 14 && IsAudioChip(chipCode)) return 15;
  const FixedRow* row = FindFixedRow(type, chipCode);
  return row == nullptr ? 0 : row->length;
}

std::unique_ptr<CDescriptor> CreateDescriptor(std::uint8_t type, std::uint8_t chipCode) {
  if (const char* name = StringClassName(type)) return std::make_unique<CDescString>(type, name);
  if (type == record_type::kVidPid) return std::make_unique<CDescVIDPID>();
  if (type == record_type::kCodeInfo) return std::make_unique<CDescCodeInfo>();
  if (IsAudioChip(chipCode)) {
    if (type == 14) return std::make_unique<CDescSLB>();
    if (type == record_type::kSmallCacheCode) return std::make_unique<CDescSmallCachecode>();
  }
  if (chipCode == kCodecChipCode && IsCodecSequenceType(type)) {
    return std::make_unique<CDescCodecSequence>(type, kCodecNames[type - 27]);
  }
  if (const FixedRow* row = FindFixedRow(type, chipCode)) {
    return std::make_unique<CDescFixed>(row->type, row->className, row->length);
  }
  return std::make_unique<CDescDummy>(type);
}

}  // namespace quillon
