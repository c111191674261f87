// The chip's code memory and its physics: flash erases to 0xFF and programming
// only clears bits; EEPROM bytes are simply replaced; OTP is blank at 0x00,
// programming ORs, and cells marked as defective do not take new bits.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/chip_config.h"

namespace quillon::sim {

inline constexpr std::uint8_t BlankValue(MemoryKind kind) { return kind == MemoryKind::kOtp ? 0x00 : 0xFF; }
inline constexpr bool IsFlash(MemoryKind kind) { return kind == MemoryKind::kSpi || kind == MemoryKind::kNor; }
inline constexpr bool IsEeprom(MemoryKind kind) {
  return kind == MemoryKind::kEeprom8 || kind == MemoryKind::kEeprom16;
}

inline constexpr std::uint32_t kFlashSectorSize = 0x1000;
inline constexpr std::uint32_t kJournalRow = 64;

// The program-fail report of the last OTP programming command: how many bytes
// failed, the first eight of them, and the first address not attempted.
struct OtpReport {
  std::uint8_t failCount = 0;
  std::vector<std::uint16_t> failed;  // at most eight
  std::uint16_t stopAddress = 0;

  // The 19 bytes the chip answers: count, eight big-endian addresses, stop address.
  std::vector<std::uint8_t> Bytes() const;
};

class ChipMemory {
 public:
  ChipMemory(MemoryKind kind, std::uint32_t size);

  MemoryKind kind() const { return kind_; }
  std::uint32_t size() const { return static_cast<std::uint32_t>(bytes_.size()); }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

  bool InRange(std::uint64_t address, std::uint64_t length) const { return address + length <= bytes_.size(); }

  // Copies `out.size()` bytes from `address`; false (nothing copied) when out of range.
  bool Read(std::uint32_t address, std::span<std::uint8_t> out) const;

  // Flash programming: each byte becomes old AND new.
  bool ProgramFlash(std::uint32_t address, std::span<const std::uint8_t> data);
  // EEPROM write: bytes are replaced.
  bool WriteEeprom(std::uint32_t address, std::span<const std::uint8_t> data);
  // OTP programming: each byte becomes old OR new, except defective cells that
  // would need new bits. At failure budget + 1 it stops there (that address is
  // the stop address), else the stop address is the end of the range; the
  // report lists the first eight failures and counts them up to 255.
  OtpReport ProgramOtp(std::uint32_t address, std::span<const std::uint8_t> data, std::uint32_t budget,
                       std::span<const std::uint16_t> defective);
  // Which bytes of `data` would fail at `address`, programming nothing.
  OtpReport TestOtp(std::uint32_t address, std::span<const std::uint8_t> data,
                    std::span<const std::uint16_t> defective) const;

  // Puts bytes back as they were (a program cut short by a power loss).
  bool Restore(std::uint32_t address, std::span<const std::uint8_t> data);

  void EraseAll();
  bool EraseSector(std::uint32_t address);
  // Replaces the contents from address 0 (an off-board programmer); false when
  // `data` is larger than the memory.
  bool Load(std::span<const std::uint8_t> data);

  // The rows of kJournalRow bytes changed since the last call, in address
  // order; the session journals them so that a killed process keeps them.
  std::vector<std::uint32_t> TakeChangedRows();

 private:
  void Touch(std::uint64_t address, std::uint64_t length);

  MemoryKind kind_;
  std::vector<std::uint8_t> bytes_;
  std::vector<bool> changedRows_;
  bool anyChanged_ = false;
};

}  // namespace quillon::sim
