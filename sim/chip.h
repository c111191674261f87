// One simulated chip: answers the control transfers that reach it (standard
// descriptor requests, the extension-unit command protocol on controls 10 and
// 11, and the vendor requests) from its state. Whether a transfer reaches the
// chip at all (bus presence, faults) is the bus's business.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "proxy/usb_backend.h"
#include "sim/chip_state.h"
#include "sim/commands.h"

namespace quillon::sim {

enum class ResetKind : std::uint8_t { kNone, kToUpdate, kToNewCode, kToRom };

inline constexpr std::uint8_t kSelectorCommand = 10;
inline constexpr std::uint8_t kSelectorData = 11;

class SimChip {
 public:
  explicit SimChip(ChipState state);

  ChipState& state() { return state_; }
  const ChipState& state() const { return state_; }

  // One control transfer that reached the chip.
  TransferResult Handle(const SetupPacket& setup, std::span<std::uint8_t> data, std::uint32_t timeoutMs);

  // The reset the last transfer asked for, if any; asking clears it.
  ResetKind TakeReset();

  // The chip answered a transfer with a stall of its own (fault injection): the
  // command in progress ends with a hardware error.
  void StallCurrentCommand();

  // True once when the power failed during the last transfer's programming
  // (an armed page-loss fault); the chip is then off the bus.
  bool TakePowerLoss();

  // Power-up: volatile state cleared, the loader starts by its rule. Pages of
  // a write still being programmed when the power went are lost.
  void PowerUp();
  // Back on the bus after a reset of the given kind.
  void ComeBack(ResetKind kind);

  // What the run's read faults count (see RunStats).
  std::uint32_t MemoryReads() const { return memoryReads_; }
  std::uint32_t OtpReportReads() const { return otpReportReads_; }

  // The serial-number string the chip reports.
  std::string Serial() const;
  // Byte 0 of the command status answer.
  std::uint8_t CommandStatus() const { return xu_.status; }

  // Every flash write command this chip took since it was made (address and
  // length), in order: the page-loss fault counts them.
  struct ProgramRecord {
    std::uint32_t address;
    std::uint32_t length;
  };
  const std::vector<ProgramRecord>& Programs() const { return programs_; }

 private:
  struct XuState {
    bool active = false;
    Request request;
    std::vector<std::uint8_t> buffer;  // the data of the phase
    std::size_t done = 0;
    std::uint8_t status = kStsCmd;
  };

  TransferResult HandleStandard(const SetupPacket& setup, std::span<std::uint8_t> data);
  TransferResult HandleExtensionUnit(const SetupPacket& setup, std::span<std::uint8_t> data, std::uint32_t timeoutMs);
  TransferResult HandleCommandBlock(std::span<const std::uint8_t> block, std::uint32_t timeoutMs);
  TransferResult HandleDataPiece(const SetupPacket& setup, std::span<std::uint8_t> data);
  TransferResult HandleVendor(const SetupPacket& setup, std::span<std::uint8_t> data, std::uint32_t timeoutMs);
  TransferResult FailCommand(std::uint8_t status);

  // Command execution (chip_ops.cpp). Each returns a status code; kStsNoErr is success.
  std::uint8_t Check(const Request& request) const;
  std::uint8_t Read(const Request& request, std::vector<std::uint8_t>& out);
  std::uint8_t Write(const Request& request, std::span<const std::uint8_t> data);
  std::uint8_t Act(const Request& request, std::uint32_t timeoutMs, bool& timedOut);
  std::uint8_t ReadExternal(const Request& request, std::vector<std::uint8_t>& out);
  bool FlashBusy() const;
  // A write's pages are programmed one after the other once its data is in.
  // The memory shows the whole write at once; until the last page is done the
  // old contents of the pages still to come are kept, to be put back when
  // the power fails first.
  bool ProgramPaged(std::uint32_t address, std::span<const std::uint8_t> data);
  std::uint32_t PagesDone() const;
  bool Programming() const;
  void WaitForProgramming();
  void CutProgramming(std::uint32_t pages);
  static bool WaitsForProgramming(Op op);
  void ApplyCorruption(std::uint32_t address, std::vector<std::uint8_t>& bytes);
  std::uint32_t PageSize() const;

  ChipState state_;
  XuState xu_;
  ResetKind pendingReset_ = ResetKind::kNone;
  OtpReport otpReport_;
  std::uint32_t memoryReads_ = 0;     // memory reads this run (the flaky-read fault counts them)
  std::uint32_t otpReportReads_ = 0;  // program-fail report reads since this object was made
  std::uint64_t statusWriteUntilMs_ = 0;  // status register write in progress
  std::uint64_t busyUntilMs_ = 0;         // a slow erase still running
  struct Pending {
    bool active = false;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> before;  // the range before the write
    std::uint32_t pages = 0;
    std::uint64_t startMs = 0;
  };
  Pending pending_;
  std::vector<ProgramRecord> programs_;
  bool powerLost_ = false;
  std::map<std::uint16_t, std::uint8_t> phy_;
  std::map<std::uint32_t, std::uint8_t> i2cRegisters_;
  std::map<std::uint8_t, std::vector<std::uint8_t>> i2cDevices_;  // 64 KB each, by slave address
};

}  // namespace quillon::sim
