// The one-time-programmable memory as data: where the blocks, the block table
// (VD table) and the correction table (ECC table) lie, how their entries are
// packed, and the pure rules built on them (usage figures, the newest block of
// a kind, the correction of read-back bytes, the program-fail report, the image
// parts and their reassembly). The flows do the device work around these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon::otp {

inline constexpr std::uint32_t kCodeAreaSize = 16224;  // 0x3F60: blocks from address 0
inline constexpr std::uint32_t kVdTable = 0x3F70;
inline constexpr std::uint32_t kVdEntries = 16;
inline constexpr std::uint32_t kVdEntrySize = 5;
inline constexpr std::uint32_t kVdTableSize = kVdEntries * kVdEntrySize;  // 80
inline constexpr std::uint32_t kEccTable = 0x3FC0;
inline constexpr std::uint32_t kEccEntries = 16;
inline constexpr std::uint32_t kEccEntrySize = 4;
inline constexpr std::uint32_t kEccTableSize = kEccEntries * kEccEntrySize;  // 64
inline constexpr std::uint32_t kReportSize = 19;
inline constexpr std::uint32_t kReportSlots = 8;
inline constexpr std::uint16_t kNoAddress = 0xFFFF;
inline constexpr std::uint32_t kLockRegister = 0xFD0C;
inline constexpr std::uint8_t kLockBit = 0x08;
inline constexpr std::uint8_t kTableMode = 8;  // mode word of every table write
inline constexpr std::size_t kPartHeaderSize = 15;  // area header, version and EEPROM-info records

// A download is asked about (and in the batch mode refused) when no more
// than these bytes of the code area or these VD entries are free.
inline constexpr std::uint32_t kAskAtFreeBytes = 5120;
inline constexpr std::uint32_t kAskAtFreeEntries = 4;

// VD entry types.
inline constexpr std::uint8_t kTypeCode = 0x55;
inline constexpr std::uint8_t kTypeConfig = 0xAA;
inline constexpr std::uint8_t kTypeDead = 0xFF;
// ECC entry markers.
inline constexpr std::uint8_t kMarkerInUse = 0x5A;
inline constexpr std::uint8_t kMarkerInvalid = 0xFF;

// Address of VD entry i (0..15) and of ECC entry n (1..16).
constexpr std::uint32_t VdEntryAddress(std::uint32_t i) { return kVdTable + kVdEntrySize * i; }
constexpr std::uint32_t EccEntryAddress(std::uint32_t n) { return kEccTable - kEccEntrySize + kEccEntrySize * n; }
constexpr std::uint32_t EccMarkerAddress(std::uint32_t n) { return EccEntryAddress(n) + 3; }

enum class PartKind : std::uint8_t { Config = 0, Code = 1 };
constexpr std::uint8_t VdTypeOf(PartKind kind) { return kind == PartKind::Code ? kTypeCode : kTypeConfig; }

struct VdEntry {
  std::uint16_t start = 0;
  std::uint16_t length = 0;
  std::uint8_t type = 0;

  static VdEntry Unpack(std::span<const std::uint8_t> five);
  std::array<std::uint8_t, kVdEntrySize> Pack() const;
  bool operator==(const VdEntry&) const = default;
};
// All five bytes 0: free.
bool IsBlankVd(std::span<const std::uint8_t> five);
// Type 0x55, 0xAA or 0xFF: counts for the space figures.
bool IsNonBlankVd(std::span<const std::uint8_t> five);
// All five bytes 0xFF: retired whole, so it names no area.
bool IsRetiredWhole(std::span<const std::uint8_t> five);

struct EccEntry {
  std::uint16_t address = 0;
  std::uint8_t value = 0;
  std::uint8_t marker = 0;

  static EccEntry Unpack(std::span<const std::uint8_t> four);
  std::array<std::uint8_t, kEccEntrySize> Pack() const;
  bool InUse() const { return marker == kMarkerInUse; }
  bool Blank() const { return address == 0 && value == 0 && marker == 0; }
  bool operator==(const EccEntry&) const = default;
};

// The ECC table (64 bytes) applied to `bytes`, which hold OTP addresses
// start .. start + size - 1: each in-use entry inside replaces its byte, in
// table order (a later entry wins).
void ApplyEccTable(std::span<const std::uint8_t> eccTable, std::uint32_t start, std::span<std::uint8_t> bytes);

// Space figures from the VD table (80 bytes). The newest entry that names an
// area is the highest non-blank one that was not retired whole; the bytes in
// use are where it ends, never more than the code area.
std::uint32_t UsedSpace(std::span<const std::uint8_t> vdTable);
std::uint32_t FreeSpace(std::span<const std::uint8_t> vdTable);
// Entries above the highest non-blank one (16 when all are blank).
std::uint32_t FreeEntryCount(std::span<const std::uint8_t> vdTable);

struct Block {
  std::uint16_t start = 0;
  std::uint16_t length = 0;
  bool operator==(const Block&) const = default;
};
// The newest live block of a kind: the highest entry of that type (0, 0 when none).
Block LatestBlock(std::span<const std::uint8_t> vdTable, PartKind kind);

// Bytes a failed write consumed from `start`: up to the stop address when it
// lies inside the part, else the whole part.
std::uint16_t ConsumedLength(std::uint16_t start, std::uint16_t stop, std::uint16_t length);

struct ProgramFailReport {
  std::uint8_t count = 0;
  std::array<std::uint16_t, kReportSlots> addresses{};
  std::uint16_t stop = 0;

  static ProgramFailReport Unpack(std::span<const std::uint8_t, kReportSize> bytes);
};

// Where a run of 8 non-zero bytes starts in `bytes` (read from `start`),
// counting only runs that end before `end`; nothing when there is none.
std::optional<std::uint32_t> FindWrittenRun(std::span<const std::uint8_t> bytes, std::uint32_t start,
                                            std::uint32_t end);

// The two parts an image's configuration area is programmed as. Each is
// present only when the area has what it needs; `valid` is false when the area
// cannot be split safely (no signature, corrupted records, a layout the parts
// cannot be cut from).
struct ImageParts {
  bool valid = false;
  std::optional<std::vector<std::uint8_t>> code;
  std::optional<std::vector<std::uint8_t>> config;
};
// `area` starts at the configuration header.
ImageParts BuildImageParts(std::span<const std::uint8_t> area);

// The image read back from the newest code and configuration blocks: one block
// as it is, or both joined with the header patched. Nothing when both are
// empty or their lengths do not allow the join.
std::optional<std::vector<std::uint8_t>> JoinBlocks(std::span<const std::uint8_t> code,
                                                    std::span<const std::uint8_t> config);

// The usage figures and their texts.
struct Usage {
  std::uint32_t used = 0;
  std::uint32_t free = 0;
  std::uint32_t times = 0;
};
// One download of an image consumes `bytes` of the code area and `entries` VD
// entries (one per part); `bytes` 0: no image, no times.
struct PerDownload {
  std::uint32_t bytes = 0;
  std::uint32_t entries = 1;
};
// Whether a download of that size goes on without a question: its parts fit,
// and more than kAskAtFreeBytes and kAskAtFreeEntries are free.
bool DownloadGoesUnasked(std::uint32_t freeBytes, std::uint32_t freeEntries, PerDownload perDownload);
// The times are the downloads that will go one after the other without a
// question, as the batch mode takes them.
Usage UsageFigures(std::uint32_t used, std::uint32_t freeEntries, PerDownload perDownload);
// The device-information line; without an image the two-value form.
std::string UsageLine(const Usage& usage, bool withImage);
// The command line's form, one figure a line.
std::string UsageLines(const Usage& usage);

}  // namespace quillon::otp
