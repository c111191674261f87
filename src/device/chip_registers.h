// The chip's registers that the tool reads and writes itself (the 64 KB space
// of ReadMem / WriteMem), and the flash status value that protects it.
#pragma once

#include <array>
#include <cstdint>

namespace quillon {

// Two bytes naming the IC family in every state (b0, b1).
inline constexpr std::uint16_t kChipModeRegister = 0xFE21;
// Where the chip runs from while in its ROM loader (0 ROM, 8 SPI, 16 ROM&&OTP, ...).
inline constexpr std::uint16_t kExtendedModeRegister = 0xC2A8;
// Written with 0x01 just before a reset.
inline constexpr std::uint16_t kResetPrepareRegister = 0xFF92;
inline constexpr std::uint8_t kResetPrepareValue = 0x01;
// Written with 0x2A before the reset into new code of an OTP chip in its loader.
inline constexpr std::uint16_t kOtpResetRegister = 0xFFC6;
inline constexpr std::uint8_t kOtpResetValue = 0x2A;

// The register pair that drives the flash's write-protect pin: direction and
// level. The ROM loader has its own pair.
using RegisterPair = std::array<std::uint16_t, 2>;
inline constexpr RegisterPair kProtectPinRegisters = {0xFEA0, 0xFEA6};
inline constexpr RegisterPair kLoaderProtectPinRegisters = {0xFEC0, 0xFEC6};
// The second flash pin pair of the same port.
inline constexpr RegisterPair kFlashPin2Registers = {0xFEA1, 0xFEA7};

// The flash status register value that protects the whole flash.
inline constexpr std::uint8_t kProtectedStatus = 0x8C;

}  // namespace quillon
