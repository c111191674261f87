// The extension unit's operations: each one command sequence under the shared
// command lock (command block, data phase, failure report), with the splitting
// rules of the command set.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "device/ext_unit.h"
#include "device/sync_operate.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

std::uint16_t Lo(std::uint32_t value) { return static_cast<std::uint16_t>(value & 0xFFFF); }
std::uint16_t Hi(std::uint32_t value) { return static_cast<std::uint16_t>(value >> 16); }
std::uint16_t Len(std::size_t length) { return static_cast<std::uint16_t>(length); }

CommandBlock Block(XuOp op, std::optional<std::uint16_t> p1 = {}, std::optional<std::uint16_t> p2 = {},
                   std::optional<std::uint16_t> p3 = {}) {
  return BuildCommandBlock(XuCommand(op).block, p1, p2, p3);
}

// Address low half, length (16-bit address space).
CommandBlock Block16(XuOp op, std::uint32_t address, std::size_t length) {
  return Block(op, Lo(address), Len(length));
}
// Address low half, length, address high half.
CommandBlock Block32(XuOp op, std::uint32_t address, std::size_t length) {
  return Block(op, Lo(address), Len(length), Hi(address));
}

// Requests longer than one command can carry go in kSplitPiece pieces through
// `piece` (the operation's own slot, which re-enters the lock); the rest, if
// any, through `rest`.
template <class Span, class Piece, class Rest>
std::uint32_t Split(std::uint32_t address, Span buffer, Piece&& piece, Rest&& rest) {
  while (buffer.size() > kMaxCommandLength) {
    std::uint32_t result = piece(address, buffer.first(kSplitPiece));
    if (result != kResultOk) return result;
    address += kSplitPiece;
    buffer = buffer.subspan(kSplitPiece);
  }
  if (buffer.empty()) return kResultOk;
  return rest(address, buffer);
}

}  // namespace

CExtUnitBase::CExtUnitBase(std::uint8_t unitId, CrossProcessLock& lock, std::uint32_t lockWaitMs)
    : lock_(lock), lockWaitMs_(lockWaitMs), unitId_(unitId) {}

template <class Body>
std::uint32_t CExtUnitBase::Locked(XuOp op, Body&& body) {
  CSyncOperate sync(lock_, lockWaitMs_, XuCommand(op).lockName);
  if (!sync.owned()) return kResultLockNotTaken;
  return body();
}

// ---- the command sequence ----

std::uint32_t CExtUnitBase::RunNoData(XuOp op, const CommandBlock& block) {
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) ReportCmdError(XuCommand(op).setCmdText, result);
  return result;
}

std::uint32_t CExtUnitBase::RunRead(XuOp op, const CommandBlock& block, Bytes buffer, ProgressFn progress, void* user,
                                    std::uint32_t textBase) {
  const XuCommandRow& row = XuCommand(op);
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) {
    ReportCmdError(row.setCmdText, result);
    return result;
  }
  std::uint32_t done = 0;
  result = GetData(buffer, done, progress, user);
  if (result != kResultOk) ReportCmdError(DataFailureText(row, textBase, done), result);
  return result;
}

std::uint32_t CExtUnitBase::RunWrite(XuOp op, const CommandBlock& block, ConstBytes buffer, ProgressFn progress,
                                     void* user, std::uint32_t textBase) {
  const XuCommandRow& row = XuCommand(op);
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) {
    ReportCmdError(row.setCmdText, result);
    return result;
  }
  std::uint32_t done = 0;
  result = SetData(buffer, done, progress, user);
  if (result != kResultOk) ReportCmdError(DataFailureText(row, textBase, done), result);
  return result;
}

std::uint32_t CExtUnitBase::RunReadOne(XuOp op, const CommandBlock& block, Bytes out, std::uint32_t textBase) {
  const XuCommandRow& row = XuCommand(op);
  if (out.size() > dataControlSize_) return kResultInvalidArgument;
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) {
    ReportCmdError(row.setCmdText, result);
    return result;
  }
  std::fill_n(scratch_.begin(), dataControlSize_, 0);
  result = GetData(scratch_);
  if (result != kResultOk) {
    ReportCmdError(DataFailureText(row, textBase, 0), result);
    return result;
  }
  std::copy_n(scratch_.begin(), out.size(), out.begin());
  return kResultOk;
}

std::uint32_t CExtUnitBase::RunWriteOne(XuOp op, const CommandBlock& block, ConstBytes in, std::uint32_t textBase) {
  const XuCommandRow& row = XuCommand(op);
  if (in.size() > dataControlSize_) return kResultInvalidArgument;
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) {
    ReportCmdError(row.setCmdText, result);
    return result;
  }
  std::fill_n(scratch_.begin(), dataControlSize_, 0);
  std::copy(in.begin(), in.end(), scratch_.begin());
  result = SetData(scratch_);
  if (result != kResultOk) ReportCmdError(DataFailureText(row, textBase, 0), result);
  return result;
}

void CExtUnitBase::ReportCmdError(std::string_view prefix, std::uint32_t result) {
  std::string message(prefix);
  lastStatus_ = kNoStatus;
  if (result == kResultDeviceGone) {
    message += "Device not connected";
  } else {
    std::fill_n(scratch_.begin(), 8, 0);
    std::uint32_t statusResult = GetCmdStatus(std::span<std::uint8_t, 8>(scratch_.data(), 8));
    char text[160];
    if (statusResult == kResultOk) {
      const std::uint8_t code = scratch_[0];
      std::snprintf(text, sizeof text, " error %x, %s", result, std::string(StatusCodeName(code)).c_str());
      lastStatus_ = code;
    } else {
      std::snprintf(text, sizeof text, " error %x, and fail to get err_code %x", result, statusResult);
    }
    message += text;
    SetCmd(XuCommand(XuOp::kAbort).block);
  }
  DebugPrint("%s\n", message.c_str());
}

bool CExtUnitBase::DevQualify() {
  const XuCommandRow& row = XuCommand(XuOp::kDevQualify);
  CSyncOperate sync(lock_, lockWaitMs_, row.lockName);
  if (!sync.owned()) return false;
  std::uint32_t result = SetCmd(row.block);
  if (result != kResultOk) {
    ReportCmdError(row.setCmdText, result);
    return false;
  }
  std::fill_n(scratch_.begin(), std::max<std::uint32_t>(8, dataControlSize_), 0);
  result = GetData(scratch_);
  if (result != kResultOk) {
    ReportCmdError(row.dataText, result);
    return false;
  }
  static constexpr std::uint8_t kSignature[8] = {'K', 'E', 'S', 'T', 'R', 'A', 'N', 0};
  if (std::equal(std::begin(kSignature), std::end(kSignature), scratch_.begin())) return true;
  DebugPrint("Not kestran device\n");
  return false;
}

// ---- status and resets ----

std::uint32_t CExtUnitBase::GetDevStatus(std::uint16_t first, Bytes buffer) {
  return Locked(XuOp::kGetDevStatus, [&] {
    const XuCommandRow& row = XuCommand(XuOp::kGetDevStatus);
    for (std::size_t offset = 0; offset < buffer.size(); offset += 8) {
      const auto index = static_cast<std::uint16_t>(first + offset / 8);
      std::uint32_t result = SetCmd(row.block, index, 8);
      if (result != kResultOk) {
        ReportCmdError(row.setCmdText, result);
        return result;
      }
      std::fill_n(scratch_.begin(), std::max<std::uint32_t>(8, dataControlSize_), 0);
      result = GetData(scratch_);
      if (result != kResultOk) {
        ReportCmdError(row.dataText, result);
        return result;
      }
      std::copy_n(scratch_.begin(), std::min<std::size_t>(8, buffer.size() - offset), buffer.begin() + offset);
    }
    return kResultOk;
  });
}

std::uint32_t CExtUnitBase::ResetToUpdateFW(std::uint16_t value) {
  return Locked(XuOp::kResetToUpdateFW, [&] { return RunNoData(XuOp::kResetToUpdateFW, Block(XuOp::kResetToUpdateFW, value)); });
}

std::uint32_t CExtUnitBase::ResetToNewCode(std::uint16_t value) {
  return Locked(XuOp::kResetToNewCode, [&] { return RunNoData(XuOp::kResetToNewCode, Block(XuOp::kResetToNewCode, value)); });
}

std::uint32_t CExtUnitBase::ResetToRom() {
  return Locked(XuOp::kResetToRom, [&] { return RunNoData(XuOp::kResetToRom, Block(XuOp::kResetToRom)); });
}

// ---- chip memories (16-bit address space) ----

std::uint32_t CExtUnitBase::ReadIMem(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kReadIMem, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return ReadIMem(a, b, progress, user); },
        [&](std::uint32_t a, Bytes b) { return RunRead(XuOp::kReadIMem, Block16(XuOp::kReadIMem, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::ReadMem(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kReadMem, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return ReadMem(a, b, progress, user); },
        [&](std::uint32_t a, Bytes b) { return RunRead(XuOp::kReadMem, Block16(XuOp::kReadMem, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::WriteMem(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kWriteMem, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, ConstBytes b) { return WriteMem(a, b, progress, user); },
        [&](std::uint32_t a, ConstBytes b) { return RunWrite(XuOp::kWriteMem, Block16(XuOp::kWriteMem, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::ReadCode(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kReadCode, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return ReadCode(a, b, progress, user); },
        [&](std::uint32_t a, Bytes b) { return RunRead(XuOp::kReadCode, Block16(XuOp::kReadCode, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::ReadPhy(std::uint32_t address, Bytes buffer) {
  return Locked(XuOp::kReadPhy, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return ReadPhy(a, b); },
        [&](std::uint32_t a, Bytes b) {
          for (std::size_t i = 0; i < b.size(); ++i) {
            const auto at = static_cast<std::uint32_t>(a + i);
            std::uint32_t result = RunReadOne(XuOp::kReadPhy, Block(XuOp::kReadPhy, Lo(at)), b.subspan(i, 1), at);
            if (result != kResultOk) return result;
          }
          return kResultOk;
        });
  });
}

std::uint32_t CExtUnitBase::WritePhy(std::uint32_t address, ConstBytes buffer) {
  return Locked(XuOp::kWritePhy, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, ConstBytes b) { return WritePhy(a, b); },
        [&](std::uint32_t a, ConstBytes b) {
          for (std::size_t i = 0; i < b.size(); ++i) {
            const auto at = static_cast<std::uint32_t>(a + i);
            std::uint32_t result = RunWriteOne(XuOp::kWritePhy, Block(XuOp::kWritePhy, Lo(at)), b.subspan(i, 1), at);
            if (result != kResultOk) return result;
          }
          return kResultOk;
        });
  });
}

// ---- NOR flash ----

std::uint32_t CExtUnitBase::NorFlash_Erase() {
  return Locked(XuOp::kNorFlashErase, [&] { return RunNoData(XuOp::kNorFlashErase, Block(XuOp::kNorFlashErase)); });
}

std::uint32_t CExtUnitBase::NorFlash_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kNorFlashRead, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return NorFlash_Read(a, b, progress, user); },
        [&](std::uint32_t a, Bytes b) { return RunRead(XuOp::kNorFlashRead, Block16(XuOp::kNorFlashRead, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::NorFlash_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kNorFlashWrite, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, ConstBytes b) { return NorFlash_Write(a, b, progress, user); },
        [&](std::uint32_t a, ConstBytes b) { return RunWrite(XuOp::kNorFlashWrite, Block16(XuOp::kNorFlashWrite, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::NorFlash_WriteTag() {
  return Locked(XuOp::kNorFlashWriteTag, [&] { return RunNoData(XuOp::kNorFlashWriteTag, Block(XuOp::kNorFlashWriteTag)); });
}

// ---- SPI flash ----

std::uint32_t CExtUnitBase::SPI_SF_ReadID(std::span<std::uint8_t, 8> out) {
  return Locked(XuOp::kSpiReadId, [&] { return RunReadOne(XuOp::kSpiReadId, Block(XuOp::kSpiReadId), out, 0); });
}

// `select` picks among flash devices on the vendor requests only.
std::uint32_t CExtUnitBase::SPI_SF_Read(std::uint32_t address, Bytes buffer, std::uint8_t select, ProgressFn progress,
                                        void* user) {
  return Locked(XuOp::kSpiRead, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return SPI_SF_Read(a, b, select, progress, user); },
        [&](std::uint32_t a, Bytes b) { return RunRead(XuOp::kSpiRead, Block32(XuOp::kSpiRead, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::SPI_SF_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kSpiWrite, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, ConstBytes b) { return SPI_SF_Write(a, b, progress, user); },
        [&](std::uint32_t a, ConstBytes b) { return RunWrite(XuOp::kSpiWrite, Block32(XuOp::kSpiWrite, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::SPI_SF_ReadSr(std::uint8_t& out) {
  return Locked(XuOp::kSpiReadSr, [&] {
    std::uint8_t value[1] = {0};
    std::uint32_t result = RunReadOne(XuOp::kSpiReadSr, Block(XuOp::kSpiReadSr), value, 0);
    if (result == kResultOk) out = value[0];
    return result;
  });
}

std::uint32_t CExtUnitBase::SPI_SF_WriteSr(std::uint8_t value) {
  return Locked(XuOp::kSpiWriteSr, [&] {
    const std::uint8_t bytes[1] = {value};
    return RunWriteOne(XuOp::kSpiWriteSr, Block(XuOp::kSpiWriteSr), bytes, 0);
  });
}

// The chip times its own erase here; the time-out is the vendor requests' business.
std::uint32_t CExtUnitBase::SPI_SF_EraseChip(std::uint32_t) {
  return Locked(XuOp::kSpiEraseChip, [&] { return RunNoData(XuOp::kSpiEraseChip, Block(XuOp::kSpiEraseChip)); });
}

std::uint32_t CExtUnitBase::SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) {
  if (sectorSize == 0 || address % sectorSize != 0) return kResultInvalidArgument;
  return Locked(XuOp::kSpiEraseSector, [&] {
    return RunNoData(XuOp::kSpiEraseSector, Block(XuOp::kSpiEraseSector, Lo(address), 0, Hi(address)));
  });
}

std::uint32_t CExtUnitBase::SPI_SF_WriteTag() {
  return Locked(XuOp::kSpiWriteTag, [&] { return RunNoData(XuOp::kSpiWriteTag, Block(XuOp::kSpiWriteTag)); });
}

// ---- I2C EEPROM ----

// Fills `size` bytes from offset 0 with 0xFF through the write command. The
// high half of the offset goes with each piece, as for a write, so that pieces
// past 64 KB land where they belong.
std::uint32_t CExtUnitBase::EepromErase(XuOp op, std::uint32_t size) {
  return Locked(op, [&] {
    const std::vector<std::uint8_t> blank(std::min<std::uint32_t>(size, kMaxCommandLength), 0xFF);
    std::uint32_t offset = 0;
    std::uint32_t remaining = size;
    while (remaining > 0) {
      const std::uint32_t piece = remaining > kMaxCommandLength ? kSplitPiece : remaining;
      std::uint32_t result = RunWrite(op, Block32(op, offset, piece), ConstBytes(blank).first(piece), nullptr,
                                      nullptr, offset);
      if (result != kResultOk) return result;
      offset += piece;
      remaining -= piece;
    }
    return kResultOk;
  });
}

std::uint32_t CExtUnitBase::I2C_EEP8_Erase(std::uint32_t size) { return EepromErase(XuOp::kEep8Erase, size); }
std::uint32_t CExtUnitBase::I2C_EEP16_Erase(std::uint32_t size) { return EepromErase(XuOp::kEep16Erase, size); }

std::uint32_t CExtUnitBase::I2C_EEP8_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kEep8Read, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return I2C_EEP8_Read(a, b, progress, user); },
        [&](std::uint32_t a, Bytes b) { return RunRead(XuOp::kEep8Read, Block32(XuOp::kEep8Read, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::I2C_EEP8_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kEep8Write, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, ConstBytes b) { return I2C_EEP8_Write(a, b, progress, user); },
        [&](std::uint32_t a, ConstBytes b) { return RunWrite(XuOp::kEep8Write, Block32(XuOp::kEep8Write, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::I2C_EEP16_Read(std::uint32_t address, Bytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kEep16Read, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, Bytes b) { return I2C_EEP16_Read(a, b, progress, user); },
        [&](std::uint32_t a, Bytes b) { return RunRead(XuOp::kEep16Read, Block32(XuOp::kEep16Read, a, b.size()), b, progress, user, a); });
  });
}

std::uint32_t CExtUnitBase::I2C_EEP16_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress, void* user) {
  return Locked(XuOp::kEep16Write, [&] {
    return Split(
        address, buffer, [&](std::uint32_t a, ConstBytes b) { return I2C_EEP16_Write(a, b, progress, user); },
        [&](std::uint32_t a, ConstBytes b) { return RunWrite(XuOp::kEep16Write, Block32(XuOp::kEep16Write, a, b.size()), b, progress, user, a); });
  });
}

// ---- I2C master ----

// A short block in one data-control transfer.
std::uint32_t CExtUnitBase::SlaveRead(XuOp op, std::uint16_t slave, Bytes buffer) {
  if (buffer.size() > kI2CLongPiece) return kResultInvalidArgument;
  return Locked(op, [&] { return RunReadOne(op, Block(op, slave, Len(buffer.size())), buffer, slave); });
}

std::uint32_t CExtUnitBase::SlaveWrite(XuOp op, std::uint16_t slave, ConstBytes buffer) {
  if (buffer.size() > kI2CLongPiece) return kResultInvalidArgument;
  return Locked(op, [&] { return RunWriteOne(op, Block(op, slave, Len(buffer.size())), buffer, slave); });
}

std::uint32_t CExtUnitBase::I2CRead(std::uint16_t slave, Bytes buffer) {
  return SlaveRead(XuOp::kI2CReadSlave, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CWrite(std::uint16_t slave, ConstBytes buffer) {
  return SlaveWrite(XuOp::kI2CWriteSlave, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CRandomRead(std::uint16_t slave, Bytes buffer) {
  return SlaveRead(XuOp::kI2CRandomRead, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CRandomWrite(std::uint16_t slave, ConstBytes buffer) {
  return SlaveWrite(XuOp::kI2CRandomWrite, slave, buffer);
}

std::uint32_t CExtUnitBase::I2CRead(std::uint8_t width, std::uint32_t address, std::uint16_t& out) {
  return Locked(XuOp::kI2CReadRegister, [&] {
    std::uint8_t bytes[2] = {0, 0};
    std::uint32_t result =
        RunRead(XuOp::kI2CReadRegister, Block(XuOp::kI2CReadRegister, Lo(address), 2, Hi(address)), bytes, nullptr,
                nullptr, address);
    if (result != kResultOk) return result;
    out = static_cast<std::uint16_t>(bytes[0] | (width == 1 ? 0 : bytes[1] << 8));
    return kResultOk;
  });
}

std::uint32_t CExtUnitBase::I2CWrite(std::uint8_t width, std::uint32_t address, std::uint16_t value) {
  return Locked(XuOp::kI2CWriteRegister, [&] {
    if (width == 1) value &= 0xFF;
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
    return RunWrite(XuOp::kI2CWriteRegister, Block(XuOp::kI2CWriteRegister, Lo(address), 2, Hi(address)), bytes,
                    nullptr, nullptr, address);
  });
}

std::uint32_t CExtUnitBase::I2CGenRead(std::uint16_t slave, Bytes buffer) {
  if (buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kI2CGenRead, [&] {
    return RunRead(XuOp::kI2CGenRead, Block(XuOp::kI2CGenRead, slave, Len(buffer.size())), buffer, nullptr, nullptr, 0);
  });
}

std::uint32_t CExtUnitBase::I2CGenWrite(std::uint16_t slave, ConstBytes buffer) {
  if (buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kI2CGenWrite, [&] {
    return RunWrite(XuOp::kI2CGenWrite, Block(XuOp::kI2CGenWrite, slave, Len(buffer.size())), buffer, nullptr, nullptr,
                    0);
  });
}

std::uint32_t CExtUnitBase::I2CSuperRead(std::uint16_t slave, Bytes buffer) {
  if (buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kI2CSuperRead, [&] {
    return RunRead(XuOp::kI2CSuperRead, Block(XuOp::kI2CSuperRead, slave, Len(buffer.size())), buffer, nullptr,
                   nullptr, slave);
  });
}

std::uint32_t CExtUnitBase::I2CSuperWrite(std::uint16_t slave, ConstBytes buffer) {
  if (buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kI2CSuperWrite, [&] {
    return RunWrite(XuOp::kI2CSuperWrite, Block(XuOp::kI2CSuperWrite, slave, Len(buffer.size())), buffer, nullptr,
                    nullptr, slave);
  });
}

std::uint32_t CExtUnitBase::I2CLongRead(std::uint16_t slave, std::uint32_t address, Bytes buffer, ProgressFn progress,
                                        void* user) {
  return Locked(XuOp::kI2CLongRead, [&] {
    for (std::size_t offset = 0; offset < buffer.size(); offset += kI2CLongPiece) {
      const std::size_t length = std::min<std::size_t>(kI2CLongPiece, buffer.size() - offset);
      const auto at = static_cast<std::uint32_t>(address + offset);
      std::uint32_t result = Locked(XuOp::kI2CLongRead, [&] {
        std::array<std::uint8_t, kI2CLongPiece> piece{};
        Bytes target = Bytes(piece).first(length);
        std::uint32_t r = RunRead(XuOp::kI2CLongRead, Block(XuOp::kI2CLongRead, Lo(at), Len(length), slave), target,
                                  progress, user, at);
        if (r == kResultOk) std::copy(target.begin(), target.end(), buffer.begin() + offset);
        return r;
      });
      if (result != kResultOk) return result;
    }
    return kResultOk;
  });
}

// Pieces of 64 bytes; the last piece of a longer (or shorter) request carries
// the address without bit 15, a whole request of exactly 64 bytes keeps it.
std::uint32_t CExtUnitBase::I2CLongWrite(std::uint16_t slave, std::uint32_t address, std::uint32_t, ConstBytes buffer,
                                         ProgressFn progress, void* user) {
  return Locked(XuOp::kI2CLongWrite, [&] {
    std::size_t offset = 0;
    auto send = [&](std::uint32_t p1, std::size_t length) {
      std::array<std::uint8_t, kI2CLongPiece> piece{};
      std::copy_n(buffer.begin() + offset, length, piece.begin());
      const auto at = static_cast<std::uint32_t>(address + offset);
      return RunWrite(XuOp::kI2CLongWrite, Block(XuOp::kI2CLongWrite, Lo(p1), Len(length), slave),
                      ConstBytes(piece).first(length), progress, user, at);
    };
    if (buffer.size() == kI2CLongPiece) return send(address, kI2CLongPiece);
    while (buffer.size() - offset > kI2CLongPiece) {
      std::uint32_t result = send(static_cast<std::uint32_t>(address + offset), kI2CLongPiece);
      if (result != kResultOk) return result;
      offset += kI2CLongPiece;
    }
    if (offset == buffer.size()) return kResultOk;
    return send(static_cast<std::uint32_t>(address + offset) & 0x7FFF, buffer.size() - offset);
  });
}

// ---- OTP ----
// OTP addresses are 16 bits wide on the wire; a larger one would silently hit
// another cell of a memory that cannot be rewritten, so it is refused.

std::uint32_t CExtUnitBase::OTP_Write(std::uint32_t address, ConstBytes buffer, std::uint16_t mode, ProgressFn,
                                      void*) {
  lastStatus_ = 0;
  if (address > 0xFFFF || buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  std::uint32_t result = Locked(XuOp::kOtpWrite, [&] {
    return RunWrite(XuOp::kOtpWrite, Block(XuOp::kOtpWrite, Lo(address), Len(buffer.size()), mode), buffer, nullptr,
                    nullptr, 0);
  });
  if (result == kResultLockNotTaken) lastStatus_ = kNoStatus;
  return result;
}

std::uint32_t CExtUnitBase::OTP_Read(std::uint32_t address, Bytes buffer, ProgressFn, void*) {
  if (address > 0xFFFF || buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kOtpRead, [&] {
    return RunRead(XuOp::kOtpRead, Block(XuOp::kOtpRead, Lo(address), Len(buffer.size())), buffer, nullptr, nullptr, 0);
  });
}

std::uint32_t CExtUnitBase::OTP_BlankCheck(std::uint32_t address, Bytes buffer, ProgressFn, void*) {
  if (address > 0xFFFF || buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kOtpBlankCheck, [&] {
    return RunRead(XuOp::kOtpBlankCheck, Block(XuOp::kOtpBlankCheck, Lo(address), Len(buffer.size())), buffer, nullptr,
                   nullptr, 0);
  });
}

std::uint32_t CExtUnitBase::OTP_AllBlankCheck(std::uint32_t address, Bytes buffer, ProgressFn, void*) {
  if (address > 0xFFFF || buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kOtpAllBlankCheck, [&] {
    return RunRead(XuOp::kOtpAllBlankCheck,
                   Block(XuOp::kOtpAllBlankCheck, Lo(address), 8, Len(buffer.size())), buffer, nullptr, nullptr, 0);
  });
}

std::uint32_t CExtUnitBase::OTP_ReadProgramFailAdr(Bytes buffer) {
  if (buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kOtpReadProgramFailAdr, [&] {
    return RunRead(XuOp::kOtpReadProgramFailAdr, Block(XuOp::kOtpReadProgramFailAdr), buffer, nullptr, nullptr, 0);
  });
}

std::uint32_t CExtUnitBase::OTPTestDec(std::uint32_t address, Bytes buffer) {
  if (address > 0xFFFF || buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kOtpTestDec, [&] {
    return RunRead(XuOp::kOtpTestDec, Block(XuOp::kOtpTestDec, Lo(address), Len(buffer.size())), buffer, nullptr,
                   nullptr, address);
  });
}

std::uint32_t CExtUnitBase::OTPWriteTest(std::uint32_t address, std::uint16_t testValue, ConstBytes buffer) {
  if (address > 0xFFFF || buffer.size() > kMaxCommandLength) return kResultInvalidArgument;
  return Locked(XuOp::kOtpWriteTest, [&] {
    return RunWrite(XuOp::kOtpWriteTest, Block(XuOp::kOtpWriteTest, Lo(address), Len(buffer.size()), testValue),
                    buffer, nullptr, nullptr, address);
  });
}

}  // namespace quillon
