// The chip's own rules, as pure functions of its state: which mode the loader
// starts, what the chip-mode registers read, what the status block holds and
// which image version the chip reports.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/chip_state.h"

namespace quillon::sim {

inline constexpr std::uint16_t kRegChipMode = 0xFE21;  // two bytes, 0xFE21 and 0xFE22
inline constexpr std::uint16_t kRegWhere = 0xC2A8;
inline constexpr std::uint16_t kRegOtpLock = 0xFD0C;
inline constexpr std::uint8_t kOtpLockBit = 0x08;
inline constexpr std::uint32_t kFlashTagAddress = 0xEFFE;
inline constexpr std::uint32_t kFlashConfigAddress = 0xF000;
inline constexpr std::uint32_t kEepromTagAddress = 1;
inline constexpr std::uint8_t kEepromTag = 0xA5;
inline constexpr std::uint32_t kStatusBlockSize = 256;  // 32 pieces of 8 bytes
inline constexpr std::array<std::uint8_t, 8> kSignature = {'K', 'E', 'S', 'T', 'R', 'A', 'N', 0};

// The OTP code block the chip boots: the highest VD entry of type 0x55 whose
// block lies inside the code area, its bytes with the ECC table applied.
struct OtpBoot {
  int entry = 0;
  std::uint16_t start = 0;
  std::uint16_t length = 0;
  std::vector<std::uint8_t> bytes;
};
std::optional<OtpBoot> OtpBootBlock(const ChipState& chip);
// The configuration block the chip starts with: the highest VD entry of type
// 0xAA, in the same way.
std::optional<OtpBoot> OtpConfigBlock(const ChipState& chip);

// The mode the loader starts in from the memory contents (power-up and every
// reset except the reset to update).
RunMode StartMode(const ChipState& chip);

// True when the memory holds the boot tag the flows write.
bool IsTagged(const ChipState& chip);

// SPI flash protected by its status register, or OTP locked.
bool IsProtected(const ChipState& chip);

// The 8-byte version record of the code the chip runs; nothing in the loader.
std::optional<std::array<std::uint8_t, 8>> RunningVersion(const ChipState& chip);

// "%01X.%01X%02X.%04X-%04X.%04X" of a version record.
std::string VersionText(const std::array<std::uint8_t, 8>& record);

// The status block the chip answers piece by piece.
std::array<std::uint8_t, kStatusBlockSize> StatusBlock(const ChipState& chip);

// Register byte at `address` as the chip reads it.
std::uint8_t ReadRegister(const ChipState& chip, std::uint16_t address);
// A register write; the read-only registers ignore it.
void WriteRegister(ChipState& chip, std::uint16_t address, std::uint8_t value);

// True when the flash write-protect pin is driven inactive by its register pair.
bool WriteProtectPinReleased(const ChipState& chip);

// The EEPROM's write-protect line (pin bit 1 of direction register 0xFEA1 and
// level register 0xFEA7) is asserted when the pin drives it high, or when the
// pin is an input and the board pulls the line up.
inline constexpr std::uint16_t kRegEepromPinDirection = 0xFEA1;
inline constexpr std::uint16_t kRegEepromPinLevel = 0xFEA7;
inline constexpr std::uint8_t kEepromPinBit = 0x02;
bool EepromWriteProtected(const ChipState& chip);

}  // namespace quillon::sim
