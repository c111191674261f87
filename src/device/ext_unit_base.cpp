// The extension unit's operations: each one command sequence under the shared
// command lock (command block, data phase, failure report), with the splitting
// rules of the command set.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "device/ext_unit.h"
#include "device/link_failure.h"
#include "device/sync_operate.h"
#include "platform/debug_channel.h"

namespace quillon {

CExtUnitBase::CExtUnitBase(std::uint8_t unitId, CrossProcessLock& lock, std::uint32_t lockWaitMs)
    : lock_(lock), lockWaitMs_(lockWaitMs), unitId_(unitId) {}

template <class Body>
std::uint32_t CExtUnitBase::Locked(VendorOp op, Body&& body) {
  CSyncOperate sync(lock_, lockWaitMs_, XuCommand(op).lockName);
  if (!sync.owned()) return kResultLockNotTaken;
  return body();
}

// ---- whole operations ----

std::uint32_t CExtUnitBase::Command(VendorOp op, std::uint32_t at) {
  return Locked(op, [&] { return RunNoData(op, CommandFor(op, at)); });
}

template <class Span>
std::uint32_t CExtUnitBase::One(VendorOp op, Span bytes, std::uint32_t at) {
  return Locked(op,
                [&] { return RunOne(op, CommandFor(op, at, static_cast<std::uint32_t>(bytes.size())), bytes, at); });
}

namespace {
// A block command moves at most one command's length, and, unless its row
// carries the high half, addresses only 16 bits: anything else would land
// elsewhere than asked, so it is refused unsent.
bool FitsOneCommand(VendorOp op, std::uint32_t at, std::size_t length) {
  return length <= kMaxCommandLength && (XuCommand(op).form == Form::kAddr32 || at <= 0xFFFF);
}
}  // namespace

template <class Span>
std::uint32_t CExtUnitBase::Block(VendorOp op, std::uint32_t at, Span buffer, std::uint16_t extra) {
  if (!FitsOneCommand(op, at, buffer.size())) return kResultInvalidArgument;
  return Locked(op, [&] {
    return RunData(op, CommandFor(op, at, static_cast<std::uint32_t>(buffer.size()), extra), buffer, nullptr, nullptr,
                   at);
  });
}

std::size_t CExtUnitBase::SplitLimit(VendorOp) const { return kMaxCommandLength; }
std::size_t CExtUnitBase::SplitPieceSize() const { return kSplitPiece; }

std::uint32_t CExtUnitBase::Guarded(VendorOp op, const std::function<std::uint32_t()>& body) {
  return Locked(op, body);
}

// One command with its data, or one command per byte where the row says so.
template <class Span>
std::uint32_t CExtUnitBase::MoveData(VendorOp op, std::uint32_t at, Span rest, ProgressFn progress, void* user) {
  const auto length = static_cast<std::uint32_t>(rest.size());
  if (XuCommand(op).form != Form::kPerByte) return RunData(op, CommandFor(op, at, length), rest, progress, user, at);
  for (std::uint32_t i = 0; i < length; ++i) {
    std::uint32_t result = RunOne(op, CommandFor(op, at + i), rest.subspan(i, 1), at + i);
    if (result != kResultOk) return result;
  }
  return kResultOk;
}

std::uint32_t CExtUnitBase::MoveOne(VendorOp op, std::uint32_t at, Bytes rest, std::uint8_t, ProgressFn progress,
                                    void* user) {
  return MoveData(op, at, rest, progress, user);
}
std::uint32_t CExtUnitBase::MoveOne(VendorOp op, std::uint32_t at, ConstBytes rest, std::uint8_t, ProgressFn progress,
                                    void* user) {
  return MoveData(op, at, rest, progress, user);
}

// ---- the command sequence ----

namespace {
// Data to the host goes into a writable span, data from the host comes from a
// const one: a mix-up would send the caller's buffer the wrong way.
template <class Span>
bool SpanFitsDirection(const XuCommandRow& row) {
  return DataToHost(row.block) != std::is_const_v<typename Span::element_type>;
}
}  // namespace

std::uint32_t CExtUnitBase::RunNoData(VendorOp op, const CommandBlock& block) {
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) ReportFailure(op, 0, XuCommand(op).setCmdText, result);
  return result;
}

template <class Span>
std::uint32_t CExtUnitBase::RunData(VendorOp op, const CommandBlock& block, Span buffer, ProgressFn progress,
                                    void* user, std::uint32_t textBase) {
  const XuCommandRow& row = XuCommand(op);
  if (!SpanFitsDirection<Span>(row)) return kResultInvalidArgument;
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) {
    ReportFailure(op, textBase, row.setCmdText, result);
    return result;
  }
  std::uint32_t done = 0;
  if constexpr (std::is_const_v<typename Span::element_type>) {
    result = SetData(buffer, done, progress, user);
  } else {
    result = GetData(buffer, done, progress, user);
  }
  if (result != kResultOk) ReportFailure(op, textBase + done, DataFailureText(row, textBase, done), result);
  return result;
}

// One data-control transfer through the zeroed scratch buffer.
template <class Span>
std::uint32_t CExtUnitBase::RunOne(VendorOp op, const CommandBlock& block, Span bytes, std::uint32_t textBase) {
  const XuCommandRow& row = XuCommand(op);
  if (!SpanFitsDirection<Span>(row) || bytes.size() > dataControlSize_) return kResultInvalidArgument;
  std::uint32_t result = SetCmd(block);
  if (result != kResultOk) {
    ReportFailure(op, textBase, row.setCmdText, result);
    return result;
  }
  std::fill_n(scratch_.begin(), dataControlSize_, 0);
  if constexpr (std::is_const_v<typename Span::element_type>) {
    std::copy(bytes.begin(), bytes.end(), scratch_.begin());
    result = SetData(scratch_);
  } else {
    result = GetData(scratch_);
    if (result == kResultOk) std::copy_n(scratch_.begin(), bytes.size(), bytes.begin());
  }
  if (result != kResultOk) ReportFailure(op, textBase, DataFailureText(row, textBase, 0), result);
  return result;
}

void CExtUnitBase::ReportFailure(VendorOp op, std::uint32_t at, std::string_view prefix, std::uint32_t result) {
  std::string_view name = XuCommand(op).lockName;
  name.remove_prefix(std::min(name.size(), name.rfind("::") + 2));
  NoteLinkFailure(std::string(name), at, result);
  ReportCmdError(prefix, result);
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
    SetCmd(XuCommand(VendorOp::kAbort).block);
  }
  DebugPrint("%s\n", message.c_str());
}

bool CExtUnitBase::DevQualify() {
  const XuCommandRow& row = XuCommand(VendorOp::kDevQualify);
  CSyncOperate sync(lock_, lockWaitMs_, row.lockName);
  if (!sync.owned()) return false;
  std::uint32_t result = SetCmd(row.block);
  if (result != kResultOk) {
    ReportFailure(VendorOp::kDevQualify, 0, row.setCmdText, result);
    return false;
  }
  std::fill_n(scratch_.begin(), std::max<std::uint32_t>(8, dataControlSize_), 0);
  result = GetData(scratch_);
  if (result != kResultOk) {
    ReportFailure(VendorOp::kDevQualify, 0, row.dataText, result);
    return false;
  }
  if (std::equal(kChipSignature.begin(), kChipSignature.end(), scratch_.begin())) return true;
  DebugPrint("Not kestran device\n");
  return false;
}

// ---- the operations ----

std::uint32_t CExtUnitBase::GetDevStatus(std::uint16_t first, Bytes buffer) {
  return Locked(VendorOp::kGetDevStatus, [&] {
    const XuCommandRow& row = XuCommand(VendorOp::kGetDevStatus);
    for (std::size_t offset = 0; offset < buffer.size(); offset += 8) {
      const auto index = static_cast<std::uint16_t>(first + offset / 8);
      std::uint32_t result = SetCmd(CommandFor(VendorOp::kGetDevStatus, index));
      if (result != kResultOk) {
        ReportFailure(VendorOp::kGetDevStatus, index, row.setCmdText, result);
        return result;
      }
      std::fill_n(scratch_.begin(), std::max<std::uint32_t>(8, dataControlSize_), 0);
      result = GetData(scratch_);
      if (result != kResultOk) {
        ReportFailure(VendorOp::kGetDevStatus, index, row.dataText, result);
        return result;
      }
      std::copy_n(scratch_.begin(), std::min<std::size_t>(8, buffer.size() - offset), buffer.begin() + offset);
    }
    return kResultOk;
  });
}

namespace {
using Op = VendorOp;
using Self = CVendorCmdCommon;  // each piece of a split re-enters through the interface's slot
}  // namespace

std::uint32_t CExtUnitBase::ResetToUpdateFW(std::uint16_t value) { return Command(Op::kResetToUpdateFW, value); }
std::uint32_t CExtUnitBase::ResetToNewCode(std::uint16_t value) { return Command(Op::kResetToNewCode, value); }
std::uint32_t CExtUnitBase::ResetToRom() { return Command(Op::kResetToRom); }

// Chip memories: a 16-bit address space.

// NOR flash.
std::uint32_t CExtUnitBase::NorFlash_Erase() { return Command(Op::kNorFlashErase); }
std::uint32_t CExtUnitBase::NorFlash_WriteTag() { return Command(Op::kNorFlashWriteTag); }

// SPI flash. `select` picks among flash devices on the vendor requests only.
std::uint32_t CExtUnitBase::SPI_SF_ReadID(std::span<std::uint8_t, 8> out) { return One(Op::kSpiReadId, out); }
std::uint32_t CExtUnitBase::SPI_SF_ReadSr(std::uint8_t& out) { return One(Op::kSpiReadSr, std::span(&out, 1)); }
std::uint32_t CExtUnitBase::SPI_SF_WriteSr(std::uint8_t value) { return One(Op::kSpiWriteSr, ConstBytes(&value, 1)); }
// The chip times its own erase here; the time-out is the vendor requests' business.
std::uint32_t CExtUnitBase::SPI_SF_EraseChip(std::uint32_t) { return Command(Op::kSpiEraseChip); }
std::uint32_t CExtUnitBase::SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) {
  if (sectorSize == 0 || address % sectorSize != 0) return kResultInvalidArgument;
  return Command(Op::kSpiEraseSector, address);
}
std::uint32_t CExtUnitBase::SPI_SF_WriteTag() { return Command(Op::kSpiWriteTag); }

// I2C EEPROM.
std::uint32_t CExtUnitBase::I2C_EEP8_Erase(std::uint32_t size) { return EepromErase(Op::kEep8Erase, size); }
std::uint32_t CExtUnitBase::I2C_EEP16_Erase(std::uint32_t size) { return EepromErase(Op::kEep16Erase, size); }

// Fills `size` bytes from offset 0 with 0xFF through the write command. The
// high half of the offset goes with each piece, as for a write, so that pieces
// past 64 KB land where they belong.
std::uint32_t CExtUnitBase::EepromErase(VendorOp op, std::uint32_t size) {
  return Locked(op, [&] {
    const std::vector<std::uint8_t> blank(std::min<std::uint32_t>(size, kMaxCommandLength), 0xFF);
    std::uint32_t offset = 0;
    std::uint32_t remaining = size;
    while (remaining > 0) {
      const std::uint32_t piece = remaining > kMaxCommandLength ? kSplitPiece : remaining;
      std::uint32_t result =
          RunData(op, CommandFor(op, offset, piece), ConstBytes(blank).first(piece), nullptr, nullptr, offset);
      if (result != kResultOk) return result;
      offset += piece;
      remaining -= piece;
    }
    return kResultOk;
  });
}

// I2C master: the slave forms move a short block in one data-control transfer.
std::uint32_t CExtUnitBase::I2CRead(std::uint16_t slave, Bytes buffer) {
  return buffer.size() > kI2CLongPiece ? kResultInvalidArgument : One(Op::kI2CReadSlave, buffer, slave);
}
std::uint32_t CExtUnitBase::I2CWrite(std::uint16_t slave, ConstBytes buffer) {
  return buffer.size() > kI2CLongPiece ? kResultInvalidArgument : One(Op::kI2CWriteSlave, buffer, slave);
}
std::uint32_t CExtUnitBase::I2CRandomRead(std::uint16_t slave, Bytes buffer) {
  return buffer.size() > kI2CLongPiece ? kResultInvalidArgument : One(Op::kI2CRandomRead, buffer, slave);
}
std::uint32_t CExtUnitBase::I2CRandomWrite(std::uint16_t slave, ConstBytes buffer) {
  return buffer.size() > kI2CLongPiece ? kResultInvalidArgument : One(Op::kI2CRandomWrite, buffer, slave);
}
std::uint32_t CExtUnitBase::I2CGenRead(std::uint16_t slave, Bytes buffer) {
  return Block(Op::kI2CGenRead, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CGenWrite(std::uint16_t slave, ConstBytes buffer) {
  return Block(Op::kI2CGenWrite, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CSuperRead(std::uint16_t slave, Bytes buffer) {
  return Block(Op::kI2CSuperRead, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CSuperWrite(std::uint16_t slave, ConstBytes buffer) {
  return Block(Op::kI2CSuperWrite, slave, buffer);
}

// The register forms: two bytes; an 8-bit register (width 1) has no high byte.
std::uint32_t CExtUnitBase::I2CRead(std::uint8_t width, std::uint32_t address, std::uint16_t& out) {
  std::uint8_t bytes[2] = {0, 0};
  const std::uint32_t result = Block(Op::kI2CReadRegister, address, Bytes(bytes));
  if (result == kResultOk) out = static_cast<std::uint16_t>(bytes[0] | (width == 1 ? 0 : bytes[1] << 8));
  return result;
}
std::uint32_t CExtUnitBase::I2CWrite(std::uint8_t width, std::uint32_t address, std::uint16_t value) {
  if (width == 1) value &= 0xFF;
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
  return Block(Op::kI2CWriteRegister, address, ConstBytes(bytes));
}

std::uint32_t CExtUnitBase::I2CLongRead(std::uint16_t slave, std::uint32_t address, Bytes buffer, ProgressFn progress,
                                        void* user) {
  return Locked(Op::kI2CLongRead, [&] {
    for (std::size_t offset = 0; offset < buffer.size(); offset += kI2CLongPiece) {
      const std::size_t length = std::min<std::size_t>(kI2CLongPiece, buffer.size() - offset);
      const auto at = static_cast<std::uint32_t>(address + offset);
      std::uint32_t result = Locked(Op::kI2CLongRead, [&] {
        std::array<std::uint8_t, kI2CLongPiece> piece{};
        Bytes target = Bytes(piece).first(length);
        std::uint32_t r =
            RunData(Op::kI2CLongRead, CommandFor(Op::kI2CLongRead, at, static_cast<std::uint32_t>(length), slave),
                    target, progress, user, at);
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
  return Locked(Op::kI2CLongWrite, [&] {
    std::size_t offset = 0;
    auto send = [&](std::uint32_t p1, std::size_t length) {
      std::array<std::uint8_t, kI2CLongPiece> piece{};
      std::copy_n(buffer.begin() + offset, length, piece.begin());
      const auto at = static_cast<std::uint32_t>(address + offset);
      return RunData(Op::kI2CLongWrite, CommandFor(Op::kI2CLongWrite, p1, static_cast<std::uint32_t>(length), slave),
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

// OTP: addresses are 16 bits wide on the wire; a larger one would silently
// hit another cell of a memory that cannot be rewritten, so it is refused.
std::uint32_t CExtUnitBase::OTP_Write(std::uint32_t address, ConstBytes buffer, std::uint16_t mode, ProgressFn, void*) {
  lastStatus_ = 0;
  const std::uint32_t result = Block(Op::kOtpWrite, address, buffer, mode);
  if (result == kResultLockNotTaken) lastStatus_ = kNoStatus;
  return result;
}
std::uint32_t CExtUnitBase::OTP_Read(std::uint32_t address, Bytes buffer, ProgressFn, void*) {
  return Block(Op::kOtpRead, address, buffer);
}
std::uint32_t CExtUnitBase::OTP_BlankCheck(std::uint32_t address, Bytes buffer, ProgressFn, void*) {
  return Block(Op::kOtpBlankCheck, address, buffer);
}
std::uint32_t CExtUnitBase::OTP_AllBlankCheck(std::uint32_t address, Bytes buffer, ProgressFn, void*) {
  return Block(Op::kOtpAllBlankCheck, address, buffer);
}
std::uint32_t CExtUnitBase::OTP_ReadProgramFailAdr(Bytes buffer) {
  return Block(Op::kOtpReadProgramFailAdr, 0, buffer);
}
std::uint32_t CExtUnitBase::OTPTestDec(std::uint32_t address, Bytes buffer) {
  return Block(Op::kOtpTestDec, address, buffer);
}
std::uint32_t CExtUnitBase::OTPWriteTest(std::uint32_t address, std::uint16_t testValue, ConstBytes buffer) {
  return Block(Op::kOtpWriteTest, address, buffer, testValue);
}

}  // namespace quillon
