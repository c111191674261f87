// The OTP memory type: every download appends its parts as new blocks behind
// the newest ones, books them in the VD table, repairs bytes that failed to
// program through ECC entries, and retires the older blocks of the same kind.
// otp_programming.cpp programs a part and books the entries; otp_flow.cpp
// builds the parts and carries out the operations.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flow/dev_flow.h"
#include "flow/otp_layout.h"
#include "flow/otp_ledger.h"
#include "flow/otp_planner.h"

namespace quillon {

// A part whose data is written and checked but whose entry is not booked yet.
struct PendingPart {
  otp::EntryPlan entry;
  otp::Budget budget;
  std::uint32_t length = 0;
  otp::PartKind kind = otp::PartKind::Config;
};

class COTPInfo_USB final : public CDevFlow {
 public:
  explicit COTPInfo_USB(ChipSession& session) : CDevFlow(MemoryType::Otp, session) {}

  // The operation table.
  int DEV_Read() override { return OTP_Read(); }
  std::uint32_t OtpBytesInUse() const override { return otpUsedBytes; }
  bool OtpOlderBlocksLive() const override { return retirementIncomplete_; }
  // OTP cannot be erased; like every operation OTP lacks, it says so.
  int DEV_Erase() override { return NotSupported(); }
  int DEV_Update() override { return OTP_Update(); }
  int DEV_Download() override { return OTP_Download(); }
  int DEV_Silence_VerifyBin(const std::string&) override { return NotSupported(); }
  int DEV_DumpText(const std::string&) override { return NotSupported(); }
  int DEV_EraseEx(int) override { return NotSupported(); }
  int OTP_UsageText(std::string& text) override;

  // Operations (otp_flow.cpp).
  int OTP_Download();
  int OTP_Update();
  int OTP_Read();
  // 0 failure, 1 part built, 2 nothing to write for this part.
  int OTP_PreparePart(std::span<const std::uint8_t> source, int part);
  // Bytes in use; sets connectionText to the usage line and otpUsedBytes.
  std::uint32_t OTP_SpaceText() override;

  // Programming one part (otp_programming.cpp): the steps read the tables,
  // ask the planner and the ledger (otp_planner.h, otp_ledger.h), and write
  // what they decide.
  // The space and entry questions, once for a whole download of `bytes` in
  // `entries` parts, before anything is programmed; 0 (with its FAIL posted
  // and the chip reset) when it is refused.
  int OTP_UpdateEx(std::uint32_t bytes, std::uint32_t entries);
  // Programs, checks and books one part. With `hold`, the part's entry is not
  // booked but left in `pending`; with a part in `pending`, this part goes
  // behind it and both entries are booked one after the other once this
  // part's data is checked.
  int OTP_UpdateEx_Cmd2(std::span<std::uint8_t> part, otp::PartKind kind, std::optional<PendingPart>& pending,
                        bool hold);
  // Bytes a cut download programmed and never booked, where the next part
  // would start: booked dead before the questions, so that these see the
  // space and entries the download really has.
  int RecoverUnbooked();
  int OTP_ReadEx_Cmd2(std::uint16_t address, std::span<std::uint8_t> buffer, bool progress);
  int OTP_Veriry_Cmd2(std::uint16_t address, std::span<std::uint8_t> buffer);
  // False when an ECC entry could not be read (the bytes are then not all corrected).
  bool MP_OTPGetCorrectCodeData(std::uint16_t start, std::span<std::uint8_t> buffer);

  // Table queries.
  std::uint32_t OTP_UsedSpace();
  std::uint32_t OTP_FreeEntryCount();
  otp::Block OTP_LatestBlock(otp::PartKind kind);

  // The parts of the last preparation.
  std::vector<std::uint8_t> codePart;
  std::vector<std::uint8_t> configPart;
  std::uint32_t otpUsedBytes = 0;

 private:
  class ChipTables;

  int MP_OTPWrite(std::span<std::uint8_t> data, otp::PartKind kind, const std::optional<PendingPart>& pending);
  // The VD table with the pending part's entry as it will be booked.
  std::array<std::uint8_t, otp::kVdTableSize> VdTableWith(const std::optional<PendingPart>& pending);
  // Books the booked part's retirements: the older entries of its kind and the
  // ECC entries inside their blocks.
  void RetireOlder(otp::PartKind kind);
  // A pending part that will not be booked: its bytes, and `more` bytes
  // behind them, are booked dead.
  void AbandonPending(std::optional<PendingPart>& pending, std::uint32_t more);
  int MP_CheckVDInfo(std::span<const std::uint8_t> vdTable, std::uint32_t length);
  bool MP_CheckOTPWriteInValid(std::uint16_t start);
  // Books the programmed but unbooked bytes from the chosen start as a dead
  // entry; 0 (with its FAIL posted) when they cannot be read or booked.
  int BookUnbooked();
  void MP_OTPConvertBinaryData(std::span<std::uint8_t> data);
  int MP_OTPWriteWithRetry(std::uint16_t address, std::span<const std::uint8_t> chunk);
  int MP_OTPWriteEnale();
  int MP_OTPReduant();
  otp::EccWrite MP_OTPReduantDetail(std::uint16_t address, std::uint8_t value);
  int MP_OTPWriteBlock(std::uint32_t length, otp::PartKind kind);
  int MP_OTPWriteBlockFail(std::uint16_t stop, std::uint32_t length);
  int BookEntry(const otp::VdEntry& entry);
  int MP_OTPReduantVDFlag(std::uint32_t index);
  void MP_OTPClearECC(otp::PartKind kind);
  void MP_OTPClearCurECC(std::uint16_t stop, std::uint32_t length);
  void RetireOlderEntries(otp::PartKind kind, std::uint32_t below);
  void MP_OTPFailAction(std::uint32_t length);

  // Device access; false when the command failed.
  bool ReadOtp(std::uint32_t address, std::span<std::uint8_t> out);
  // A table write: the command, then its program-fail report, each retried.
  // Unconfirmed when the link lost either: the entry may or may not hold the
  // bytes, so it is neither booked nor retired on a guess.
  enum class TableWrite : std::uint8_t { kWritten, kCellsFailed, kUnconfirmed };
  TableWrite WriteTable(std::uint32_t address, std::span<const std::uint8_t> bytes);
  // Overwrites `count` bytes at `address` with their complement (they become
  // 0xFF); the report is read but not looked at. False when the link lost the
  // write or its report.
  bool Retire(std::uint32_t address, std::uint32_t count);
  bool ReadReport(std::array<std::uint8_t, otp::kReportSize>& out);
  // The link lost a write or its report past the retries: the part stops as
  // the link failure and nothing more is written (no dead entry, no
  // retirement); the next download books what this one left unbooked.
  int LinkLost();
  // A write refused before it went: the lock bit, or the link that lost the lock register.
  int NotEnabled();
  std::array<std::uint8_t, otp::kVdTableSize> ReadVdTable();
  std::array<std::uint8_t, otp::kEccTableSize> ReadEccTable(std::uint8_t preset);
  // Posts a failure of the part being written and remembers that one was posted.
  int Fail(std::uint32_t id);
  // The parts of `source`, prepared and written one after the other.
  int WriteParts(std::span<const std::uint8_t> source);
  // The download and the update: the parts, the reset into the new code when
  // the options ask for it, and the PASS `passId`.
  int WriteAndFinish(std::span<const std::uint8_t> source, std::uint32_t passId);
  // What one download of the file image consumes, for the usage figures.
  otp::PerDownload PerDownloadOfImage();

  // Working state of the part being written (reset by MP_OTPWrite).
  otp::EntryPlan entry_;
  otp::Budget budget_;
  otp::FailLedger ledger_;
  bool writeStarted_ = false;
  otp::VdEntry lastEntry_;
  bool partFailPosted_ = false;
  bool cancelledWhileWriting_ = false;
  bool linkLost_ = false;
  // An older block of the written kind may still be live (a retirement was
  // lost); the next download retires every older block of each kind anyway.
  bool retirementIncomplete_ = false;
};

}  // namespace quillon
