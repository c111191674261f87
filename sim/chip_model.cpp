#include "sim/chip_model.h"

#include <algorithm>
#include <cstdio>

namespace quillon::sim {
namespace {

constexpr std::uint32_t kOtpVdTable = 0x3F70;
constexpr std::uint32_t kOtpEccTable = 0x3FC0;
constexpr std::uint32_t kOtpCodeArea = 0x3F60;
constexpr std::uint8_t kStatusRunning = 0x31;
constexpr std::uint8_t kSrBlockProtect = 0x1C;

std::uint8_t At(const ChipState& chip, std::uint32_t address) {
  std::uint8_t value = BlankValue(chip.config.memory);
  chip.memory.Read(address, {&value, 1});
  return value;
}

bool IsFlashHeader(std::uint8_t type) { return type == 0x30 || type == 0x55 || type == 0x61; }

struct VdEntry {
  std::uint16_t start;
  std::uint16_t length;
  std::uint8_t type;
};

VdEntry ReadVd(const ChipState& chip, int index) {
  const std::uint32_t at = kOtpVdTable + 5 * static_cast<std::uint32_t>(index);
  return {static_cast<std::uint16_t>(At(chip, at) << 8 | At(chip, at + 1)),
          static_cast<std::uint16_t>(At(chip, at + 2) << 8 | At(chip, at + 3)), At(chip, at + 4)};
}

bool IsLiveBlock(const VdEntry& entry, std::uint8_t type) {
  return entry.type == type && entry.length > 0 && static_cast<std::uint32_t>(entry.start) + entry.length <= kOtpCodeArea;
}

}  // namespace

namespace {

// The newest block of a type whose block lies inside the code area, its bytes
// with the ECC table applied (in table order; a later entry for the same byte wins).
std::optional<OtpBoot> NewestOtpBlock(const ChipState& chip, std::uint8_t type) {
  if (chip.config.memory != MemoryKind::kOtp) return std::nullopt;
  for (int i = 15; i >= 0; --i) {
    const VdEntry entry = ReadVd(chip, i);
    if (!IsLiveBlock(entry, type)) continue;
    OtpBoot boot{i, entry.start, entry.length, std::vector<std::uint8_t>(entry.length, 0)};
    chip.memory.Read(entry.start, boot.bytes);
    for (std::uint32_t n = 0; n < 16; ++n) {
      const std::uint32_t at = kOtpEccTable + 4 * n;
      if (At(chip, at + 3) != 0x5A) continue;
      const std::uint32_t address = static_cast<std::uint32_t>(At(chip, at) << 8 | At(chip, at + 1));
      if (address >= entry.start && address - entry.start < entry.length) boot.bytes[address - entry.start] = At(chip, at + 2);
    }
    return boot;
  }
  return std::nullopt;
}

}  // namespace

std::optional<OtpBoot> OtpBootBlock(const ChipState& chip) { return NewestOtpBlock(chip, 0x55); }

std::optional<OtpBoot> OtpConfigBlock(const ChipState& chip) { return NewestOtpBlock(chip, 0xAA); }

RunMode StartMode(const ChipState& chip) {
  switch (chip.config.memory) {
    case MemoryKind::kSpi:
      if (At(chip, kFlashTagAddress) == 0x55 && At(chip, kFlashTagAddress + 1) == 0xAA &&
          chip.memory.InRange(kFlashTagAddress, 2)) {
        return RunMode::kCode;
      }
      if (chip.memory.InRange(kFlashConfigAddress, 2) && At(chip, kFlashConfigAddress) == 0x55 &&
          At(chip, kFlashConfigAddress + 1) == 0xA5) {
        return RunMode::kCode;
      }
      if (chip.memory.InRange(0, 2) && IsFlashHeader(At(chip, 0)) && At(chip, 1) == 0xA5) return RunMode::kRomConfig;
      return RunMode::kLoader;
    case MemoryKind::kNor:
      return chip.norTagged ? RunMode::kCode : RunMode::kLoader;
    case MemoryKind::kEeprom8:
    case MemoryKind::kEeprom16:
      return chip.memory.InRange(kEepromTagAddress, 1) && At(chip, kEepromTagAddress) == kEepromTag ? RunMode::kCode
                                                                                                   : RunMode::kLoader;
    case MemoryKind::kOtp:
      return OtpBootBlock(chip) ? RunMode::kOtpCode : RunMode::kLoader;
  }
  return RunMode::kLoader;
}

bool IsTagged(const ChipState& chip) {
  switch (chip.config.memory) {
    case MemoryKind::kSpi:
      return chip.memory.InRange(kFlashTagAddress, 2) && At(chip, kFlashTagAddress) == 0x55 &&
             At(chip, kFlashTagAddress + 1) == 0xAA;
    case MemoryKind::kNor:
      return chip.norTagged;
    case MemoryKind::kEeprom8:
    case MemoryKind::kEeprom16:
      return chip.memory.InRange(kEepromTagAddress, 1) && At(chip, kEepromTagAddress) == kEepromTag;
    case MemoryKind::kOtp:
      return false;
  }
  return false;
}

bool IsProtected(const ChipState& chip) {
  if (chip.config.memory == MemoryKind::kSpi) return (chip.statusRegister & kSrBlockProtect) != 0;
  if (chip.config.memory == MemoryKind::kOtp) return (chip.otpLock & kOtpLockBit) != 0;
  return false;
}

std::optional<std::array<std::uint8_t, 8>> RunningVersion(const ChipState& chip) {
  if (chip.mode == RunMode::kLoader) return std::nullopt;
  std::array<std::uint8_t, 8> record{};
  if (chip.mode == RunMode::kOtpCode) {
    // OTP keeps no image code header; the code block it boots may carry the
    // small image's record at its usual offset.
    auto boot = OtpBootBlock(chip);
    if (boot && boot->bytes.size() >= 0x11B + 8) std::copy_n(boot->bytes.begin() + 0x11B, 8, record.begin());
    return record;
  }
  chip.memory.Read(chip.memory.size() >= 0x10000 ? 0x100C : 0x11B, record);
  return record;
}

std::string VersionText(const std::array<std::uint8_t, 8>& r) {
  char text[40];
  std::snprintf(text, sizeof text, "%01X.%01X%02X.%04X-%04X.%04X", r[0] >> 4, r[0] & 0xF, r[1], r[2] * 256 + r[3],
                r[4] * 256 + r[5], r[6] * 256 + r[7]);
  return text;
}

std::array<std::uint8_t, kStatusBlockSize> StatusBlock(const ChipState& chip) {
  std::array<std::uint8_t, kStatusBlockSize> block{};
  block[4] = 0x00;  // ROM version word 0x0100
  block[5] = 0x01;
  std::copy(kSignature.begin(), kSignature.end(), block.begin() + 24);
  if (auto version = RunningVersion(chip)) {
    const auto& r = *version;
    block[72] = kStatusRunning;
    const std::uint8_t swapped[8] = {r[3], r[2], r[1], r[0], r[7], r[6], r[5], r[4]};
    std::copy(std::begin(swapped), std::end(swapped), block.begin() + 76);
    std::copy(r.begin(), r.end(), block.begin() + 128 + 12);
  }
  return block;
}

std::uint8_t ReadRegister(const ChipState& chip, std::uint16_t address) {
  switch (address) {
    case kRegChipMode: return static_cast<std::uint8_t>(0x10 | (chip.config.variant & 0x0F));
    case kRegChipMode + 1: return FamilyInfo(chip.config.ic).modeHigh;
    case kRegWhere: return static_cast<std::uint8_t>(chip.mode);
    case kRegOtpLock: return chip.otpLock;
    default: break;
  }
  auto it = chip.registers.find(address);
  return it == chip.registers.end() ? 0x00 : it->second;
}

void WriteRegister(ChipState& chip, std::uint16_t address, std::uint8_t value) {
  switch (address) {
    case kRegChipMode:
    case kRegChipMode + 1:
    case kRegWhere:
      return;  // read-only
    case kRegOtpLock:
      chip.otpLock = static_cast<std::uint8_t>((chip.otpLock & kOtpLockBit) | value);  // the lock never clears
      return;
    default:
      chip.registers[address] = value;
  }
}

bool WriteProtectPinReleased(const ChipState& chip) {
  const IcFamilyInfo& family = FamilyInfo(chip.config.ic);
  return (ReadRegister(chip, family.pinDirection) & 0x01) != 0 && (ReadRegister(chip, family.pinLevel) & 0x01) != 0;
}

bool EepromWriteProtected(const ChipState& chip) {
  if (chip.config.memory != MemoryKind::kEeprom8 && chip.config.memory != MemoryKind::kEeprom16) return false;
  const bool output = (ReadRegister(chip, kRegEepromPinDirection) & kEepromPinBit) != 0;
  if (output) return (ReadRegister(chip, kRegEepromPinLevel) & kEepromPinBit) != 0;
  return chip.faults.wpPulledUp;
}

}  // namespace quillon::sim
