#include "flow/flash_image_parts.h"

#include <algorithm>

#include "data/config_reader.h"
#include "data/le_bytes.h"
#include "platform/trace.h"

namespace quillon {
namespace {

constexpr std::size_t kAreaHeader = 6;
constexpr std::size_t kCountByte = 5;

struct RawRecord {
  std::size_t offset;
  std::size_t length;  // header included
  std::size_t headerSize;
  std::uint8_t type;
};

// The records of an area as the chip's own walker sees them: 0xFF, type, u16
// length; or length, type. Stops at the first record that does not fit.
std::vector<RawRecord> RawRecords(std::span<const std::uint8_t> area, std::size_t* end) {
  std::vector<RawRecord> records;
  std::size_t at = kAreaHeader;
  if (area.size() < kAreaHeader) {
    *end = area.size();
    return records;
  }
  const std::uint8_t count = area[kCountByte];
  for (std::uint8_t i = 0; i < count; ++i) {
    if (at + 2 > area.size()) break;
    RawRecord record{at, area[at], 2, area[at + 1]};
    if (area[at] == 0xFF) {
      if (at + 4 > area.size()) break;
      record.length = static_cast<std::size_t>(area[at + 2] | area[at + 3] << 8);
      record.headerSize = 4;
    }
    if (record.length < record.headerSize || at + record.length > area.size()) break;
    records.push_back(record);
    at += record.length;
  }
  *end = at;
  return records;
}

// Where a record keeps the offset (from the area start) and length of data it
// names: the code-information record and the small-cache code record.
std::optional<std::size_t> DataOffsetField(const RawRecord& r) {
  if (r.headerSize == 2 && r.type == 15 && r.length >= 6) return 2;
  if (r.headerSize == 4 && r.type == 0xE7 && r.length >= 8) return 4;
  return std::nullopt;
}

void PutBigEndian16(std::span<std::uint8_t> out, std::size_t at, std::size_t value) {
  WriteU16Be(out, at, static_cast<std::uint16_t>(value));
}

void PutEntry(std::span<std::uint8_t> image, int entry, std::size_t start, std::size_t length, std::uint8_t type) {
  const std::size_t at = 0x3F70 + static_cast<std::size_t>(entry) * 5;
  PutBigEndian16(image, at, start);
  PutBigEndian16(image, at + 2, length);
  image[at + 4] = type;
}

constexpr TraceScope kRebuildScope{"CSPIFlashInfo_USB::RebuildForSimulatedOtp", 0, kTraceDevice};
constexpr std::size_t kLeadingBytes = 15;  // header and the two leading records
constexpr std::size_t kOtpSize = 0x4000;
constexpr std::size_t kTableStart = 0x3F60;

}  // namespace

std::optional<std::vector<std::uint8_t>> FindPreservedRecord(std::span<const std::uint8_t> area) {
  std::size_t end = 0;
  for (const RawRecord& r : RawRecords(area, &end)) {
    if (r.type != kPreservedRecordType) continue;
    const std::size_t payload = std::min(r.length - r.headerSize, kPreservedPayloadMax);
    auto first = area.begin() + static_cast<std::ptrdiff_t>(r.offset + r.headerSize);
    return std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(payload));
  }
  return std::nullopt;
}

bool PutPreservedRecord(std::span<std::uint8_t> area, std::span<const std::uint8_t> payload) {
  if (area.size() < kAreaHeader || payload.size() > kPreservedPayloadMax) return false;
  std::size_t end = 0;
  const std::vector<RawRecord> records = RawRecords(area, &end);
  std::vector<std::uint8_t> record{0xFF, kPreservedRecordType, 0, 0};
  WriteU16Le(record, 2, static_cast<std::uint16_t>(payload.size() + 4));
  record.insert(record.end(), payload.begin(), payload.end());

  auto old = std::find_if(records.begin(), records.end(), [](const RawRecord& r) { return r.type == kPreservedRecordType; });
  const std::size_t at = old != records.end() ? old->offset : end;
  const std::size_t oldLength = old != records.end() ? old->length : 0;
  const std::size_t moved = at + oldLength;  // everything from here moves

  // The code that a code-information record names lies behind the records: it
  // moves with them, or the new record would overwrite it.
  std::size_t dataEnd = end;
  for (const RawRecord& r : records) {
    if (const auto field = DataOffsetField(r)) {
      dataEnd = std::max(dataEnd, std::size_t{ReadU16Le(area, r.offset + *field)} + ReadU16Le(area, r.offset + *field + 2));
    }
  }
  if (dataEnd > area.size()) dataEnd = end;
  const std::size_t newDataEnd = dataEnd - oldLength + record.size();
  if (newDataEnd > area.size()) return false;

  std::vector<std::uint8_t> tail(area.begin() + static_cast<std::ptrdiff_t>(moved),
                                 area.begin() + static_cast<std::ptrdiff_t>(dataEnd));
  std::copy(record.begin(), record.end(), area.begin() + static_cast<std::ptrdiff_t>(at));
  std::copy(tail.begin(), tail.end(), area.begin() + static_cast<std::ptrdiff_t>(at + record.size()));
  if (newDataEnd < dataEnd) {
    std::fill(area.begin() + static_cast<std::ptrdiff_t>(newDataEnd), area.begin() + static_cast<std::ptrdiff_t>(dataEnd), 0xFF);
  }
  // Offsets into what moved follow it.
  for (const RawRecord& r : records) {
    const auto field = DataOffsetField(r);
    if (!field || r.offset == at) continue;
    const std::size_t where = (r.offset >= moved ? r.offset - oldLength + record.size() : r.offset) + *field;
    const std::size_t offset = ReadU16Le(area, where);
    if (offset >= moved) WriteU16Le(area, where, static_cast<std::uint16_t>(offset - oldLength + record.size()));
  }

  if (old == records.end()) area[kCountByte] = static_cast<std::uint8_t>(area[kCountByte] + 1);
  // Readers stop at the header's total length, so it must cover the new record.
  const std::size_t total = ReadU16Le(area, 3);
  WriteU16Le(area, 3, static_cast<std::uint16_t>(total + record.size() - oldLength));
  return true;
}

bool RebuildForSimulatedOtp(std::span<std::uint8_t> image, std::uint8_t chipCode) {
  if (image.size() < kOtpSize) return false;
  CDescGlobal reader;
  reader.SetCopy(std::span<const std::uint8_t>(image).first(std::min(image.size(), kConfigCopyLimit)));
  const ConfigHeader* header = reader.ParseHeader();
  if (header == nullptr || !header->HasSignature()) return false;
  const ConfigHeader area = *header;

  std::size_t codeRecord = 0;  // e: the code record's length, 0 without one
  bool hasConfig = false;
  int parsed = 0;
  const WalkResult walk = WalkConfigArea(reader, [&](CDescriptor& record) {
    ++parsed;
    if (record.Type() == record_type::kSmallCacheCode && codeRecord == 0) {
      codeRecord = record.RecordLength();
    } else {
      hasConfig = true;
    }
    return true;
  });
  if (walk == WalkResult::Corrupted) {
    TraceRaw(kRebuildScope, "Config file corrupted\r\n");
    return false;
  }
  if (walk != WalkResult::Done) return false;

  const std::size_t codeLen = codeRecord != 0 ? codeRecord + kLeadingBytes : 0;
  const std::size_t configLen = hasConfig ? std::size_t{area.totalLength} - codeRecord : 0;
  if (hasConfig && (area.totalLength < codeRecord || configLen < kLeadingBytes)) return false;
  if (codeLen + configLen > kTableStart || kLeadingBytes + codeRecord + (hasConfig ? configLen - kLeadingBytes : 0) > image.size()) {
    return false;
  }

  std::vector<std::uint8_t> out(image.size(), 0xFF);
  std::fill(out.begin() + kTableStart, out.begin() + kOtpSize, 0x00);
  const bool layout2 = (image[2] & 0x07) == 2;
  auto copy = [&](std::size_t from, std::size_t length, std::size_t to) {
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), length, out.begin() + static_cast<std::ptrdiff_t>(to));
  };
  if (codeRecord != 0) {
    copy(0, kLeadingBytes, 0);
    copy(kLeadingBytes, codeRecord, kLeadingBytes);
    if (layout2) out[2] = static_cast<std::uint8_t>(chipCode * 8 + 3);
    WriteU16Le(out, 3, static_cast<std::uint16_t>(codeLen));
    out[5] = 3;
    PutEntry(out, 15, 0, codeLen, 0x55);
  }
  if (hasConfig) {
    copy(0, kLeadingBytes, codeLen);
    copy(kLeadingBytes + codeRecord, configLen - kLeadingBytes, codeLen + kLeadingBytes);
    if (layout2) out[codeLen + 2] = static_cast<std::uint8_t>(chipCode * 8 + 1);
    WriteU16Le(out, codeLen + 3, static_cast<std::uint16_t>(configLen));
    out[codeLen + 5] = static_cast<std::uint8_t>(parsed + 1);
    if (codeRecord != 0) {
      PutEntry(out, 14, codeLen, configLen, 0xAA);
    } else {
      PutEntry(out, 15, 0, configLen, 0xAA);
    }
  }
  std::copy(out.begin(), out.end(), image.begin());
  return true;
}

HeldAreaSignature::HeldAreaSignature(std::span<std::uint8_t> image, std::size_t offset, bool hold)
    : image_(image), offset_(offset) {
  if (!hold || offset > image.size() || image.size() - offset < 2) return;
  saved_ = {image[offset], image[offset + 1]};
  if (saved_[0] == 0xFF && saved_[1] == 0xFF) return;
  image[offset] = image[offset + 1] = 0xFF;
  held_ = true;
}

HeldAreaSignature::~HeldAreaSignature() {
  if (!held_) return;
  image_[offset_] = saved_[0];
  image_[offset_ + 1] = saved_[1];
}

}  // namespace quillon
