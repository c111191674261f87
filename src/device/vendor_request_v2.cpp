#include "device/vendor_request_v2.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/debug_channel.h"
#include "proxy/transfers.h"

namespace quillon {
namespace {

constexpr std::uint8_t kExtMemSelect = 3;

// Longer requests go in kVendorPiece pieces through `piece` (the operation's
// own slot); the last 1..4096 bytes through `rest`, then the progress callback.
template <class Span, class Piece, class Rest>
std::uint32_t Pieces(std::uint32_t address, Span buffer, ProgressFn progress, void* user, Piece&& piece, Rest&& rest) {
  while (buffer.size() > kVendorPiece) {
    std::uint32_t result = piece(address, buffer.first(kVendorPiece));
    address += kVendorPiece;
    buffer = buffer.subspan(kVendorPiece);
    if (result != kResultOk) return result;
  }
  if (buffer.empty()) return kResultOk;
  std::uint32_t result = rest(address, buffer);
  if (result == kResultOk && progress != nullptr) progress(user, static_cast<std::uint32_t>(buffer.size()));
  return result;
}

}  // namespace

std::uint32_t CVendorRequestV2::Send(VrOp op, VendorFields fields, Bytes data, std::uint32_t timeoutMs) {
  const VendorRequestRow& row = VendorRequest(op);
  if (data.size() < fields.wLength) return kResultInvalidArgument;
  const std::uint32_t toHost = row.requestType >> 7;
  UrbResult urb = UsbVendorRequest(device_, row.requestType, row.request, fields.wValue, fields.wIndex,
                                   data.first(fields.wLength), toHost, timeoutMs);
  // A short answer would leave stale bytes behind in the caller's buffer.
  if (urb.ok && toHost != 0 && urb.length != fields.wLength) urb.ok = false;
  std::uint32_t result = ResultOf(urb);
  if (result != kResultOk) DebugPrint("CVendorRequestV2 SendRequest failed: %08x\n", result);
  return result;
}

std::uint32_t CVendorRequestV2::SendOut(VrOp op, VendorFields fields, ConstBytes data, std::uint32_t timeoutMs) {
  // The backend takes a writable span; the caller's bytes stay untouched.
  std::vector<std::uint8_t> copy(data.begin(), data.end());
  return Send(op, fields, copy, timeoutMs);
}

// Addresses past 20 bits, or a single transfer past 64 KB, cannot be encoded:
// refused rather than sent to the wrong place.
std::uint32_t CVendorRequestV2::ReadGeneral(VrOp op, std::uint32_t address, Bytes buffer, std::uint8_t selector) {
  const auto length = static_cast<std::uint32_t>(buffer.size());
  if (!FitsOneRequest(address, length) || buffer.size() > 0xFFFF) return kResultInvalidArgument;
  return Send(op, PackGeneral(address, length, selector), buffer, kControlTimeoutMs);
}

std::uint32_t CVendorRequestV2::WriteGeneral(VrOp op, std::uint32_t address, ConstBytes buffer,
                                             std::uint8_t selector) {
  const auto length = static_cast<std::uint32_t>(buffer.size());
  if (!FitsOneRequest(address, length) || buffer.size() > 0xFFFF) return kResultInvalidArgument;
  return SendOut(op, PackGeneral(address, length, selector), buffer, kControlTimeoutMs);
}

std::uint32_t CVendorRequestV2::GetDevStatus(std::uint16_t first, Bytes buffer) {
  for (std::size_t offset = 0; offset < buffer.size(); offset += 8) {
    std::array<std::uint8_t, 8> piece{};
    const auto index = static_cast<std::uint16_t>((first + offset / 8) & 0xFF);
    std::uint32_t result = Send(VrOp::kGetDevStatus, {index, 0, 8}, piece, kControlTimeoutMs);
    if (result != kResultOk) return result;
    std::copy_n(piece.begin(), std::min<std::size_t>(8, buffer.size() - offset), buffer.begin() + offset);
  }
  return kResultOk;
}

std::uint32_t CVendorRequestV2::ResetToUpdateFW(std::uint16_t value) {
  return Send(VrOp::kResetToUpdateFW, {static_cast<std::uint16_t>(value & 0xFF), 0, 0}, {}, kControlTimeoutMs);
}

std::uint32_t CVendorRequestV2::ResetToNewCode(std::uint16_t value) {
  return Send(VrOp::kResetToNewCode, {static_cast<std::uint16_t>(value & 0xFF), 0, 0}, {}, kControlTimeoutMs);
}

std::uint32_t CVendorRequestV2::ResetToRom() { return Send(VrOp::kResetToRom, {}, {}, kControlTimeoutMs); }

std::uint32_t CVendorRequestV2::ReadIMem(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user, [&](std::uint32_t a, Bytes b) { return ReadIMem(a, b, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kReadIMem, a, b, 0); });
}

std::uint32_t CVendorRequestV2::ReadMem(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user, [&](std::uint32_t a, Bytes b) { return ReadMem(a, b, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kReadMem, a, b, 0); });
}

std::uint32_t CVendorRequestV2::WriteMem(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user, [&](std::uint32_t a, ConstBytes b) { return WriteMem(a, b, progress, user); },
      [&](std::uint32_t a, ConstBytes b) { return WriteGeneral(VrOp::kWriteMem, a, b, 0); });
}

std::uint32_t CVendorRequestV2::ReadCode(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user, [&](std::uint32_t a, Bytes b) { return ReadCode(a, b, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kReadCode, a, b, 0); });
}

std::uint32_t CVendorRequestV2::ReadPhy(std::uint32_t address, Bytes buffer) {
  if (buffer.empty()) return kResultOk;
  return ReadGeneral(VrOp::kReadPhy, address, buffer, 0);
}

std::uint32_t CVendorRequestV2::WritePhy(std::uint32_t address, ConstBytes buffer) {
  if (buffer.empty()) return kResultOk;
  return WriteGeneral(VrOp::kWritePhy, address, buffer, 0);
}

std::uint32_t CVendorRequestV2::NorFlash_Erase() { return Send(VrOp::kNorFlashErase, {}, {}, kControlTimeoutMs); }

std::uint32_t CVendorRequestV2::NorFlash_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user, [&](std::uint32_t a, Bytes b) { return NorFlash_Read(a, b, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kNorFlashRead, a, b, 0); });
}

std::uint32_t CVendorRequestV2::NorFlash_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress,
                                               void* user) {
  return Pieces(
      address, buffer, progress, user,
      [&](std::uint32_t a, ConstBytes b) { return NorFlash_Write(a, b, progress, user); },
      [&](std::uint32_t a, ConstBytes b) { return WriteGeneral(VrOp::kNorFlashWrite, a, b, 0); });
}

std::uint32_t CVendorRequestV2::NorFlash_WriteTag() {
  return Send(VrOp::kNorFlashWriteTag, {}, {}, kControlTimeoutMs);
}

std::uint32_t CVendorRequestV2::SPI_SF_ReadID(std::span<std::uint8_t, 8> out) {
  return Send(VrOp::kSpiReadId, {0, 0, 8}, out, kControlTimeoutMs);
}

std::uint32_t CVendorRequestV2::SPI_SF_Read(std::uint32_t address, Bytes buffer, std::uint8_t select,
                                            ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user,
      [&](std::uint32_t a, Bytes b) { return SPI_SF_Read(a, b, select, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kSpiRead, a, b, select); });
}

std::uint32_t CVendorRequestV2::SPI_SF_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress,
                                             void* user) {
  return Pieces(
      address, buffer, progress, user,
      [&](std::uint32_t a, ConstBytes b) { return SPI_SF_Write(a, b, progress, user); },
      [&](std::uint32_t a, ConstBytes b) { return WriteGeneral(VrOp::kSpiWrite, a, b, 0); });
}

std::uint32_t CVendorRequestV2::SPI_SF_ReadSr(std::uint8_t& out) {
  std::array<std::uint8_t, 1> value{};
  std::uint32_t result = Send(VrOp::kSpiReadSr, {0, 0, 1}, value, kControlTimeoutMs);
  if (result == kResultOk) out = value[0];
  return result;
}

std::uint32_t CVendorRequestV2::SPI_SF_WriteSr(std::uint8_t value) {
  std::array<std::uint8_t, 1> bytes = {value};
  return Send(VrOp::kSpiWriteSr, {0, 0, 1}, bytes, kControlTimeoutMs);
}

// A whole-chip erase can outlast the usual time-out; the caller says how long.
std::uint32_t CVendorRequestV2::SPI_SF_EraseChip(std::uint32_t timeoutMs) {
  return Send(VrOp::kSpiEraseChip, {}, {}, timeoutMs);
}

std::uint32_t CVendorRequestV2::SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) {
  if (sectorSize == 0 || address % sectorSize != 0 || address >= kVendorAddressLimit) return kResultInvalidArgument;
  return Send(VrOp::kSpiEraseSector, PackGeneral(address, 0, 0), {}, kControlTimeoutMs);
}

std::uint32_t CVendorRequestV2::SPI_SF_WriteTag() { return Send(VrOp::kSpiWriteTag, {}, {}, kControlTimeoutMs); }

std::uint32_t CVendorRequestV2::I2C_EEP8_Erase(std::uint32_t size) {
  const std::vector<std::uint8_t> blank(size, 0xFF);
  return I2C_EEP8_Write(0, blank);
}

std::uint32_t CVendorRequestV2::I2C_EEP8_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user, [&](std::uint32_t a, Bytes b) { return I2C_EEP8_Read(a, b, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kEep8Read, a, b, 0); });
}

std::uint32_t CVendorRequestV2::I2C_EEP8_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress,
                                               void* user) {
  return Pieces(
      address, buffer, progress, user,
      [&](std::uint32_t a, ConstBytes b) { return I2C_EEP8_Write(a, b, progress, user); },
      [&](std::uint32_t a, ConstBytes b) { return WriteGeneral(VrOp::kEep8Write, a, b, 0); });
}

std::uint32_t CVendorRequestV2::I2C_EEP16_Erase(std::uint32_t size) {
  const std::vector<std::uint8_t> blank(size, 0xFF);
  return I2C_EEP16_Write(0, blank);
}

std::uint32_t CVendorRequestV2::I2C_EEP16_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user, [&](std::uint32_t a, Bytes b) { return I2C_EEP16_Read(a, b, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kEep16Read, a, b, 0); });
}

std::uint32_t CVendorRequestV2::I2C_EEP16_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress,
                                                void* user) {
  return Pieces(
      address, buffer, progress, user,
      [&](std::uint32_t a, ConstBytes b) { return I2C_EEP16_Write(a, b, progress, user); },
      [&](std::uint32_t a, ConstBytes b) { return WriteGeneral(VrOp::kEep16Write, a, b, 0); });
}

std::uint32_t CVendorRequestV2::ExtMem_Erase(std::uint32_t size) {
  const std::vector<std::uint8_t> blank(size, 0xFF);
  return ExtMem_Write(0, blank, kExtMemSelect);
}

// The read request carries no selector.
std::uint32_t CVendorRequestV2::ExtMem_Read(std::uint32_t address, Bytes buffer, std::uint8_t select,
                                            ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user,
      [&](std::uint32_t a, Bytes b) { return ExtMem_Read(a, b, select, progress, user); },
      [&](std::uint32_t a, Bytes b) { return ReadGeneral(VrOp::kExtMemRead, a, b, 0); });
}

std::uint32_t CVendorRequestV2::ExtMem_Write(std::uint32_t address, ConstBytes buffer, std::uint8_t select,
                                             ProgressFn progress, void* user) {
  return Pieces(
      address, buffer, progress, user,
      [&](std::uint32_t a, ConstBytes b) { return ExtMem_Write(a, b, select, progress, user); },
      [&](std::uint32_t a, ConstBytes b) { return WriteGeneral(VrOp::kExtMemWrite, a, b, select); });
}

std::uint32_t CVendorRequestV2::ExtMem_WriteTag() {
  const std::uint8_t tag[1] = {kEepromTagValue};
  return ExtMem_Write(kEepromTagAddress, tag, kExtMemSelect);
}

std::uint32_t CVendorRequestV2::I2CRead(std::uint8_t width, std::uint32_t address, std::uint16_t& out) {
  std::array<std::uint8_t, 2> bytes{};
  std::uint32_t result = ReadGeneral(VrOp::kI2CRead, address, bytes, 0);
  if (result == kResultOk) out = static_cast<std::uint16_t>(bytes[0] | (width == 1 ? 0 : bytes[1] << 8));
  return result;
}

std::uint32_t CVendorRequestV2::I2CWrite(std::uint8_t width, std::uint32_t address, std::uint16_t value) {
  if (width == 1) value &= 0xFF;
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
  return WriteGeneral(VrOp::kI2CWrite, address, bytes, 0);
}

std::uint32_t CVendorRequestV2::I2CGenRead(std::uint16_t slave, Bytes buffer) {
  return ReadGeneral(VrOp::kI2CGenRead, slave & 0xFFu, buffer, 0);
}
std::uint32_t CVendorRequestV2::I2CGenWrite(std::uint16_t slave, ConstBytes buffer) {
  return WriteGeneral(VrOp::kI2CGenWrite, slave & 0xFFu, buffer, 0);
}
std::uint32_t CVendorRequestV2::I2CRandomRead(std::uint16_t slave, Bytes buffer) {
  return ReadGeneral(VrOp::kI2CRandomRead, slave & 0xFFu, buffer, 0);
}
std::uint32_t CVendorRequestV2::I2CRandomWrite(std::uint16_t slave, ConstBytes buffer) {
  return WriteGeneral(VrOp::kI2CRandomWrite, slave & 0xFFu, buffer, 0);
}

std::uint32_t CVendorRequestV2::ReadRequest6Byte(std::uint8_t& out) {
  std::array<std::uint8_t, 1> value{};
  std::uint32_t result = Send(VrOp::kReadRequest6Byte, {0, 0, 1}, value, kControlTimeoutMs);
  if (result == kResultOk) out = value[0];
  return result;
}

std::uint32_t CVendorRequestV2::SendRequest10(std::uint16_t value) {
  return Send(VrOp::kSendRequest10, {static_cast<std::uint16_t>(value & 0xFF), 0, 0}, {}, kControlTimeoutMs);
}

}  // namespace quillon
