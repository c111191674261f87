// The OTP memory type: every download appends its parts as new blocks behind
// the newest ones, books them in the VD table, repairs bytes that failed to
// program through ECC entries, and retires the older blocks of the same kind.
// otp_programming.cpp programs one part; otp_flow.cpp builds the parts and
// carries out the operations.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "flow/dev_flow.h"
#include "flow/otp_layout.h"

namespace quillon {

// The part being written, for the programming steps.
struct OtpPartRecord {
  otp::PartKind kind = otp::PartKind::Config;
  std::span<std::uint8_t> buffer;
};
OtpPartRecord& TheOtpPart();

// Results of MP_OTPReduantDetail.
enum class EccWrite : int { Corrected = 0, HardwareError = 1, Locked = 3, NoEntry = 4 };

// Working state of one part (reset by MP_OTPWrite).
struct CMpFlow_OTPState {
  std::array<std::uint16_t, 8> m_wFailAddr{};
  std::array<std::uint8_t, 8> m_byFailValue{};
  std::array<std::uint32_t, 8> m_bFailFlag{};
  std::array<std::uint8_t, 8> byECCNo{};
  std::uint32_t m_uActualECCNum = 0;
  std::uint32_t m_uVirtualECCNum = 0;
  std::uint32_t m_uSubECCNum = 0;
  std::uint32_t m_uExecECCNum = 0;
  std::uint32_t m_uTotalErrorNum = 0;
  std::uint32_t m_uCurErrorNum = 0;
  std::uint32_t m_uVDFlagNum = 0;
  int m_iSelBlock = 0;
  int m_iPreSelBlock = 0;
  std::uint16_t m_wVDAddr = 0;
  std::uint16_t m_wVDLen = 0;
  std::uint16_t m_wStartAddr = 0;
  std::uint16_t m_wCurAddr = otp::kNoAddress;
  std::uint32_t m_bWriteStarted = 0;
  std::array<std::uint8_t, otp::kVdEntrySize> m_abyLastVDEntry{};
  std::array<std::uint8_t, otp::kVdTableSize> m_abyVDData{};
  std::array<std::uint8_t, otp::kEccTableSize> m_abyECCData{};
};

class COTPInfo_USB final : public CDevFlow, public CMpFlow_OTPState {
 public:
  COTPInfo_USB() : CDevFlow(MemoryType::Otp) {}

  // The operation table.
  int DEV_Read() override { return OTP_Read(); }
  std::uint32_t OtpBytesInUse() const override { return otpUsedBytes; }
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

  // Programming one part (otp_programming.cpp).
  int OTP_UpdateEx(std::span<std::uint8_t> part);
  int OTP_UpdateEx_Cmd2(std::span<std::uint8_t> part);
  int OTP_ReadEx_Cmd2(std::uint16_t address, std::span<std::uint8_t> buffer, bool progress);
  int OTP_Veriry_Cmd2(std::uint16_t address, std::span<std::uint8_t> buffer);
  void MP_OTPGetCorrectCodeData(std::uint16_t start, std::span<std::uint8_t> buffer);

  int MP_OTPWrite(std::span<std::uint8_t> data);
  int MP_CheckVDNUM();
  int MP_CheckVDInfo(std::uint32_t length);
  int MP_OTPBlockValidAndSet(std::uint32_t entryAddress, int index);
  bool MP_CheckOTPWriteInValid(std::uint16_t start);
  void MP_OTPInit();
  void MP_OTPGetTotalErrorNum(std::uint16_t start, std::uint32_t length);
  void MP_OTPConvertBinaryData(std::uint16_t start, std::span<std::uint8_t> data);
  std::uint8_t MP_ChangeBinaryData(std::uint8_t otpByte, std::uint8_t dataByte, std::uint16_t address);
  void MP_OTPReduceErrNum(std::uint16_t address, std::uint8_t value);
  int MP_OTPWriteWithRetry(std::uint16_t address, std::span<const std::uint8_t> chunk, std::uint32_t budget);
  int MP_OTPWriteEnale();
  int MP_OTPAnalyzeECC(std::uint16_t chunkAddress, std::span<const std::uint8_t> chunk);
  int MP_OTPReduant();
  EccWrite MP_OTPReduantDetail(std::uint16_t address, std::uint8_t value);
  int MP_OTPWriteBlock(std::uint32_t length);
  int MP_OTPWriteBlockFail(std::uint16_t stop, std::uint32_t length);
  int MP_OTPReduantVDFlag(int index);
  void MP_OTPClearECC();
  bool MP_OTPECCBelongToVDCode(std::uint16_t address);
  bool MP_OTPECCBelongToVDConfig(std::uint16_t address);
  void MP_OTPClearCurECC(std::uint16_t stop, std::uint32_t length);
  void MP_OTPClearPreVDBlock();
  void MP_OTPClearPrePreVDBlock();
  void MP_OTPFailAction(std::uint32_t length);
  bool MP_OTPBlockValid(std::uint32_t entryAddress);

  // Table queries.
  std::uint32_t OTP_UsedSpace();
  std::uint32_t OTP_FreeEntryCount();
  otp::Block OTP_LatestBlock(otp::PartKind kind);
  int OTP_PreSelBlock();

  // The parts of the last preparation.
  std::vector<std::uint8_t> codePart;
  std::vector<std::uint8_t> configPart;
  std::uint32_t otpUsedBytes = 0;

 private:
  // Device access; false when the command failed.
  bool ReadOtp(std::uint32_t address, std::span<std::uint8_t> out);
  // A table write: the command, then its program-fail report. True only when
  // the command went through and the report was read and shows no failure.
  bool WriteTable(std::uint32_t address, std::span<const std::uint8_t> bytes);
  // Overwrites `count` bytes at `address` with their complement (they become
  // 0xFF); the report is read but not looked at.
  void Retire(std::uint32_t address, std::uint32_t count);
  bool ReadReport(std::array<std::uint8_t, otp::kReportSize>& out);
  std::array<std::uint8_t, otp::kVdTableSize> ReadVdTable();
  std::array<std::uint8_t, otp::kEccTableSize> ReadEccTable(std::uint8_t preset);
  // Posts a failure of the part being written and remembers that one was posted.
  int Fail(std::uint32_t id);
  bool EccBelongsTo(std::uint16_t address, std::uint8_t type);
  // The parts of `source`, prepared and written one after the other.
  int WriteParts(std::span<const std::uint8_t> source);
  // The download and the update: the parts, the reset into the new code when
  // the options ask for it, and the PASS `passId`.
  int WriteAndFinish(std::span<const std::uint8_t> source, std::uint32_t passId);
  // What one download of the file image consumes, for the usage figures.
  otp::PerDownload PerDownloadOfImage();

  bool partFailPosted_ = false;
  bool cancelledWhileWriting_ = false;
  std::uint32_t partLength_ = 0;
};

}  // namespace quillon
