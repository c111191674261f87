#include "device/vendor_cmd_common.h"

#include <limits>

namespace quillon {

// Without a transport nothing moves.
std::size_t CVendorCmdCommon::SplitLimit(VendorOp) const { return std::numeric_limits<std::size_t>::max(); }
std::size_t CVendorCmdCommon::SplitPieceSize() const { return std::numeric_limits<std::size_t>::max(); }
std::uint32_t CVendorCmdCommon::MoveOne(VendorOp, std::uint32_t, Bytes, std::uint8_t, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::MoveOne(VendorOp, std::uint32_t, ConstBytes, std::uint8_t, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::Guarded(VendorOp, const std::function<std::uint32_t()>& body) { return body(); }

std::uint32_t CVendorCmdCommon::GetDevStatus(std::uint16_t, Bytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::ResetToUpdateFW(std::uint16_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::ResetToNewCode(std::uint16_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::ResetToRom() { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::ReadIMem(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kReadIMem, &CVendorCmdCommon::ReadIMem, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::ReadMem(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kReadMem, &CVendorCmdCommon::ReadMem, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::WriteMem(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kWriteMem, &CVendorCmdCommon::WriteMem, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::ReadCode(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kReadCode, &CVendorCmdCommon::ReadCode, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::ReadPhy(std::uint32_t address, Bytes buffer) {
  return Split(VendorOp::kReadPhy, &CVendorCmdCommon::ReadPhy, address, buffer);
}
std::uint32_t CVendorCmdCommon::WritePhy(std::uint32_t address, ConstBytes buffer) {
  return Split(VendorOp::kWritePhy, &CVendorCmdCommon::WritePhy, address, buffer);
}
std::uint32_t CVendorCmdCommon::NorFlash_Erase() { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::NorFlash_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kNorFlashRead, &CVendorCmdCommon::NorFlash_Read, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::NorFlash_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kNorFlashWrite, &CVendorCmdCommon::NorFlash_Write, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::NorFlash_WriteTag() { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::SPI_SF_ReadID(std::span<std::uint8_t, 8>) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::SPI_SF_Read(std::uint32_t address, Bytes buffer, std::uint8_t select, ProgressFn progress,
                                     void* user) {
  return Split(VendorOp::kSpiRead, &CVendorCmdCommon::SPI_SF_Read, address, buffer, progress, user, select);
}
std::uint32_t CVendorCmdCommon::SPI_SF_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kSpiWrite, &CVendorCmdCommon::SPI_SF_Write, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::SPI_SF_ReadSr(std::uint8_t&) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::SPI_SF_WriteSr(std::uint8_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::SPI_SF_EraseChip(std::uint32_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::SPI_SF_EraseSector(std::uint32_t, std::uint32_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::SPI_SF_WriteTag() { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2C_EEP8_Erase(std::uint32_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2C_EEP8_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kEep8Read, &CVendorCmdCommon::I2C_EEP8_Read, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::I2C_EEP8_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kEep8Write, &CVendorCmdCommon::I2C_EEP8_Write, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::I2C_EEP8_WriteTag() {
  const std::uint8_t tag[1] = {kEepromTagValue};
  return I2C_EEP8_Write(kEepromTagAddress, tag);
}
std::uint32_t CVendorCmdCommon::I2C_EEP16_Erase(std::uint32_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2C_EEP16_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kEep16Read, &CVendorCmdCommon::I2C_EEP16_Read, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::I2C_EEP16_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Split(VendorOp::kEep16Write, &CVendorCmdCommon::I2C_EEP16_Write, address, buffer, progress, user);
}
std::uint32_t CVendorCmdCommon::I2C_EEP16_WriteTag() {
  const std::uint8_t tag[1] = {kEepromTagValue};
  return I2C_EEP16_Write(kEepromTagAddress, tag);
}
std::uint32_t CVendorCmdCommon::ExtMem_Erase(std::uint32_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::ExtMem_Read(std::uint32_t, Bytes, std::uint8_t, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::ExtMem_Write(std::uint32_t, ConstBytes, std::uint8_t, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::ExtMem_WriteTag() { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CRead(std::uint16_t, Bytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CRead(std::uint8_t, std::uint32_t, std::uint16_t&) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CWrite(std::uint16_t, ConstBytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CWrite(std::uint8_t, std::uint32_t, std::uint16_t) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CGenRead(std::uint16_t, Bytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CGenWrite(std::uint16_t, ConstBytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CRandomRead(std::uint16_t, Bytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CRandomWrite(std::uint16_t, ConstBytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CSuperRead(std::uint16_t, Bytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CSuperWrite(std::uint16_t, ConstBytes) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::I2CLongRead(std::uint16_t, std::uint32_t, Bytes, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::I2CLongWrite(std::uint16_t, std::uint32_t, std::uint32_t, ConstBytes, ProgressFn,
                                             void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::OTP_Write(std::uint32_t, ConstBytes, std::uint16_t, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::OTP_Read(std::uint32_t, Bytes, ProgressFn, void*) { return kResultNotImplemented; }
std::uint32_t CVendorCmdCommon::OTP_BlankCheck(std::uint32_t, Bytes, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::OTP_AllBlankCheck(std::uint32_t, Bytes, ProgressFn, void*) {
  return kResultNotImplemented;
}
std::uint32_t CVendorCmdCommon::OTP_ReadProgramFailAdr(Bytes) { return kResultNotImplemented; }

}  // namespace quillon
