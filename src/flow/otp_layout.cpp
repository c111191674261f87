#include "flow/otp_layout.h"

#include <algorithm>
#include <cstdio>

#include "data/config_reader.h"
#include "data/config_record.h"
#include "data/le_bytes.h"

namespace quillon::otp {
namespace {

std::span<const std::uint8_t> VdAt(std::span<const std::uint8_t> table, std::uint32_t i) {
  return table.subspan(i * kVdEntrySize, kVdEntrySize);
}

// The highest entry that names an area: non-blank, not retired whole.
std::optional<std::uint32_t> NewestNamingEntry(std::span<const std::uint8_t> vdTable) {
  if (vdTable.size() < kVdTableSize) return std::nullopt;
  for (std::uint32_t i = kVdEntries; i-- > 0;) {
    auto entry = VdAt(vdTable, i);
    if (IsNonBlankVd(entry) && !IsRetiredWhole(entry)) return i;
  }
  return std::nullopt;
}

std::string Format(const char* format, double a, double b, int times = -1) {
  char text[160];
  if (times < 0) {
    std::snprintf(text, sizeof text, format, a, b);
  } else {
    std::snprintf(text, sizeof text, format, a, b, times);
  }
  return text;
}

// KB figures are rounded to single precision before printing.
double Kb(std::uint32_t bytes) { return static_cast<double>(static_cast<float>(bytes) / 1024.0f); }

}  // namespace

VdEntry VdEntry::Unpack(std::span<const std::uint8_t> five) {
  if (five.size() < kVdEntrySize) return {};
  return {static_cast<std::uint16_t>(five[0] << 8 | five[1]), static_cast<std::uint16_t>(five[2] << 8 | five[3]),
          five[4]};
}

std::array<std::uint8_t, kVdEntrySize> VdEntry::Pack() const {
  return {static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), type};
}

bool IsBlankVd(std::span<const std::uint8_t> five) {
  return five.size() >= kVdEntrySize && std::all_of(five.begin(), five.begin() + kVdEntrySize, [](auto b) { return b == 0; });
}

bool IsNonBlankVd(std::span<const std::uint8_t> five) {
  if (five.size() < kVdEntrySize) return false;
  const std::uint8_t type = five[4];
  return type == kTypeCode || type == kTypeConfig || type == kTypeDead;
}

bool IsRetiredWhole(std::span<const std::uint8_t> five) {
  return five.size() >= kVdEntrySize &&
         std::all_of(five.begin(), five.begin() + kVdEntrySize, [](auto b) { return b == 0xFF; });
}

EccEntry EccEntry::Unpack(std::span<const std::uint8_t> four) {
  if (four.size() < kEccEntrySize) return {};
  return {static_cast<std::uint16_t>(four[0] << 8 | four[1]), four[2], four[3]};
}

std::array<std::uint8_t, kEccEntrySize> EccEntry::Pack() const {
  return {static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), value, marker};
}

void ApplyEccTable(std::span<const std::uint8_t> eccTable, std::uint32_t start, std::span<std::uint8_t> bytes) {
  for (std::uint32_t n = 0; n < kEccEntries && (n + 1) * kEccEntrySize <= eccTable.size(); ++n) {
    const EccEntry entry = EccEntry::Unpack(eccTable.subspan(n * kEccEntrySize, kEccEntrySize));
    if (entry.InUse() && entry.address >= start && entry.address - start < bytes.size()) {
      bytes[entry.address - start] = entry.value;
    }
  }
}

std::uint32_t UsedSpace(std::span<const std::uint8_t> vdTable) {
  auto newest = NewestNamingEntry(vdTable);
  if (!newest) return 0;
  const VdEntry entry = VdEntry::Unpack(VdAt(vdTable, *newest));
  return std::min<std::uint32_t>(std::uint32_t{entry.start} + entry.length, kCodeAreaSize);
}

std::uint32_t FreeSpace(std::span<const std::uint8_t> vdTable) { return kCodeAreaSize - UsedSpace(vdTable); }

std::uint32_t FreeEntryCount(std::span<const std::uint8_t> vdTable) {
  if (vdTable.size() < kVdTableSize) return 0;
  for (std::uint32_t i = kVdEntries; i-- > 0;) {
    if (IsNonBlankVd(VdAt(vdTable, i))) return kVdEntries - 1 - i;
  }
  return kVdEntries;
}

Block LatestBlock(std::span<const std::uint8_t> vdTable, PartKind kind) {
  if (vdTable.size() < kVdTableSize) return {};
  for (std::uint32_t i = kVdEntries; i-- > 0;) {
    const VdEntry entry = VdEntry::Unpack(VdAt(vdTable, i));
    if (entry.type != VdTypeOf(kind)) continue;
    // A block that would reach into the tables is no block of this memory.
    if (entry.length == 0 || std::uint32_t{entry.start} + entry.length > kCodeAreaSize) continue;
    return {entry.start, entry.length};
  }
  return {};
}

std::uint16_t ConsumedLength(std::uint16_t start, std::uint16_t stop, std::uint16_t length) {
  if (stop == kNoAddress || stop < start || std::uint32_t{stop} > std::uint32_t{start} + length) return length;
  return static_cast<std::uint16_t>(stop - start);
}

ProgramFailReport ProgramFailReport::Unpack(std::span<const std::uint8_t, kReportSize> bytes) {
  ProgramFailReport report;
  report.count = bytes[0];
  for (std::size_t i = 0; i < kReportSlots; ++i) {
    report.addresses[i] = static_cast<std::uint16_t>(bytes[1 + 2 * i] << 8 | bytes[2 + 2 * i]);
  }
  report.stop = static_cast<std::uint16_t>(bytes[17] << 8 | bytes[18]);
  return report;
}

std::optional<std::uint32_t> FindWrittenRun(std::span<const std::uint8_t> bytes, std::uint32_t start,
                                            std::uint32_t end) {
  std::uint32_t run = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint32_t address = start + static_cast<std::uint32_t>(i);
    if (address >= end) break;
    run = bytes[i] != 0 ? run + 1 : 0;
    if (run == 8) return address - 7;
  }
  return std::nullopt;
}

ImageParts BuildImageParts(std::span<const std::uint8_t> area) {
  ImageParts parts;
  CDescGlobal reader;
  reader.SetCopy(area);
  reader.ParseHeader();
  const ConfigHeader* header = reader.ParseHeader();
  if (header == nullptr || !header->HasSignature()) return parts;
  const std::size_t total = header->totalLength;
  // The parts are cut at fixed places: header, version and EEPROM-info records
  // in the first 15 bytes, and the small-cache code record right behind them.
  if (!reader.HasVersionRecord() || !reader.EepromInfo() || reader.Cursor() != kPartHeaderSize ||
      total < kPartHeaderSize || total > reader.CopiedBytes()) {
    return parts;
  }

  std::optional<std::size_t> codeLength;  // R
  bool others = false;
  bool layoutOk = true;
  int due = reader.RecordNumber();
  for (;;) {
    const std::size_t at = reader.Cursor();
    if (auto record = reader.NextDescriptor()) {
      --due;
      if (record->Type() == record_type::kSmallCacheCode) {
        // Exactly one code record, first after the special records.
        if (codeLength || at != kPartHeaderSize) layoutOk = false;
        codeLength = reader.Cursor() - at;
      } else {
        others = true;
      }
      continue;
    }
    if (due < 1) break;
    if (!reader.SkipRecord()) return parts;  // corrupted
  }
  if (!layoutOk || reader.Cursor() > total) return parts;
  if (codeLength && kPartHeaderSize + *codeLength > total) return parts;

  const std::uint8_t chipBits = static_cast<std::uint8_t>(header->chipCode << 3);
  if (codeLength) {
    const std::size_t r = *codeLength;
    const std::size_t length = kPartHeaderSize + r;
    std::vector<std::uint8_t> code(length, 0xFF);
    std::copy_n(area.begin(), length, code.begin());
    code[2] = chipBits | 3;
    WriteU16Le(code, 3, static_cast<std::uint16_t>(length));
    code[5] = 3;
    parts.code = std::move(code);
  }
  if (others) {
    if (codeLength) {
      const std::size_t r = *codeLength;
      const std::size_t length = total - r;
      std::vector<std::uint8_t> config(length, 0xFF);
      std::copy_n(area.begin(), kPartHeaderSize, config.begin());
      std::copy_n(area.begin() + static_cast<std::ptrdiff_t>(kPartHeaderSize + r), length - kPartHeaderSize,
                  config.begin() + kPartHeaderSize);
      config[2] = chipBits | 1;
      WriteU16Le(config, 3, static_cast<std::uint16_t>(length));
      // The records that stay: both special records and the others.
      config[5] = static_cast<std::uint8_t>(reader.RecordNumber() + 1);
      parts.config = std::move(config);
    } else {
      parts.config = std::vector<std::uint8_t>(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(total));
    }
  }
  parts.valid = true;
  return parts;
}

std::optional<std::vector<std::uint8_t>> JoinBlocks(std::span<const std::uint8_t> code,
                                                    std::span<const std::uint8_t> config) {
  if (code.empty() && config.empty()) return std::nullopt;
  if (code.empty()) return std::vector<std::uint8_t>(config.begin(), config.end());
  if (config.empty()) return std::vector<std::uint8_t>(code.begin(), code.end());
  const std::size_t total = code.size() + config.size() - kPartHeaderSize;
  if (code.size() < kPartHeaderSize || config.size() < kPartHeaderSize || total > 0xFFFF) return std::nullopt;
  CDescGlobal reader;
  reader.SetCopy(config);
  reader.ParseHeader();
  const ConfigHeader* header = reader.ParseHeader();
  if (header == nullptr) return std::nullopt;
  std::vector<std::uint8_t> image(code.begin(), code.end());
  image.insert(image.end(), config.begin() + kPartHeaderSize, config.end());
  WriteU16Le(image, 3, static_cast<std::uint16_t>(total));
  // The code record comes back besides both special records and the others.
  image[5] = static_cast<std::uint8_t>(reader.RecordNumber() + 3);
  image[2] = static_cast<std::uint8_t>(header->chipCode << 3 | 2);
  return image;
}

Usage UsageFigures(std::uint32_t used, std::uint32_t freeEntries, PerDownload perDownload) {
  Usage usage;
  usage.used = std::min(used, kCodeAreaSize);
  usage.free = kCodeAreaSize - usage.used;
  if (perDownload.bytes == 0) return usage;
  std::uint32_t bytes = usage.free;
  std::uint32_t entries = std::min(freeEntries, kVdEntries);
  while (DownloadGoesUnasked(bytes, entries, perDownload)) {
    ++usage.times;
    bytes -= perDownload.bytes;
    entries -= perDownload.entries;
  }
  return usage;
}

bool DownloadGoesUnasked(std::uint32_t freeBytes, std::uint32_t freeEntries, PerDownload perDownload) {
  return freeBytes > kAskAtFreeBytes && freeEntries > kAskAtFreeEntries && freeBytes >= perDownload.bytes &&
         freeEntries >= perDownload.entries && perDownload.bytes != 0 && perDownload.entries != 0;
}

std::string UsageLine(const Usage& usage, bool withImage) {
  if (withImage) {
    return Format("Used OTP Space: %0.2f KB Free OTP Space: %0.2f KB Remaining Programmable Times: %d.", Kb(usage.used),
                  Kb(usage.free), static_cast<int>(usage.times));
  }
  return Format("Used OTP Space: %0.2f KB, Remain OTP Space: %0.2f KB.", Kb(usage.used), Kb(usage.free));
}

std::string UsageLines(const Usage& usage) {
  return Format("Used OTP Space: %0.2f KB\nFree OTP Space: %0.2f KB\nRemaining Programmable Times: %d.", Kb(usage.used),
                Kb(usage.free), static_cast<int>(usage.times));
}

}  // namespace quillon::otp
