// The extension unit's command table: for each command its 8-byte template, the
// name of its lock scope and the texts its failure reports carry. The template's
// bytes 2..7 are the parameters p1, p2, p3 (16 bits each, little-endian) that the
// command sequence writes in; opcode bit 7 marks a data phase and bit 6 data to
// the host.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

using CommandBlock = std::array<std::uint8_t, 8>;

enum class XuOp : std::uint8_t {
  kGetDevStatus,
  kResetToUpdateFW,
  kResetToNewCode,
  kResetToRom,
  kReadIMem,
  kReadMem,
  kWriteMem,
  kReadCode,
  kReadPhy,
  kWritePhy,
  kNorFlashErase,
  kNorFlashRead,
  kNorFlashWrite,
  kNorFlashWriteTag,
  kSpiReadId,
  kSpiRead,
  kSpiWrite,
  kSpiReadSr,
  kSpiWriteSr,
  kSpiEraseChip,
  kSpiEraseSector,
  kSpiWriteTag,
  kEep8Erase,
  kEep8Read,
  kEep8Write,
  kEep16Erase,
  kEep16Read,
  kEep16Write,
  kI2CReadSlave,
  kI2CReadRegister,
  kI2CWriteSlave,
  kI2CWriteRegister,
  kI2CGenRead,
  kI2CGenWrite,
  kI2CRandomRead,
  kI2CRandomWrite,
  kI2CSuperRead,
  kI2CSuperWrite,
  kI2CLongRead,
  kI2CLongWrite,
  kOtpWrite,
  kOtpRead,
  kOtpBlankCheck,
  kOtpAllBlankCheck,
  kOtpReadProgramFailAdr,
  kOtpTestDec,
  kOtpWriteTest,
  kChangeDataControlSize,
  kDevQualify,
  kAbort,
  kCount,
};

// How the value of a data-phase failure text is written.
enum class DataArg : std::uint8_t {
  kNone,       // the text alone
  kHex,        // " 0x%X"
  kHexLower,   // " 0x%x"
  kSlave,      // " SlaveAddr=0x%02X"
  kAddr,       // " Addr=0x%02X"
};

struct XuCommandRow {
  XuOp op;
  std::string_view lockName;
  CommandBlock block;
  std::string_view setCmdText;  // empty: reported with an empty prefix
  std::string_view dataText;    // empty: reported with an empty prefix
  DataArg dataArg;
  bool addDone;  // the text's value is the base plus the bytes moved before the failure
};

// clang-format off
inline constexpr std::array<XuCommandRow, static_cast<std::size_t>(XuOp::kCount)> kXuCommands = {{
  {XuOp::kGetDevStatus, "CExtUnitBase::GetDevStatus", {0x00, 0xCD, 0, 0, 0x08, 0, 0, 0}, "GetDevStatus SetCmd", "GetDevStatus GetData", DataArg::kNone, false},
  {XuOp::kResetToUpdateFW, "CExtUnitBase::ResetToUpdateFW", {0x00, 0x07, 0, 0, 0, 0, 0, 0}, "ResetToUpdateFW SetCmd", "", DataArg::kNone, false},
  {XuOp::kResetToNewCode, "CExtUnitBase::ResetToNewCode", {0x00, 0x08, 0, 0, 0, 0, 0, 0}, "", "", DataArg::kNone, false},
  {XuOp::kResetToRom, "CExtUnitBase::ResetToRom", {0x00, 0x09, 0, 0, 0, 0, 0, 0}, "ResetToRom SetCmd", "", DataArg::kNone, false},
  {XuOp::kReadIMem, "CExtUnitBase::ReadIMem", {0x00, 0xC1, 0, 0, 0, 0, 0, 0}, "ReadIMem SetCmd", "ReadIMem GetData", DataArg::kHex, true},
  {XuOp::kReadMem, "CExtUnitBase::ReadMem", {0x00, 0xC2, 0, 0, 0, 0, 0, 0}, "ReadMem SetCmd", "ReadMem GetData", DataArg::kHex, true},
  {XuOp::kWriteMem, "CExtUnitBase::WriteMem", {0x00, 0x82, 0, 0, 0, 0, 0, 0}, "WriteMem SetCmd", "WriteMem SetData", DataArg::kHex, true},
  {XuOp::kReadCode, "CExtUnitBase::ReadCode", {0x00, 0xC3, 0, 0, 0, 0, 0, 0}, "ReadCode SetCmd", "ReadCode GetData", DataArg::kHex, true},
  {XuOp::kReadPhy, "CExtUnitBase::ReadPhy", {0x00, 0xCC, 0, 0, 0x01, 0, 0, 0}, "ReadPhy SetCmd", "ReadPhy GetData", DataArg::kHex, false},
  {XuOp::kWritePhy, "CExtUnitBase::WritePhy", {0x00, 0x8C, 0, 0, 0x01, 0, 0, 0}, "WritePhy SetCmd", "WritePhy SetData", DataArg::kHex, false},
  {XuOp::kNorFlashErase, "CExtUnitBase::NorFlash_Erase", {0x00, 0x04, 0, 0, 0, 0, 0, 0}, "EraseFlash SetCmd", "", DataArg::kNone, false},
  {XuOp::kNorFlashRead, "CExtUnitBase::NorFlash_Read", {0x00, 0xC5, 0, 0, 0, 0, 0, 0}, "NorFlash_Read SetCmd", "NorFlash_Read GetData", DataArg::kHex, true},
  {XuOp::kNorFlashWrite, "CExtUnitBase::NorFlash_Write", {0x00, 0x85, 0, 0, 0, 0, 0, 0}, "WriteFlash SetCmd", "", DataArg::kNone, false},
  {XuOp::kNorFlashWriteTag, "CExtUnitBase::NorFlash_WriteTag", {0x00, 0x06, 0, 0, 0, 0, 0, 0}, "NorFlash_WriteTag SetCmd", "", DataArg::kNone, false},
  {XuOp::kSpiReadId, "CExtUnitBase::SPI_SF_ReadID", {0x02, 0xC1, 0, 0, 0x08, 0, 0, 0}, "SPI_SF_ReadID SetCmd failed", "SPI_SF_ReadID GetData", DataArg::kNone, false},
  {XuOp::kSpiRead, "CExtUnitBase::SPI_SF_Read", {0x02, 0xC2, 0, 0, 0, 0, 0, 0}, "SPI_SF_Read SetCmd", "SPI_SF_Read GetData", DataArg::kHex, true},
  {XuOp::kSpiWrite, "CExtUnitBase::SPI_SF_Write", {0x02, 0x82, 0, 0, 0, 0, 0, 0}, "SPI_SF_Write SetCmd", "", DataArg::kNone, false},
  {XuOp::kSpiReadSr, "CExtUnitBase::SPI_SF_ReadSr", {0x02, 0xC3, 0, 0, 0x01, 0, 0, 0}, "SPI_SF_ReadSr SetCmd", "SPI_SF_ReadSr GetData", DataArg::kNone, false},
  {XuOp::kSpiWriteSr, "CExtUnitBase::SPI_SF_WriteSr", {0x02, 0x83, 0, 0, 0x01, 0, 0, 0}, "SPI_SF_WriteSr SetCmd", "", DataArg::kNone, false},
  {XuOp::kSpiEraseChip, "CExtUnitBase::SPI_SF_EraseChip", {0x02, 0x04, 0, 0, 0, 0, 0, 0}, "SPI_SF_EraseChip SetCmd", "", DataArg::kNone, false},
  {XuOp::kSpiEraseSector, "CExtUnitBase::SPI_SF_EraseSector", {0x02, 0x05, 0, 0, 0, 0, 0, 0}, "SPI_SF_EraseSector SetCmd", "", DataArg::kNone, false},
  {XuOp::kSpiWriteTag, "CExtUnitBase::SPI_SF_WriteTag", {0x02, 0x13, 0, 0, 0, 0, 0, 0}, "SPI_SF_WriteTag SetCmd", "", DataArg::kNone, false},
  {XuOp::kEep8Erase, "CExtUnitBase::I2C_EEP8_Erase", {0x02, 0x8B, 0, 0, 0, 0, 0, 0}, "I2C_EEP8_Write SetCmd", "I2C_EEP8_Write SetData", DataArg::kHex, true},
  {XuOp::kEep8Read, "CExtUnitBase::I2C_EEP8_Read", {0x02, 0xCB, 0, 0, 0, 0, 0, 0}, "I2C_EEP8_Read SetCmd", "I2C_EEP8_Read GetData", DataArg::kHex, true},
  {XuOp::kEep8Write, "CExtUnitBase::I2C_EEP8_Write", {0x02, 0x8B, 0, 0, 0, 0, 0, 0}, "I2C_EEP8_Write SetCmd", "I2C_EEP8_Write SetData", DataArg::kHex, true},
  {XuOp::kEep16Erase, "CExtUnitBase::I2C_EEP16_Erase", {0x02, 0x91, 0, 0, 0, 0, 0, 0}, "I2C_EEP16_Write SetCmd", "I2C_EEP16_Write SetData", DataArg::kHex, true},
  {XuOp::kEep16Read, "CExtUnitBase::I2C_EEP16_Read", {0x02, 0xD1, 0, 0, 0, 0, 0, 0}, "I2C_EEP16_Read SetCmd", "I2C_EEP16_Read GetData", DataArg::kHex, true},
  {XuOp::kEep16Write, "CExtUnitBase::I2C_EEP16_Write", {0x02, 0x91, 0, 0, 0, 0, 0, 0}, "I2C_EEP16_Write SetCmd", "I2C_EEP16_Write SetData", DataArg::kHex, true},
  {XuOp::kI2CReadSlave, "CExtUnitBase::I2CRead", {0x00, 0xEA, 0, 0, 0, 0, 0, 0}, "I2CRead SetCmd", "I2CRead GetData", DataArg::kSlave, false},
  {XuOp::kI2CReadRegister, "CExtUnitBase::I2CRead", {0x00, 0xCA, 0, 0, 0x02, 0, 0, 0}, "I2CRead SetCmd", "I2CRead GetData", DataArg::kHex, true},
  {XuOp::kI2CWriteSlave, "CExtUnitBase::I2CWrite", {0x00, 0xAA, 0, 0, 0, 0, 0, 0}, "I2CWrite SetCmd", "I2CWrite SetData", DataArg::kSlave, false},
  {XuOp::kI2CWriteRegister, "CExtUnitBase::I2CWrite", {0x00, 0x8A, 0, 0, 0x02, 0, 0, 0}, "I2CWrite SetCmd", "I2CWrite SetData", DataArg::kHex, true},
  {XuOp::kI2CGenRead, "CExtUnitBase::I2CGenRead", {0x00, 0xEA, 0, 0, 0, 0, 0, 0}, "I2CGenRead SetCmd", "I2CGenRead GetData", DataArg::kAddr, true},
  {XuOp::kI2CGenWrite, "CExtUnitBase::I2CGenWrite", {0x00, 0xAA, 0, 0, 0, 0, 0, 0}, "I2CGenWrite", "I2CGenWrite SetData", DataArg::kAddr, true},
  {XuOp::kI2CRandomRead, "CExtUnitBase::I2CRandomRead", {0x00, 0xF1, 0, 0, 0, 0, 0, 0}, "I2CRandomRead SetCmd", "I2CRandomRead GetData", DataArg::kSlave, false},
  {XuOp::kI2CRandomWrite, "CExtUnitBase::I2CRandomWrite", {0x00, 0xB1, 0, 0, 0, 0, 0, 0}, "I2CRandomWrite", "I2CRandomWrite SetData", DataArg::kSlave, false},
  {XuOp::kI2CSuperRead, "CExtUnitBase::I2CSuperRead", {0x00, 0xF2, 0x08, 0, 0, 0, 0, 0}, "I2CSuperRead SetCmd", "I2CSuperRead GetData", DataArg::kSlave, true},
  {XuOp::kI2CSuperWrite, "CExtUnitBase::I2CSuperWrite", {0x00, 0xB2, 0x08, 0, 0, 0, 0, 0}, "I2CSuperWrite", "I2CSuperWrite SetData", DataArg::kSlave, true},
  {XuOp::kI2CLongRead, "CExtUnitBase::I2CLongRead", {0x00, 0xF0, 0, 0, 0, 0, 0, 0}, "I2CLongRead", "I2CLongRead GetData", DataArg::kHexLower, true},
  {XuOp::kI2CLongWrite, "CExtUnitBase::I2CLongWrite", {0x00, 0xB0, 0, 0, 0, 0, 0, 0}, "I2CLongWrite", "I2CLongWrite SetData", DataArg::kHexLower, true},
  {XuOp::kOtpWrite, "CExtUnitBase::OTP_Write", {0x02, 0x97, 0, 0, 0, 0, 0, 0}, "OTPWrite SetCmd", "OTPWrite SetData", DataArg::kHex, true},
  {XuOp::kOtpRead, "CExtUnitBase::OTP_Read", {0x02, 0xD7, 0, 0, 0, 0, 0, 0}, "OTPRead SetCmd", "OTPRead GetData", DataArg::kHex, true},
  {XuOp::kOtpBlankCheck, "CExtUnitBase::OTP_BlankCheck", {0x02, 0xD8, 0, 0, 0, 0, 0, 0}, "OTPBlankCheck SetCmd", "OTPBlankCheck GetData", DataArg::kHex, true},
  {XuOp::kOtpAllBlankCheck, "CExtUnitBase::OTP_AllBlankCheck", {0x02, 0xDF, 0, 0, 0x08, 0, 0, 0}, "OTPAllBlankCheck SetCmd", "OTPAllBlankCheck GetData", DataArg::kHex, true},
  {XuOp::kOtpReadProgramFailAdr, "CExtUnitBase::OTP_ReadProgramFailAdr", {0x02, 0xDC, 0, 0, 0x13, 0, 0, 0}, "OTPPrgmFailAddr SetCmd", "OTPPrgmFailAddr GetData", DataArg::kHex, true},
  {XuOp::kOtpTestDec, "CExtUnitBase::OTPTestDec", {0x02, 0xD9, 0, 0, 0, 0, 0, 0}, "OTPTestDec SetCmd", "OTPTestDec GetData", DataArg::kHexLower, true},
  {XuOp::kOtpWriteTest, "CExtUnitBase::OTPWriteTest", {0x02, 0x9A, 0, 0, 0, 0, 0, 0}, "OTPWriteST SetCmd", "OTPWriteST SetData", DataArg::kHexLower, true},
  {XuOp::kChangeDataControlSize, "CExtUnit::ChangeDataControlSize", {0x00, 0x16, 0, 0, 0, 0, 0, 0}, "ChangeDataControlSize SetCmd", "", DataArg::kNone, false},
  {XuOp::kDevQualify, "CExtUnitBase::DevQualify", {0x00, 0xD0, 0, 0, 0x08, 0, 0, 0}, "DevQualify SetCmd", "DevQualify GetData", DataArg::kNone, false},
  {XuOp::kAbort, "", {0xFF, 0, 0, 0, 0, 0, 0, 0}, "", "", DataArg::kNone, false},
}};
// clang-format on

constexpr const XuCommandRow& XuCommand(XuOp op) { return kXuCommands[static_cast<std::size_t>(op)]; }

// The template with p1, p2, p3 written in where given.
constexpr CommandBlock BuildCommandBlock(const CommandBlock& block, std::optional<std::uint16_t> p1 = std::nullopt,
                                         std::optional<std::uint16_t> p2 = std::nullopt,
                                         std::optional<std::uint16_t> p3 = std::nullopt) {
  CommandBlock out = block;
  const std::optional<std::uint16_t> params[3] = {p1, p2, p3};
  for (std::size_t i = 0; i < 3; ++i) {
    if (!params[i]) continue;
    out[2 + 2 * i] = static_cast<std::uint8_t>(*params[i] & 0xFF);
    out[3 + 2 * i] = static_cast<std::uint8_t>(*params[i] >> 8);
  }
  return out;
}

constexpr bool HasDataPhase(const CommandBlock& block) { return (block[1] & 0x80) != 0; }
constexpr bool DataToHost(const CommandBlock& block) { return (block[1] & 0xC0) == 0xC0; }

// The prefix a data-phase failure is reported with: the row's text and its value.
std::string DataFailureText(const XuCommandRow& row, std::uint32_t base, std::uint32_t done);

// The name of a status code of the command status answer.
std::string_view StatusCodeName(std::uint8_t code);

}  // namespace quillon
