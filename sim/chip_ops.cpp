// The chip carrying out its commands: checks at command time, then the read,
// the write (once the whole data phase is in) or the action.
#include <algorithm>
#include <bit>

#include "platform/clock.h"
#include "sim/chip.h"
#include "sim/chip_model.h"

namespace quillon::sim {
namespace {

constexpr std::uint32_t kRegisterSpace = 0x10000;
constexpr std::uint8_t kSrWriteInProgress = 0x01;
constexpr std::uint8_t kSrWriteEnableLatch = 0x02;
constexpr std::uint8_t kSrRegisterProtect = 0x80;
constexpr std::uint32_t kI2cDeviceSize = 0x10000;
constexpr std::uint32_t kFlashPageSize = 256;
constexpr std::uint32_t kEepromPageSize = 32;

// The SPI read and write commands move bytes of either flash kind.
bool NeedsSpiOrNor(Op op) { return op == Op::kSpiRead || op == Op::kSpiWrite; }

// The SPI flash part's own commands: a NOR chip has no such part behind its
// SPI controller, so they find nothing to talk to.
bool NeedsSpiPart(Op op) {
  switch (op) {
    case Op::kSpiReadId: case Op::kSpiReadSr: case Op::kSpiWriteSr: case Op::kSpiEraseChip:
    case Op::kSpiEraseSector: case Op::kSpiWriteTag:
      return true;
    default:
      return false;
  }
}

bool IsNorOp(Op op) {
  return op == Op::kNorErase || op == Op::kNorRead || op == Op::kNorWrite || op == Op::kNorWriteTag;
}

bool IsOtpOp(Op op) {
  switch (op) {
    case Op::kOtpWrite: case Op::kOtpRead: case Op::kOtpBlankCheck: case Op::kOtpAllBlankCheck:
    case Op::kOtpReadFail: case Op::kOtpTestDec: case Op::kOtpWriteTest:
      return true;
    default:
      return false;
  }
}

// Commands that move bytes of the external memory at request.address.
bool MovesExternal(Op op) {
  switch (op) {
    case Op::kNorRead: case Op::kNorWrite: case Op::kSpiRead: case Op::kSpiWrite:
    case Op::kEep8Read: case Op::kEep8Write: case Op::kEep16Read: case Op::kEep16Write:
    case Op::kExtMemRead: case Op::kExtMemWrite: case Op::kOtpWrite: case Op::kOtpRead:
    case Op::kOtpBlankCheck: case Op::kOtpAllBlankCheck: case Op::kOtpTestDec: case Op::kOtpWriteTest:
      return true;
    default:
      return false;
  }
}

bool ChangesSpiFlash(Op op) {
  return op == Op::kSpiWrite || op == Op::kSpiEraseChip || op == Op::kSpiEraseSector || op == Op::kSpiWriteTag ||
         op == Op::kExtMemWrite;
}

bool UsesRegisterSpace(Op op) {
  return op == Op::kReadIMem || op == Op::kReadMem || op == Op::kWriteMem || op == Op::kReadCode ||
         op == Op::kReadPhy || op == Op::kWritePhy;
}

ResetKind ResetOfCommand(std::uint32_t command) {
  switch (command) {
    case 7: return ResetKind::kToUpdate;
    case 8: return ResetKind::kToNewCode;
    case 9: return ResetKind::kToRom;
    default: return ResetKind::kNone;
  }
}

}  // namespace

bool SimChip::FlashBusy() const { return TheClock().NowMs() < busyUntilMs_; }

bool SimChip::WaitsForProgramming(Op op) {
  switch (op) {
    case Op::kSpiReadSr:
      return false;  // answers at once, with write-in-progress set
    case Op::kExtMemRead: case Op::kExtMemWrite: case Op::kReadCode:
    case Op::kResetToUpdate: case Op::kResetToNewCode: case Op::kResetToRom: case Op::kResetByRequest:
      return true;
    default:
      return NeedsSpiOrNor(op) || NeedsSpiPart(op) || IsNorOp(op) || op == Op::kEep8Read || op == Op::kEep8Write ||
             op == Op::kEep16Read || op == Op::kEep16Write;
  }
}

std::uint32_t SimChip::PageSize() const {
  return IsEeprom(state_.config.memory) ? kEepromPageSize : kFlashPageSize;
}

bool SimChip::ProgramPaged(std::uint32_t address, std::span<const std::uint8_t> data) {
  if (!state_.memory.InRange(address, data.size())) return false;
  WaitForProgramming();
  programs_.push_back({address, static_cast<std::uint32_t>(data.size())});
  if (!data.empty()) {
    const std::uint32_t page = PageSize();
    pending_.active = true;
    pending_.address = address;
    pending_.before.resize(data.size());
    state_.memory.Read(address, pending_.before);
    pending_.pages = static_cast<std::uint32_t>((address + data.size() - 1) / page - address / page + 1);
    pending_.startMs = TheClock().NowMs();
  }
  if (IsEeprom(state_.config.memory)) {
    state_.memory.WriteEeprom(address, data);
  } else {
    state_.memory.ProgramFlash(address, data);
  }
  for (const PageLossFault& fault : state_.faults.pageLoss) {
    if (fault.program != programs_.size()) continue;
    CutProgramming(fault.pages);
    powerLost_ = true;
  }
  return true;
}

std::uint32_t SimChip::PagesDone() const {
  if (!pending_.active) return 0;
  const std::uint32_t pageUs = state_.config.pageProgramUs;
  if (pageUs == 0) return pending_.pages;
  const std::uint64_t elapsedUs = (TheClock().NowMs() - pending_.startMs) * 1000;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(pending_.pages, elapsedUs / pageUs));
}

bool SimChip::Programming() const { return pending_.active && PagesDone() < pending_.pages; }

void SimChip::WaitForProgramming() {
  if (pending_.active) {
    // One reading of the clock: a second one could pass the end of the
    // programming and turn the remaining time negative (a near-endless sleep).
    const std::uint64_t endUs = std::uint64_t{pending_.pages} * state_.config.pageProgramUs;
    const std::uint64_t elapsedUs = (TheClock().NowMs() - pending_.startMs) * 1000;
    if (elapsedUs < endUs) TheClock().SleepMs(static_cast<std::uint32_t>((endUs - elapsedUs + 999) / 1000));
  }
  pending_ = {};
}

void SimChip::CutProgramming(std::uint32_t pages) {
  if (pending_.active && pages < pending_.pages) {
    const std::uint32_t page = PageSize();
    const std::uint32_t cutPage = (pending_.address / page + pages) * page;
    const std::uint32_t cut = cutPage > pending_.address ? cutPage - pending_.address : 0;
    // The page being programmed when the power went holds some of its new bits
    // and some old ones: the odd bits as written, the even bits as they were.
    const std::uint32_t partEnd = std::min<std::uint32_t>(cutPage + page - pending_.address,
                                                          static_cast<std::uint32_t>(pending_.before.size()));
    std::vector<std::uint8_t> partly(partEnd - cut);
    state_.memory.Read(pending_.address + cut, partly);
    for (std::size_t i = 0; i < partly.size(); ++i) {
      partly[i] = static_cast<std::uint8_t>((partly[i] & 0xAA) | (pending_.before[cut + i] & 0x55));
    }
    state_.memory.Restore(pending_.address + cut, std::span(pending_.before).subspan(cut));
    state_.memory.Restore(pending_.address + cut, partly);
  }
  pending_ = {};
}

void SimChip::ApplyCorruption(std::uint32_t address, std::vector<std::uint8_t>& bytes) {
  for (std::uint32_t bad : state_.faults.corruptRead) {
    if (bad >= address && bad - address < bytes.size()) bytes[bad - address] ^= 0x01;
  }
  // A one-time glitch: this read only, its middle byte.
  if (++memoryReads_ == state_.faults.flakyRead && !bytes.empty()) bytes[bytes.size() / 2] ^= 0x01;
}

std::uint8_t SimChip::Check(const Request& request) const {
  const MemoryKind memory = state_.config.memory;
  const Op op = request.op;
  if ((NeedsSpiOrNor(op) && !IsFlash(memory)) || (NeedsSpiPart(op) && memory != MemoryKind::kSpi) ||
      (IsNorOp(op) && memory != MemoryKind::kNor) ||
      ((op == Op::kEep8Read || op == Op::kEep8Write) && memory != MemoryKind::kEeprom8) ||
      ((op == Op::kEep16Read || op == Op::kEep16Write) && memory != MemoryKind::kEeprom16) ||
      (IsOtpOp(op) && memory != MemoryKind::kOtp)) {
    return kStsHwErr;  // no such memory behind this chip
  }
  if ((NeedsSpiOrNor(op) || NeedsSpiPart(op) || IsNorOp(op)) && op != Op::kSpiReadSr && FlashBusy()) {
    return kStsNotFinish;
  }
  if (MovesExternal(op) && !state_.memory.InRange(request.address, request.length)) return kStsOutOfRange;
  if (op == Op::kSpiEraseSector && !state_.memory.InRange(request.address, 1)) return kStsOutOfRange;
  if (UsesRegisterSpace(op) && std::uint64_t{request.address} + request.length > kRegisterSpace) return kStsOutOfRange;
  if (op == Op::kGetDevStatus && std::uint64_t{request.address} + request.length > kStatusBlockSize) {
    return kStsOutOfRange;
  }
  if (op == Op::kI2cLongRead || op == Op::kI2cLongWrite) {
    if (std::uint64_t{request.address} + request.length > kI2cDeviceSize) return kStsOutOfRange;
  } else if ((op == Op::kI2cSlaveRead || op == Op::kI2cSlaveWrite || op == Op::kI2cRandomRead ||
              op == Op::kI2cRandomWrite || op == Op::kI2cSuperRead || op == Op::kI2cSuperWrite) &&
             request.length > kI2cDeviceSize) {
    return kStsOutOfRange;
  }
  if (memory == MemoryKind::kSpi && ChangesSpiFlash(op) && IsProtected(state_)) return kStsHwErr;
  if (op == Op::kOtpWrite && IsProtected(state_)) return kStsHwErr;
  if (op == Op::kResetByRequest && ResetOfCommand(request.address) == ResetKind::kNone) return kStsUnknownSubCmd;
  return kStsNoErr;
}

std::uint8_t SimChip::ReadExternal(const Request& request, std::vector<std::uint8_t>& out) {
  out.assign(request.length, 0);
  if (!state_.memory.Read(request.address, out)) return kStsOutOfRange;
  ApplyCorruption(request.address, out);
  return kStsNoErr;
}

std::uint8_t SimChip::Read(const Request& request, std::vector<std::uint8_t>& out) {
  out.assign(request.length, 0);
  switch (request.op) {
    case Op::kGetDevStatus: {
      const auto block = StatusBlock(state_);
      std::copy_n(block.begin() + request.address, request.length, out.begin());
      return kStsNoErr;
    }
    case Op::kDevQualify:
      std::copy_n(kSignature.begin(), std::min<std::size_t>(kSignature.size(), out.size()), out.begin());
      return kStsNoErr;
    case Op::kReadIMem:
      return kStsNoErr;  // internal RAM holds nothing the host cares about
    case Op::kReadMem:
      for (std::uint32_t i = 0; i < request.length; ++i) {
        out[i] = ReadRegister(state_, static_cast<std::uint16_t>(request.address + i));
      }
      return kStsNoErr;
    case Op::kReadCode:
      for (std::uint32_t i = 0; i < request.length; ++i) {
        out[i] = 0xFF;
        state_.memory.Read(request.address + i, {&out[i], 1});
      }
      return kStsNoErr;
    case Op::kReadPhy:
      for (std::uint32_t i = 0; i < request.length; ++i) {
        auto it = phy_.find(static_cast<std::uint16_t>(request.address + i));
        out[i] = it == phy_.end() ? 0 : it->second;
      }
      return kStsNoErr;
    case Op::kNorRead: case Op::kSpiRead: case Op::kEep8Read: case Op::kEep16Read: case Op::kExtMemRead:
    case Op::kOtpRead: case Op::kOtpTestDec:
      return ReadExternal(request, out);
    case Op::kOtpBlankCheck:
    case Op::kOtpAllBlankCheck: {
      std::vector<std::uint8_t> cells;
      if (std::uint8_t status = ReadExternal(request, cells); status != kStsNoErr) return status;
      for (std::size_t i = 0; i < cells.size(); ++i) out[i] = cells[i] == 0 ? 0x00 : 0x01;
      return kStsNoErr;
    }
    case Op::kOtpReadFail: {
      const std::uint32_t failFrom = state_.faults.otpReportFail;
      if (++otpReportReads_ >= failFrom && failFrom != 0) return kStsHwErr;
      const auto report = otpReport_.Bytes();
      std::copy_n(report.begin(), std::min(report.size(), out.size()), out.begin());
      return kStsNoErr;
    }
    case Op::kSpiReadId: {
      const std::uint8_t id[3] = {0x5A, 0x40,
                                  static_cast<std::uint8_t>(std::bit_width(state_.memory.size()) - 1)};
      std::copy_n(id, std::min<std::size_t>(3, out.size()), out.begin());
      return kStsNoErr;
    }
    case Op::kSpiReadSr: {
      const bool inProgress = FlashBusy() || Programming() || TheClock().NowMs() < statusWriteUntilMs_;
      out[0] = static_cast<std::uint8_t>(state_.statusRegister | (inProgress ? kSrWriteInProgress : 0));
      return kStsNoErr;
    }
    case Op::kI2cRegRead:
      for (std::uint32_t i = 0; i < request.length; ++i) {
        auto it = i2cRegisters_.find(request.address + i);
        out[i] = it == i2cRegisters_.end() ? 0 : it->second;
      }
      return kStsNoErr;
    case Op::kI2cSlaveRead: case Op::kI2cRandomRead: case Op::kI2cSuperRead: case Op::kI2cLongRead: {
      const bool longForm = request.op == Op::kI2cLongRead;
      const std::uint8_t slave = static_cast<std::uint8_t>(longForm ? request.extra : request.address);
      const std::uint32_t offset = longForm ? request.address : 0;
      auto it = i2cDevices_.find(slave);
      if (it != i2cDevices_.end()) std::copy_n(it->second.begin() + offset, request.length, out.begin());
      return kStsNoErr;
    }
    case Op::kRequest6:
      std::fill(out.begin(), out.end(), static_cast<std::uint8_t>(state_.mode));
      return kStsNoErr;
    default:
      return kStsUnknownSubCmd;
  }
}

std::uint8_t SimChip::Write(const Request& request, std::span<const std::uint8_t> data) {
  // Re-checked: the protection or the lock may have changed during the data phase.
  if (std::uint8_t status = Check(request); status != kStsNoErr) return status;
  switch (request.op) {
    case Op::kWriteMem:
      for (std::size_t i = 0; i < data.size(); ++i) {
        WriteRegister(state_, static_cast<std::uint16_t>(request.address + i), data[i]);
      }
      return kStsNoErr;
    case Op::kWritePhy:
      for (std::size_t i = 0; i < data.size(); ++i) phy_[static_cast<std::uint16_t>(request.address + i)] = data[i];
      return kStsNoErr;
    case Op::kNorWrite:
      state_.norTagged = false;
      return ProgramPaged(request.address, data) ? kStsNoErr : kStsOutOfRange;
    case Op::kSpiWrite:
      if (state_.config.memory == MemoryKind::kNor) state_.norTagged = false;
      return ProgramPaged(request.address, data) ? kStsNoErr : kStsOutOfRange;
    case Op::kEep8Write:
    case Op::kEep16Write:
      // A protected EEPROM acknowledges the write and keeps its bytes.
      if (EepromWriteProtected(state_)) return kStsNoErr;
      return ProgramPaged(request.address, data) ? kStsNoErr : kStsOutOfRange;
    case Op::kExtMemWrite: {
      bool ok = false;
      switch (state_.config.memory) {
        case MemoryKind::kSpi: case MemoryKind::kNor: ok = ProgramPaged(request.address, data); break;
        case MemoryKind::kEeprom8: case MemoryKind::kEeprom16:
          ok = EepromWriteProtected(state_) || ProgramPaged(request.address, data);
          break;
        case MemoryKind::kOtp:
          otpReport_ = state_.memory.ProgramOtp(request.address, data, 0, state_.faults.otpFail);
          ok = otpReport_.failCount == 0;
          break;
      }
      if (state_.config.memory == MemoryKind::kNor) state_.norTagged = false;
      return ok ? kStsNoErr : kStsHwErr;
    }
    case Op::kSpiWriteSr: {
      // A set register-protect bit holds the register while the write-protect pin is active.
      if ((state_.statusRegister & kSrRegisterProtect) != 0 && !WriteProtectPinReleased(state_)) return kStsNoErr;
      state_.statusRegister = static_cast<std::uint8_t>(data[0] & ~(kSrWriteInProgress | kSrWriteEnableLatch));
      statusWriteUntilMs_ = TheClock().NowMs() + state_.config.statusWriteMs;
      return kStsNoErr;
    }
    case Op::kI2cRegWrite:
      for (std::size_t i = 0; i < data.size(); ++i) i2cRegisters_[request.address + static_cast<std::uint32_t>(i)] = data[i];
      return kStsNoErr;
    case Op::kI2cSlaveWrite: case Op::kI2cRandomWrite: case Op::kI2cSuperWrite: case Op::kI2cLongWrite: {
      const bool longForm = request.op == Op::kI2cLongWrite;
      const std::uint8_t slave = static_cast<std::uint8_t>(longForm ? request.extra : request.address);
      const std::uint32_t offset = longForm ? request.address : 0;
      auto& device = i2cDevices_[slave];
      if (device.empty()) device.assign(kI2cDeviceSize, 0);
      std::copy(data.begin(), data.end(), device.begin() + offset);
      return kStsNoErr;
    }
    case Op::kOtpWrite:
      // The mode word is the number of failing bytes the chip programs past.
      otpReport_ = state_.memory.ProgramOtp(request.address, data, request.extra, state_.faults.otpFail);
      return kStsNoErr;
    case Op::kOtpWriteTest:
      otpReport_ = state_.memory.TestOtp(request.address, data, state_.faults.otpFail);
      return kStsNoErr;
    default:
      return kStsUnknownSubCmd;
  }
}

std::uint8_t SimChip::Act(const Request& request, std::uint32_t timeoutMs, bool& timedOut) {
  timedOut = false;
  auto slowErase = [&] {
    const std::uint32_t eraseMs = state_.faults.slowEraseMs;
    if (eraseMs == 0) return;
    const std::uint64_t start = TheClock().NowMs();
    if (timeoutMs != 0 && eraseMs > timeoutMs) {
      TheClock().SleepMs(timeoutMs);
      busyUntilMs_ = start + eraseMs;
      timedOut = true;
    } else {
      TheClock().SleepMs(eraseMs);
    }
  };
  switch (request.op) {
    case Op::kSetDataSize:
      // Sizes other than 8 and 64 leave the size as it is; GET_LEN tells the host.
      if (request.length == 8 || request.length == 64) state_.dataControlSize = static_cast<std::uint16_t>(request.length);
      return kStsNoErr;
    case Op::kResetToUpdate: pendingReset_ = ResetKind::kToUpdate; return kStsNoErr;
    case Op::kResetToNewCode: pendingReset_ = ResetKind::kToNewCode; return kStsNoErr;
    case Op::kResetToRom: pendingReset_ = ResetKind::kToRom; return kStsNoErr;
    case Op::kResetByRequest: pendingReset_ = ResetOfCommand(request.address); return kStsNoErr;
    case Op::kRequest10: return kStsNoErr;
    case Op::kNorErase:
      slowErase();
      state_.memory.EraseAll();
      state_.norTagged = false;
      return timedOut ? kStsNotFinish : kStsNoErr;
    case Op::kNorWriteTag:
      state_.norTagged = true;
      return kStsNoErr;
    case Op::kSpiEraseChip:
      slowErase();
      state_.memory.EraseAll();
      return timedOut ? kStsNotFinish : kStsNoErr;
    case Op::kSpiEraseSector:
      return state_.memory.EraseSector(request.address) ? kStsNoErr : kStsOutOfRange;
    case Op::kSpiWriteTag: {
      const std::uint8_t tag[2] = {0x55, 0xAA};
      return ProgramPaged(kFlashTagAddress, tag) ? kStsNoErr : kStsOutOfRange;
    }
    default:
      // A data command of length 0 has nothing to do.
      return request.length == 0 ? kStsNoErr : kStsUnknownSubCmd;
  }
}

}  // namespace quillon::sim
