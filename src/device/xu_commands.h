// The extension unit's command table: for each operation it carries, the
// 8-byte template, how the operation's arguments fill the parameter fields
// (p1, p2, p3 at bytes 2..7), the name of its lock scope and the texts its
// failure reports carry. Opcode bit 7 marks a data phase and bit 6 data to the
// host.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/vendor_ops.h"
#include "proxy/vendor_wire.h"

namespace quillon {

// How an operation's arguments (at: address, slave, piece index or value;
// length; extra) fill the template's parameter fields.
enum class Form : std::uint8_t {
  kNone,        // the template alone
  kValue,       // p1 = at
  kPiece,       // p1 = at (piece index), p2 = 8
  kSize,        // p2 = length (the data-control size asked for)
  kAddr16,      // p1 = at (low 16 bits), p2 = length
  kAddr32,      // p1 = at low 16 bits, p2 = length, p3 = at high 16 bits
  kAddrExtra,   // p1 = at (low 16 bits), p2 = length, p3 = extra
  kLengthInP3,  // p1 = at, p2 = 8, p3 = length
  kPerByte,     // one command per byte: p1 = at + i, the template's length of 1 stays
};

// How the value of a data-phase failure text is written.
enum class DataArg : std::uint8_t {
  kNone,       // the text alone
  kHex,        // " 0x%X"
  kHexLower,   // " 0x%x"
  kSlave,      // " SlaveAddr=0x%02X"
  kAddr,       // " Addr=0x%02X"
};

// Which value the data-phase failure text carries.
enum class TextValue : std::uint8_t {
  kAt,          // the command's address (or slave)
  kAtPlusDone,  // where the transfer stopped
  kDone,        // the bytes moved before the failure
};

struct XuCommandRow {
  VendorOp op;
  std::string_view lockName;
  CommandBlock block;
  Form form;
  std::string_view setCmdText;  // empty: reported with an empty prefix
  std::string_view dataText;    // empty: reported with an empty prefix
  DataArg dataArg;
  TextValue textValue;
};

// clang-format off
inline constexpr std::array<XuCommandRow, 50> kXuCommands = {{
  {VendorOp::kGetDevStatus, "CExtUnitBase::GetDevStatus", kStatusPieceBlock, Form::kPiece, "GetDevStatus SetCmd", "GetDevStatus GetData", DataArg::kNone, TextValue::kAt},
  {VendorOp::kResetToUpdateFW, "CExtUnitBase::ResetToUpdateFW", {0x00, 0x07, 0, 0, 0, 0, 0, 0}, Form::kValue, "ResetToUpdateFW SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kResetToNewCode, "CExtUnitBase::ResetToNewCode", {0x00, 0x08, 0, 0, 0, 0, 0, 0}, Form::kValue, "", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kResetToRom, "CExtUnitBase::ResetToRom", {0x00, 0x09, 0, 0, 0, 0, 0, 0}, Form::kNone, "ResetToRom SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kReadIMem, "CExtUnitBase::ReadIMem", {0x00, 0xC1, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "ReadIMem SetCmd", "ReadIMem GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kReadMem, "CExtUnitBase::ReadMem", {0x00, 0xC2, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "ReadMem SetCmd", "ReadMem GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kWriteMem, "CExtUnitBase::WriteMem", {0x00, 0x82, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "WriteMem SetCmd", "WriteMem SetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kReadCode, "CExtUnitBase::ReadCode", {0x00, 0xC3, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "ReadCode SetCmd", "ReadCode GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kReadPhy, "CExtUnitBase::ReadPhy", {0x00, 0xCC, 0, 0, 0x01, 0, 0, 0}, Form::kPerByte, "ReadPhy SetCmd", "ReadPhy GetData", DataArg::kHex, TextValue::kAt},
  {VendorOp::kWritePhy, "CExtUnitBase::WritePhy", {0x00, 0x8C, 0, 0, 0x01, 0, 0, 0}, Form::kPerByte, "WritePhy SetCmd", "WritePhy SetData", DataArg::kHex, TextValue::kAt},
  {VendorOp::kNorFlashErase, "CExtUnitBase::NorFlash_Erase", {0x00, 0x04, 0, 0, 0, 0, 0, 0}, Form::kNone, "EraseFlash SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kNorFlashRead, "CExtUnitBase::NorFlash_Read", {0x00, 0xC5, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "NorFlash_Read SetCmd", "NorFlash_Read GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kNorFlashWrite, "CExtUnitBase::NorFlash_Write", {0x00, 0x85, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "WriteFlash SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kNorFlashWriteTag, "CExtUnitBase::NorFlash_WriteTag", {0x00, 0x06, 0, 0, 0, 0, 0, 0}, Form::kNone, "NorFlash_WriteTag SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kSpiReadId, "CExtUnitBase::SPI_SF_ReadID", {0x02, 0xC1, 0, 0, 0x08, 0, 0, 0}, Form::kNone, "SPI_SF_ReadID SetCmd failed", "SPI_SF_ReadID GetData", DataArg::kNone, TextValue::kAt},
  {VendorOp::kSpiRead, "CExtUnitBase::SPI_SF_Read", {0x02, 0xC2, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "SPI_SF_Read SetCmd", "SPI_SF_Read GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kSpiWrite, "CExtUnitBase::SPI_SF_Write", {0x02, 0x82, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "SPI_SF_Write SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kSpiReadSr, "CExtUnitBase::SPI_SF_ReadSr", {0x02, 0xC3, 0, 0, 0x01, 0, 0, 0}, Form::kNone, "SPI_SF_ReadSr SetCmd", "SPI_SF_ReadSr GetData", DataArg::kNone, TextValue::kAt},
  {VendorOp::kSpiWriteSr, "CExtUnitBase::SPI_SF_WriteSr", {0x02, 0x83, 0, 0, 0x01, 0, 0, 0}, Form::kNone, "SPI_SF_WriteSr SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kSpiEraseChip, "CExtUnitBase::SPI_SF_EraseChip", {0x02, 0x04, 0, 0, 0, 0, 0, 0}, Form::kNone, "SPI_SF_EraseChip SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kSpiEraseSector, "CExtUnitBase::SPI_SF_EraseSector", {0x02, 0x05, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "SPI_SF_EraseSector SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kSpiWriteTag, "CExtUnitBase::SPI_SF_WriteTag", {0x02, 0x13, 0, 0, 0, 0, 0, 0}, Form::kNone, "SPI_SF_WriteTag SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kEep8Erase, "CExtUnitBase::I2C_EEP8_Erase", {0x02, 0x8B, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "I2C_EEP8_Write SetCmd", "I2C_EEP8_Write SetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kEep8Read, "CExtUnitBase::I2C_EEP8_Read", {0x02, 0xCB, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "I2C_EEP8_Read SetCmd", "I2C_EEP8_Read GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kEep8Write, "CExtUnitBase::I2C_EEP8_Write", {0x02, 0x8B, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "I2C_EEP8_Write SetCmd", "I2C_EEP8_Write SetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kEep16Erase, "CExtUnitBase::I2C_EEP16_Erase", {0x02, 0x91, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "I2C_EEP16_Write SetCmd", "I2C_EEP16_Write SetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kEep16Read, "CExtUnitBase::I2C_EEP16_Read", {0x02, 0xD1, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "I2C_EEP16_Read SetCmd", "I2C_EEP16_Read GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kEep16Write, "CExtUnitBase::I2C_EEP16_Write", {0x02, 0x91, 0, 0, 0, 0, 0, 0}, Form::kAddr32, "I2C_EEP16_Write SetCmd", "I2C_EEP16_Write SetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kI2CReadSlave, "CExtUnitBase::I2CRead", {0x00, 0xEA, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CRead SetCmd", "I2CRead GetData", DataArg::kSlave, TextValue::kAt},
  {VendorOp::kI2CReadRegister, "CExtUnitBase::I2CRead", {0x00, 0xCA, 0, 0, 0x02, 0, 0, 0}, Form::kAddr32, "I2CRead SetCmd", "I2CRead GetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kI2CWriteSlave, "CExtUnitBase::I2CWrite", {0x00, 0xAA, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CWrite SetCmd", "I2CWrite SetData", DataArg::kSlave, TextValue::kAt},
  {VendorOp::kI2CWriteRegister, "CExtUnitBase::I2CWrite", {0x00, 0x8A, 0, 0, 0x02, 0, 0, 0}, Form::kAddr32, "I2CWrite SetCmd", "I2CWrite SetData", DataArg::kHex, TextValue::kAtPlusDone},
  {VendorOp::kI2CGenRead, "CExtUnitBase::I2CGenRead", {0x00, 0xEA, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CGenRead SetCmd", "I2CGenRead GetData", DataArg::kAddr, TextValue::kDone},
  {VendorOp::kI2CGenWrite, "CExtUnitBase::I2CGenWrite", {0x00, 0xAA, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CGenWrite", "I2CGenWrite SetData", DataArg::kAddr, TextValue::kDone},
  {VendorOp::kI2CRandomRead, "CExtUnitBase::I2CRandomRead", {0x00, 0xF1, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CRandomRead SetCmd", "I2CRandomRead GetData", DataArg::kSlave, TextValue::kAt},
  {VendorOp::kI2CRandomWrite, "CExtUnitBase::I2CRandomWrite", {0x00, 0xB1, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CRandomWrite", "I2CRandomWrite SetData", DataArg::kSlave, TextValue::kAt},
  {VendorOp::kI2CSuperRead, "CExtUnitBase::I2CSuperRead", {0x00, 0xF2, 0x08, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CSuperRead SetCmd", "I2CSuperRead GetData", DataArg::kSlave, TextValue::kAtPlusDone},
  {VendorOp::kI2CSuperWrite, "CExtUnitBase::I2CSuperWrite", {0x00, 0xB2, 0x08, 0, 0, 0, 0, 0}, Form::kAddr16, "I2CSuperWrite", "I2CSuperWrite SetData", DataArg::kSlave, TextValue::kAtPlusDone},
  {VendorOp::kI2CLongRead, "CExtUnitBase::I2CLongRead", {0x00, 0xF0, 0, 0, 0, 0, 0, 0}, Form::kAddrExtra, "I2CLongRead", "I2CLongRead GetData", DataArg::kHexLower, TextValue::kAtPlusDone},
  {VendorOp::kI2CLongWrite, "CExtUnitBase::I2CLongWrite", {0x00, 0xB0, 0, 0, 0, 0, 0, 0}, Form::kAddrExtra, "I2CLongWrite", "I2CLongWrite SetData", DataArg::kHexLower, TextValue::kAtPlusDone},
  {VendorOp::kOtpWrite, "CExtUnitBase::OTP_Write", {0x02, 0x97, 0, 0, 0, 0, 0, 0}, Form::kAddrExtra, "OTPWrite SetCmd", "OTPWrite SetData", DataArg::kHex, TextValue::kDone},
  {VendorOp::kOtpRead, "CExtUnitBase::OTP_Read", {0x02, 0xD7, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "OTPRead SetCmd", "OTPRead GetData", DataArg::kHex, TextValue::kDone},
  {VendorOp::kOtpBlankCheck, "CExtUnitBase::OTP_BlankCheck", {0x02, 0xD8, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "OTPBlankCheck SetCmd", "OTPBlankCheck GetData", DataArg::kHex, TextValue::kDone},
  {VendorOp::kOtpAllBlankCheck, "CExtUnitBase::OTP_AllBlankCheck", {0x02, 0xDF, 0, 0, 0x08, 0, 0, 0}, Form::kLengthInP3, "OTPAllBlankCheck SetCmd", "OTPAllBlankCheck GetData", DataArg::kHex, TextValue::kDone},
  {VendorOp::kOtpReadProgramFailAdr, "CExtUnitBase::OTP_ReadProgramFailAdr", {0x02, 0xDC, 0, 0, 0x13, 0, 0, 0}, Form::kNone, "OTPPrgmFailAddr SetCmd", "OTPPrgmFailAddr GetData", DataArg::kHex, TextValue::kDone},
  {VendorOp::kOtpTestDec, "CExtUnitBase::OTPTestDec", {0x02, 0xD9, 0, 0, 0, 0, 0, 0}, Form::kAddr16, "OTPTestDec SetCmd", "OTPTestDec GetData", DataArg::kHexLower, TextValue::kAtPlusDone},
  {VendorOp::kOtpWriteTest, "CExtUnitBase::OTPWriteTest", {0x02, 0x9A, 0, 0, 0, 0, 0, 0}, Form::kAddrExtra, "OTPWriteST SetCmd", "OTPWriteST SetData", DataArg::kHexLower, TextValue::kAtPlusDone},
  {VendorOp::kChangeDataControlSize, "CExtUnit::ChangeDataControlSize", {0x00, 0x16, 0, 0, 0, 0, 0, 0}, Form::kSize, "ChangeDataControlSize SetCmd", "", DataArg::kNone, TextValue::kAt},
  {VendorOp::kDevQualify, "CExtUnitBase::DevQualify", kQualifyBlock, Form::kNone, "DevQualify SetCmd", "DevQualify GetData", DataArg::kNone, TextValue::kAt},
  {VendorOp::kAbort, "", {0xFF, 0, 0, 0, 0, 0, 0, 0}, Form::kNone, "", "", DataArg::kNone, TextValue::kAt},
}};
// clang-format on

static_assert(OneRowPerOperation(kXuCommands));
inline constexpr auto kXuRowIndex = RowIndex(kXuCommands);

constexpr bool XuCarries(VendorOp op) { return kXuRowIndex[static_cast<std::size_t>(op)] != kNoRow; }
// The row of an operation the extension unit carries.
constexpr const XuCommandRow& XuCommand(VendorOp op) {
  return kXuCommands[kXuRowIndex[static_cast<std::size_t>(op)]];
}

// The operation's command block for these arguments.
constexpr CommandBlock CommandFor(VendorOp op, std::uint32_t at = 0, std::uint32_t length = 0, std::uint16_t extra = 0) {
  const XuCommandRow& row = XuCommand(op);
  const auto lo = static_cast<std::uint16_t>(at & 0xFFFF);
  const auto hi = static_cast<std::uint16_t>(at >> 16);
  const auto len = static_cast<std::uint16_t>(length);
  switch (row.form) {
    case Form::kNone:
      return row.block;
    case Form::kValue:
    case Form::kPerByte:
      return BuildCommandBlock(row.block, lo);
    case Form::kPiece:
      return BuildCommandBlock(row.block, lo, 8);
    case Form::kSize:
      return BuildCommandBlock(row.block, std::nullopt, len);
    case Form::kAddr16:
      return BuildCommandBlock(row.block, lo, len);
    case Form::kAddr32:
      return BuildCommandBlock(row.block, lo, len, hi);
    case Form::kAddrExtra:
      return BuildCommandBlock(row.block, lo, len, extra);
    case Form::kLengthInP3:
      return BuildCommandBlock(row.block, lo, 8, len);
  }
  return row.block;
}

constexpr bool HasDataPhase(const CommandBlock& block) { return (block[1] & 0x80) != 0; }
constexpr bool DataToHost(const CommandBlock& block) { return (block[1] & 0xC0) == 0xC0; }

// The prefix a data-phase failure is reported with: the row's text and its value.
std::string DataFailureText(const XuCommandRow& row, std::uint32_t base, std::uint32_t done);

// The name of a status code of the command status answer.
std::string_view StatusCodeName(std::uint8_t code);

}  // namespace quillon
