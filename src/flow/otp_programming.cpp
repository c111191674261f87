// Programming one part into OTP: the space questions, the choice of the VD
// entry and start address, chunked programming with correction of failed bytes
// through ECC entries, verification with the table applied, the booking of the
// block, and the recovery after a failure (dead entries, retired entries).
#include <algorithm>
#include <functional>
#include <new>

#include "flow/bulk_phase.h"
#include "flow/flow_helpers.h"
#include "flow/otp_flow.h"
#include "flow/status.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

using namespace otp;

constexpr std::uint32_t kChunk = 4096;
constexpr std::uint32_t kAbnormalWindow = 256;
constexpr std::uint32_t kSpaceQuestionBytes = 5120;
constexpr std::uint32_t kSpaceQuestionEntries = 4;
constexpr std::uint32_t kFarAddress = 0x4000;

namespace id {
constexpr std::uint32_t kWriteOtpFail = 41914;
constexpr std::uint32_t kNotEnoughVdBlock = 41916;
constexpr std::uint32_t kCodeExceedMaxLength = 41917;
constexpr std::uint32_t kOtpLocked = 41918;
constexpr std::uint32_t kErrorNumExceed = 41919;
constexpr std::uint32_t kEccNumLower = 41923;
constexpr std::uint32_t kNotFindVdBlock = 41924;
constexpr std::uint32_t kFailAddress = 41926;
constexpr std::uint32_t kWriteBlockFail = 41927;
constexpr std::uint32_t kLastWriteAbnormal = 41937;
}  // namespace id

std::uint32_t SaturatingSub(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

std::span<const std::uint8_t> EccAt(std::span<const std::uint8_t> table, std::uint32_t n) {
  return table.subspan((n - 1) * kEccEntrySize, kEccEntrySize);
}

}  // namespace

OtpPartRecord& TheOtpPart() {
  static OtpPartRecord part;
  return part;
}

// ---- device access ----

bool COTPInfo_USB::ReadOtp(std::uint32_t address, std::span<std::uint8_t> out) {
  return VxCam_OTP_Read(device.handle, address, out) != 0;
}

bool COTPInfo_USB::ReadReport(std::array<std::uint8_t, kReportSize>& out) {
  out.fill(0);
  return VxCam_OTP_ReadProgramFailAdr(device.handle, out) != 0;
}

bool COTPInfo_USB::WriteTable(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  const bool sent = VxCam_OTP_Write(device.handle, address, kTableMode, bytes) != 0;
  std::array<std::uint8_t, kReportSize> report{};
  const bool read = ReadReport(report);
  // A report that was not read says nothing: the entry is not taken as written.
  return sent && read && report[0] == 0;
}

void COTPInfo_USB::Retire(std::uint32_t address, std::uint32_t count) {
  std::array<std::uint8_t, kVdEntrySize> bytes{};
  std::span<std::uint8_t> now = std::span(bytes).first(std::min<std::uint32_t>(count, kVdEntrySize));
  std::fill(now.begin(), now.end(), 0xFF);
  ReadOtp(address, now);
  for (auto& b : now) b = static_cast<std::uint8_t>(~b);
  VxCam_OTP_Write(device.handle, address, kTableMode, now);
  std::array<std::uint8_t, kReportSize> report{};
  ReadReport(report);
}

std::array<std::uint8_t, kVdTableSize> COTPInfo_USB::ReadVdTable() {
  std::array<std::uint8_t, kVdTableSize> table;
  table.fill(0xFF);
  ReadOtp(kVdTable, table);
  return table;
}

std::array<std::uint8_t, kEccTableSize> COTPInfo_USB::ReadEccTable(std::uint8_t preset) {
  std::array<std::uint8_t, kEccTableSize> table;
  table.fill(preset);
  ReadOtp(kEccTable, table);
  return table;
}

int COTPInfo_USB::Fail(std::uint32_t failure) {
  partFailPosted_ = true;
  PostFlowMessage(WM_FLOW_FAIL, failure);
  return 0;
}

// ---- table queries ----

namespace {
// The VD table as the queries see it: entry by entry, an unread entry blank.
std::array<std::uint8_t, kVdTableSize> ReadEntries(const std::function<bool(std::uint32_t, std::span<std::uint8_t>)>& read) {
  std::array<std::uint8_t, kVdTableSize> table{};
  for (std::uint32_t i = kVdEntries; i-- > 0;) {
    std::span<std::uint8_t> entry = std::span(table).subspan(i * kVdEntrySize, kVdEntrySize);
    if (!read(VdEntryAddress(i), entry)) std::fill(entry.begin(), entry.end(), 0);
  }
  return table;
}
}  // namespace

std::uint32_t COTPInfo_USB::OTP_UsedSpace() {
  return UsedSpace(ReadEntries([this](std::uint32_t a, std::span<std::uint8_t> e) { return ReadOtp(a, e); }));
}

std::uint32_t COTPInfo_USB::OTP_FreeEntryCount() {
  return FreeEntryCount(ReadEntries([this](std::uint32_t a, std::span<std::uint8_t> e) { return ReadOtp(a, e); }));
}

Block COTPInfo_USB::OTP_LatestBlock(PartKind kind) {
  return LatestBlock(ReadEntries([this](std::uint32_t a, std::span<std::uint8_t> e) { return ReadOtp(a, e); }), kind);
}

bool COTPInfo_USB::MP_OTPBlockValid(std::uint32_t entryAddress) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPBlockValid", kTraceOtp);
  std::array<std::uint8_t, kVdEntrySize> entry{};
  ReadOtp(entryAddress, entry);
  Trace(trace, "0x%x 0x%x 0x%x 0x%x 0x%x\n", entry[0], entry[1], entry[2], entry[3], entry[4]);
  const auto ecc = ReadEccTable(0x00);
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    const EccEntry e = EccEntry::Unpack(EccAt(ecc, n));
    if (e.address >= entryAddress && e.address < entryAddress + kVdEntrySize) return false;
  }
  return true;
}

int COTPInfo_USB::OTP_PreSelBlock() {
  for (int i = static_cast<int>(kVdEntries) - 1; i >= 0; --i) {
    std::array<std::uint8_t, kVdEntrySize> entry{};
    const std::uint32_t address = VdEntryAddress(static_cast<std::uint32_t>(i));
    ReadOtp(address, entry);
    if (entry[4] != 0 && MP_OTPBlockValid(address)) return i;
  }
  return 0;
}

void COTPInfo_USB::MP_OTPGetCorrectCodeData(std::uint16_t start, std::span<std::uint8_t> buffer) {
  std::array<std::uint8_t, kEccTableSize> table{};
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    std::span<std::uint8_t> entry = std::span(table).subspan((n - 1) * kEccEntrySize, kEccEntrySize);
    if (!ReadOtp(EccEntryAddress(n), entry)) std::fill(entry.begin(), entry.end(), 0);
  }
  ApplyEccTable(table, start, buffer);
}

// ---- chunked reads ----

int COTPInfo_USB::OTP_ReadEx_Cmd2(std::uint16_t address, std::span<std::uint8_t> buffer, bool progress) {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepRead);
  if (buffer.empty()) return 0;
  const std::size_t length = buffer.size();
  for (std::size_t done = 0; done < length;) {
    if (FlowCancelled()) return 0;
    const std::size_t chunk = std::min<std::size_t>(kChunk, length - done);
    if (!ReadOtp(address + static_cast<std::uint32_t>(done), buffer.subspan(done, chunk))) return 0;
    done += chunk;
    if (progress) PostFlowMessage(WM_FLOW_PROGRESS, static_cast<std::uint32_t>(done * 80 / length + 10));
  }
  return 1;
}

int COTPInfo_USB::OTP_Veriry_Cmd2(std::uint16_t address, std::span<std::uint8_t> buffer) {
  return OTP_ReadEx_Cmd2(address, buffer, false);
}

// ---- one part ----

int COTPInfo_USB::OTP_UpdateEx(std::span<std::uint8_t> part) {
  ScopedTrace trace("CMpFlow_OTP::OTP_UpdateEx", kTraceOtp);
  const std::uint32_t remaining = kCodeAreaSize - std::min(OTP_UsedSpace(), kCodeAreaSize);
  const std::uint32_t free = OTP_FreeEntryCount();
  bool refused = false;
  if (free == 0) {
    ThePrompt().Show("No Available VD Block!", "");
    refused = true;
  } else if (remaining <= kSpaceQuestionBytes &&
             ThePrompt().Ask("OTP Code Size Less than 5K,\nContinue to Update!", "", Answer::No) != Answer::Yes) {
    refused = true;
  } else if (free <= kSpaceQuestionEntries &&
             ThePrompt().Ask("OTP VD Block Less than 4,\nContinue to Update!", "", Answer::No) != Answer::Yes) {
    refused = true;
  }
  if (refused) {
    MP_ResetDevice(9, 0);
    PostFlowMessage(WM_FLOW_FAIL, id::kWriteOtpFail);
    return 0;
  }
  return OTP_UpdateEx_Cmd2(part);
}

int COTPInfo_USB::OTP_UpdateEx_Cmd2(std::span<std::uint8_t> part) {
  ScopedTrace trace("CMpFlow_OTP::OTP_UpdateEx_Cmd2", kTraceOtp);
  partFailPosted_ = false;
  cancelledWhileWriting_ = false;
  if (FlowCancelled()) return Fail(msg::kRunCancelled);
  const std::uint32_t length = static_cast<std::uint32_t>(part.size());
  if (!Allocate(readBuffer, length)) return Fail(msg::kMallocDataFail);

  // Every failure below ends with at least one FAIL: the steps post their own,
  // and a cancel or a silent step is reported here after the recovery.
  const auto failed = [&](bool recover) {
    if (recover) MP_OTPFailAction(length);
    if (cancelledWhileWriting_) {
      Fail(msg::kResetDeviceFail);
    } else if (!partFailPosted_) {
      Fail(id::kWriteOtpFail);
    }
    return 0;
  };
  // The data chunks and their read-back go in 64-byte extension-unit pieces.
  const auto inBulk = [this](auto&& phase) {
    BulkPhase bulk(device, kFlagForceUnit);
    return phase();
  };
  if (inBulk([&] { return MP_OTPWrite(part); }) == 0) return failed(true);

  const std::span<const std::uint8_t> reference(image.fileCopy);
  bool same = inBulk([&] { return OTP_Veriry_Cmd2(m_wStartAddr, readBuffer); }) != 0;
  if (same) {
    MP_OTPGetCorrectCodeData(m_wStartAddr, readBuffer);
    same = reference.size() == length && std::equal(readBuffer.begin(), readBuffer.end(), reference.begin());
  }
  if (!same) {
    Trace(trace, "Compare OTP Code Fail\n");
    Fail(msg::kCompareDataFail);
    return failed(true);
  }
  if (MP_OTPWriteBlock(length) == 0) {
    MP_OTPClearCurECC(m_wCurAddr, length);
    Fail(id::kWriteBlockFail);
    Trace(trace, "MP_OTPWriteBlock Fail\n");
    return 0;
  }
  if (m_iSelBlock != m_iPreSelBlock) {
    MP_OTPClearECC();
    std::array<std::uint8_t, kVdEntrySize> previous{};
    ReadOtp(VdEntryAddress(static_cast<std::uint32_t>(m_iPreSelBlock)), previous);
    if (previous[4] == kTypeCode || previous[4] == kTypeConfig) {
      MP_OTPClearPreVDBlock();
    } else {
      MP_OTPClearPrePreVDBlock();
    }
  }
  return 1;
}

int COTPInfo_USB::MP_OTPWrite(std::span<std::uint8_t> data) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWrite", kTraceOtp);
  const std::uint32_t length = static_cast<std::uint32_t>(data.size());
  partLength_ = length;
  m_uTotalErrorNum = 0;
  m_wCurAddr = kNoAddress;
  m_bWriteStarted = 0;
  if (MP_CheckVDNUM() == 0) return 0;
  if (MP_CheckVDInfo(length) == 0) return 0;
  m_wStartAddr = static_cast<std::uint16_t>(m_wVDLen + m_wVDAddr);
  if (MP_CheckOTPWriteInValid(m_wStartAddr)) {
    Trace(trace, "Last OTP Write Operation Abnomal\n");
    return Fail(id::kLastWriteAbnormal);
  }
  m_bWriteStarted = 1;
  Trace(trace, "wStartAddr is 0x%x\n", unsigned{m_wStartAddr});
  Trace(trace, "wTotalLen  is 0x%x\n", 0u);
  Trace(trace, "wLen  is 0x%x\n", length);
  MP_OTPInit();
  MP_OTPGetTotalErrorNum(m_wStartAddr, length);
  // The budget never wraps: more reserved entries behind the block than slots leave none.
  m_uExecECCNum = std::min(m_uVirtualECCNum, SaturatingSub(kReportSlots, m_uSubECCNum));
  if (m_uExecECCNum == 0) Trace(trace, "0 == m_uExecECCNum\n");
  MP_OTPConvertBinaryData(m_wStartAddr, data);
  PostFlowMessage(WM_FLOW_STEP, msg::kStepDownload);

  const bool code = TheOtpPart().kind == PartKind::Code;
  bool stopped = length == 0;
  std::uint16_t failedAt = m_wStartAddr;
  for (std::uint32_t done = 0; done < length;) {
    const std::uint32_t chunk = std::min(kChunk, length - done);
    const auto address = static_cast<std::uint16_t>(m_wStartAddr + done);
    failedAt = address;
    if (FlowCancelled()) {
      cancelledWhileWriting_ = true;
      stopped = true;
    } else if (MP_OTPWriteWithRetry(address, data.subspan(done, chunk), m_uExecECCNum) == 0) {
      stopped = true;
    }
    if (stopped) break;
    done += chunk;
    if (code) PostFlowMessage(WM_FLOW_PROGRESS, static_cast<std::uint32_t>(std::uint64_t{done} * 80 / length + 10));
  }
  if (stopped) {
    Trace(trace, "MP_OTPWriteWithRetry Fail 0x%x\n", unsigned{failedAt});
    return 0;
  }
  m_wCurAddr = kNoAddress;
  if (MP_OTPReduant() == 0) {
    Trace(trace, "MP_OTPReduant Fail\n");
    return 0;
  }
  return 1;
}

int COTPInfo_USB::MP_CheckVDNUM() {
  ScopedTrace trace("CMpFlow_OTP::MP_CheckVDNUM", kTraceOtp);
  m_abyVDData = ReadVdTable();
  m_uVDFlagNum = 0;
  for (std::uint32_t i = 0; i < kVdEntries; ++i) {
    if (IsBlankVd(std::span(m_abyVDData).subspan(i * kVdEntrySize, kVdEntrySize))) ++m_uVDFlagNum;
  }
  Trace(trace, "m_uVDFLagNum is %d\n", static_cast<int>(m_uVDFlagNum));
  if (m_uVDFlagNum == 0) {
    Trace(trace, "0 == m_uVDFlagNum\n");
    return Fail(id::kNotEnoughVdBlock);
  }
  return 1;
}

int COTPInfo_USB::MP_CheckVDInfo(std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_CheckVDInfo", kTraceOtp);
  m_iPreSelBlock = OTP_PreSelBlock();
  const auto entryBytes = [&](int i) {
    return std::span<const std::uint8_t>(m_abyVDData).subspan(static_cast<std::size_t>(i) * kVdEntrySize, kVdEntrySize);
  };
  int selected = -1;
  for (int i = 0; i < static_cast<int>(kVdEntries); ++i) {
    auto e = entryBytes(i);
    Trace(trace, "MP_CheckVDInfo 0x%x 0x%x 0x%x 0x%x 0x%x\n", e[0], e[1], e[2], e[3], e[4]);
    if (MP_OTPBlockValidAndSet(VdEntryAddress(static_cast<std::uint32_t>(i)), i) != 0 && IsBlankVd(e)) {
      selected = i;
      break;
    }
  }
  if (selected < 0) {
    Trace(trace, "Not Find Sel Block\n");
    return Fail(id::kNotFindVdBlock);
  }
  VdEntry predecessor;
  if (selected == 0) {
    Trace(trace, "VD Flag Initial\n");
  } else {
    bool found = false;
    for (int j = selected - 1; j >= 0 && !found; --j) {
      // An entry retired whole names no area; the one below it does.
      if (IsRetiredWhole(entryBytes(j))) continue;
      if (MP_OTPBlockValid(VdEntryAddress(static_cast<std::uint32_t>(j)))) {
        Trace(trace, "Find VD Flag %d\n", j);
        predecessor = VdEntry::Unpack(entryBytes(j));
        found = true;
      }
    }
    if (!found) Trace(trace, "VD Flag Second\n");
  }
  m_iSelBlock = selected;
  auto s = entryBytes(selected);
  Trace(trace, "Contion byFlag 0x%x byVDAddrH 0x%x byVDAddrL 0x%x byVDLenH 0x%x byVDLenL 0x%x m_iSelBlock %d\n", s[4],
        s[0], s[1], s[2], s[3], m_iSelBlock);
  Trace(trace, "m_iPreSelBlock is %d\n", m_iPreSelBlock);
  Trace(trace, "value i is %d\n", selected);
  Trace(trace, "Find Sel Block\n");
  m_wVDAddr = predecessor.start;
  m_wVDLen = predecessor.length;
  Trace(trace, "CheckVDInfo 0x%x  %d\n", unsigned{m_wVDAddr}, static_cast<int>(m_wVDLen));
  if (std::uint64_t{length} + m_wVDLen + m_wVDAddr > kCodeAreaSize) {
    Trace(trace, "Exceed Code Length\n");
    m_iSelBlock = m_iPreSelBlock;
    return Fail(id::kCodeExceedMaxLength);
  }
  return 1;
}

int COTPInfo_USB::MP_OTPBlockValidAndSet(std::uint32_t entryAddress, int index) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPBlockValidAndSet", kTraceOtp);
  const auto ecc = ReadEccTable(0x00);
  for (std::uint32_t j = 0; j < kEccEntries; ++j) {
    const EccEntry e = EccEntry::Unpack(EccAt(ecc, j + 1));
    if (!e.InUse() || e.address < entryAddress || e.address >= entryAddress + kVdEntrySize) continue;
    Trace(trace, "VD %d covered by ECC %d\n", index, static_cast<int>(j));
    Retire(entryAddress + 4, 1);
    Retire(kEccTable + 3 + kEccEntrySize * j, 1);
    return 0;
  }
  return 1;
}

bool COTPInfo_USB::MP_CheckOTPWriteInValid(std::uint16_t start) {
  ScopedTrace trace("CMpFlow_OTP::MP_CheckOTPWriteInValid", kTraceOtp);
  if (start >= kCodeAreaSize) return false;
  std::vector<std::uint8_t> bytes(std::min(kCodeAreaSize - start, kAbnormalWindow), 0);
  ReadOtp(start, bytes);
  const std::uint32_t end = std::min<std::uint32_t>(start + kAbnormalWindow, kCodeAreaSize);
  if (auto run = FindWrittenRun(bytes, start, end)) {
    Trace(trace, "OTP wAddr 0x%x abnormal\n", *run);
    return true;
  }
  return false;
}

void COTPInfo_USB::MP_OTPInit() {
  byECCNo.fill(0);
  m_bFailFlag.fill(0);
  m_byFailValue.fill(0);
  m_wFailAddr.fill(kNoAddress);
}

void COTPInfo_USB::MP_OTPGetTotalErrorNum(std::uint16_t start, std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPGetTotalErrorNum", kTraceOtp);
  m_abyECCData = ReadEccTable(0xFF);
  m_uActualECCNum = kReportSlots;
  m_uVirtualECCNum = 0;
  m_uSubECCNum = 0;
  const std::uint32_t end = std::uint32_t{start} + length;
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    const EccEntry e = EccEntry::Unpack(EccAt(m_abyECCData, n));
    Trace(trace, "ECC Data 0x%x  %d %d\n", unsigned{e.address}, e.value, e.marker);
    if (e.InUse() && e.address < start) {
      if (m_uActualECCNum > 0) {
        Trace(trace, "m_uActualECCNum is %d\n", static_cast<int>(m_uActualECCNum));
        Trace(trace, "i is %d\n", static_cast<int>(n));
        Trace(trace, e.value != 0 ? "--------\n" : "----\n");
        byECCNo[kReportSlots - m_uActualECCNum] = static_cast<std::uint8_t>(n);
        --m_uActualECCNum;
      }
    } else if (e.InUse() && e.value == 0 && e.address < end) {
      ++m_uVirtualECCNum;
    } else if (e.InUse() && e.value == 0 && e.address >= end && e.address < kCodeAreaSize) {
      ++m_uSubECCNum;
    } else if (e.Blank()) {
      ++m_uVirtualECCNum;
    }
  }
  Trace(trace, "m_uActualECCNum is %d m_uVirtualECCNum is %d m_uSubECCNum %d\n", static_cast<int>(m_uActualECCNum),
        static_cast<int>(m_uVirtualECCNum), static_cast<int>(m_uSubECCNum));
}

void COTPInfo_USB::MP_OTPConvertBinaryData(std::uint16_t start, std::span<std::uint8_t> data) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPConvertBinaryData", kTraceOtp);
  const auto ecc = ReadEccTable(0xFF);
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    const EccEntry e = EccEntry::Unpack(EccAt(ecc, n));
    if (!e.InUse() || e.value != 0 || e.address < start || std::size_t{e.address} - start >= data.size()) continue;
    Trace(trace, "ErrAddr 0x%04x\n", unsigned{e.address});
    std::array<std::uint8_t, 1> cell{0xFF};
    ReadOtp(e.address, cell);
    std::uint8_t& byte = data[e.address - start];
    byte = MP_ChangeBinaryData(cell[0], byte, e.address);
    Trace(trace, "Change Data\n");
  }
}

std::uint8_t COTPInfo_USB::MP_ChangeBinaryData(std::uint8_t otpByte, std::uint8_t dataByte, std::uint16_t address) {
  ScopedTrace trace("CMpFlow_OTP::MP_ChangeBinaryData", kTraceOtp);
  Trace(trace, "byBinaryData is 0x%02x byOTPData is 0x%02x\n", dataByte, otpByte);
  std::uint8_t changed = dataByte;
  for (int bit = 0; bit < 8; ++bit) {
    if ((otpByte >> bit & 1) != 0) {
      Trace(trace, "byTestBit TRUE\n");
      changed = static_cast<std::uint8_t>(changed & ~(1u << bit));
    }
  }
  MP_OTPReduceErrNum(address, dataByte);
  Trace(trace, "byBinaryData is 0x%02x\n", changed);
  return changed;
}

void COTPInfo_USB::MP_OTPReduceErrNum(std::uint16_t address, std::uint8_t value) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPReduceErrNum", kTraceOtp);
  Trace(trace, "Before m_uExecECCNum is %d\n", static_cast<int>(m_uExecECCNum));
  Trace(trace, "Before m_uTotalErrorNum is %d\n", static_cast<int>(m_uTotalErrorNum));
  m_uExecECCNum = SaturatingSub(m_uExecECCNum, 1);
  ++m_uTotalErrorNum;
  Trace(trace, "After m_uExecECCNum is %d\n", static_cast<int>(m_uExecECCNum));
  Trace(trace, "After m_uTotalErrorNum is %d\n", static_cast<int>(m_uTotalErrorNum));
  for (std::size_t i = 0; i < kReportSlots; ++i) {
    if (m_bFailFlag[i] != 0) continue;
    m_wFailAddr[i] = address;
    m_byFailValue[i] = value;
    m_bFailFlag[i] = 1;
    Trace(trace, "Record ECC m_wFailAddr 0x%04x m_byFailValue 0x%02x\n", unsigned{address}, value);
    return;
  }
}

int COTPInfo_USB::MP_OTPWriteEnale() {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteEnale", kTraceOtp);
  // A read that fails leaves 0xFF, which counts as locked.
  std::array<std::uint8_t, 1> lock{0xFF};
  VxCam_ReadMem(device.handle, kLockRegister, lock, device.transportFlags);
  if ((lock[0] & kLockBit) != 0) {
    Trace(trace, "Lock\n");
    return 0;
  }
  Trace(trace, "Not Lock\n");
  return 1;
}

int COTPInfo_USB::MP_OTPWriteWithRetry(std::uint16_t address, std::span<const std::uint8_t> chunk,
                                       std::uint32_t budget) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteWithRetry", kTraceOtp);
  if (MP_OTPWriteEnale() == 0) return Fail(id::kOtpLocked);
  VxCam_OTP_Write(device.handle, address, static_cast<std::uint16_t>(std::min<std::uint32_t>(budget, 0xFFFF)), chunk);
  return MP_OTPAnalyzeECC(address, chunk);
}

int COTPInfo_USB::MP_OTPAnalyzeECC(std::uint16_t chunkAddress, std::span<const std::uint8_t> chunk) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPAnalyzeECC", kTraceOtp);
  std::array<std::uint8_t, kReportSize> bytes{};
  ReadReport(bytes);
  const ProgramFailReport report = ProgramFailReport::Unpack(bytes);
  // The report names at most eight addresses; a larger count cannot be corrected.
  if (report.count > kReportSlots) {
    m_wCurAddr = report.stop;
    Trace(trace, "m_uCurErrorNum > 8\n");
    Trace(trace, "m_wCurAddr is 0x%x\n", unsigned{m_wCurAddr});
    return Fail(id::kErrorNumExceed);
  }
  const std::uint32_t listed = report.count;
  m_uCurErrorNum = listed;
  Trace(trace, "Before m_uCurErrorNum is %d\n", static_cast<int>(m_uCurErrorNum));
  const auto held = [&](std::uint16_t address) -> int {
    for (std::size_t s = 0; s < kReportSlots; ++s) {
      if (m_bFailFlag[s] != 0 && m_wFailAddr[s] == address) return static_cast<int>(s);
    }
    return -1;
  };
  for (std::size_t s = 0; s < kReportSlots; ++s) {
    if (m_bFailFlag[s] == 0) continue;
    const auto* end = report.addresses.begin() + listed;
    if (std::find(report.addresses.begin(), end, m_wFailAddr[s]) != end && m_uCurErrorNum > 0) {
      --m_uCurErrorNum;
      Trace(trace, "Reduant Addr Again\n");
    }
  }
  Trace(trace, "After m_uCurErrorNum is %d\n", static_cast<int>(m_uCurErrorNum));
  if (m_uCurErrorNum == 0) {
    Trace(trace, "No Error Num\n");
    return 1;
  }
  if (m_uCurErrorNum > m_uExecECCNum) {
    m_wCurAddr = report.stop;
    Trace(trace, "m_uCurErrorNum > m_uExecECCNum\n");
    Trace(trace, "m_wCurAddr is 0x%x\n", unsigned{m_wCurAddr});
    return Fail(id::kErrorNumExceed);
  }
  Trace(trace, "Before m_uExecECCNum is %d\n", static_cast<int>(m_uExecECCNum));
  Trace(trace, "Before m_uTotalErrorNum is %d\n", static_cast<int>(m_uTotalErrorNum));
  m_uExecECCNum -= m_uCurErrorNum;
  m_uTotalErrorNum += m_uCurErrorNum;
  Trace(trace, "After m_uExecECCNum is %d\n", static_cast<int>(m_uExecECCNum));
  Trace(trace, "After m_uTotalErrorNum is %d\n", static_cast<int>(m_uTotalErrorNum));
  for (std::uint32_t i = 0; i < listed; ++i) {
    const std::uint16_t address = report.addresses[i];
    if (int slot = held(address); slot >= 0) {
      Trace(trace, "Check wFailAddr %d\n", slot);
      continue;
    }
    const std::uint32_t distance = address > chunkAddress ? address - chunkAddress : chunkAddress - address;
    // A value can only come from the chunk just written; an address outside it
    // (or far from it) has no source.
    if (distance > kFarAddress || address < chunkAddress || std::size_t{address} - chunkAddress >= chunk.size()) {
      Trace(trace, "Invalid Addr\n");
      m_wCurAddr = report.stop;
      return Fail(id::kFailAddress);
    }
    const auto free = std::find(m_bFailFlag.begin(), m_bFailFlag.end(), 0u);
    if (free == m_bFailFlag.end()) {
      m_wCurAddr = report.stop;
      return Fail(id::kErrorNumExceed);
    }
    const auto slot = static_cast<std::size_t>(free - m_bFailFlag.begin());
    Trace(trace, "index i is %d\n", static_cast<int>(i));
    Trace(trace, "index j is %d\n", static_cast<int>(slot));
    m_wFailAddr[slot] = address;
    m_byFailValue[slot] = chunk[address - chunkAddress];
    m_bFailFlag[slot] = 1;
    Trace(trace, "Record ECC m_wFailAddr 0x%04x m_byFailValue 0x%02x\n", unsigned{address}, m_byFailValue[slot]);
    if (--m_uCurErrorNum == 0) return 1;
  }
  return 1;
}

int COTPInfo_USB::MP_OTPReduant() {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPReduant", kTraceOtp);
  Trace(trace, "index is %d\n", 0);
  for (std::size_t slot = 0; slot < kReportSlots;) {
    if (m_bFailFlag[slot] == 0) {
      ++slot;
      continue;
    }
    Trace(trace, "wErrAddr is 0x%x, byValue is %d\n", unsigned{m_wFailAddr[slot]}, m_byFailValue[slot]);
    switch (MP_OTPReduantDetail(m_wFailAddr[slot], m_byFailValue[slot])) {
      case EccWrite::Corrected:
        Trace(trace, "MP_OTPReduantDetail Success\n");
        m_uVirtualECCNum = SaturatingSub(m_uVirtualECCNum, 1);
        m_uTotalErrorNum = SaturatingSub(m_uTotalErrorNum, 1);
        ++slot;
        break;
      case EccWrite::HardwareError:
        Trace(trace, "MP_OTPReduantDetail Fail Extern\n");
        m_uVirtualECCNum = SaturatingSub(m_uVirtualECCNum, 1);
        break;
      case EccWrite::Locked:
        return 0;
      case EccWrite::NoEntry:
        // Nothing corrected this byte: the entries have run out.
        m_uVirtualECCNum = 0;
        break;
    }
    if (m_uTotalErrorNum == 0) {
      Trace(trace, "m_uCurErrorNum become zero\n");
      return 1;
    }
    if (m_uVirtualECCNum < m_uTotalErrorNum || m_uVirtualECCNum == 0) {
      Trace(trace, "m_uVirtualECCNum lower m_uCurErrorNum\n");
      return Fail(id::kEccNumLower);
    }
    Trace(trace, "index is %d\n", static_cast<int>(slot));
  }
  Trace(trace, "FailFlag Exceed 7 Condition2\n");
  return 1;
}

EccWrite COTPInfo_USB::MP_OTPReduantDetail(std::uint16_t address, std::uint8_t value) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPReduantDetail", kTraceOtp);
  m_abyECCData = ReadEccTable(0xFF);
  if (MP_OTPWriteEnale() == 0) {
    Fail(id::kOtpLocked);
    return EccWrite::Locked;
  }
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    const EccEntry e = EccEntry::Unpack(EccAt(m_abyECCData, n));
    Trace(trace, "ECC Data 0x%x  %d %d\n", unsigned{e.address}, e.value, e.marker);
    EccEntry written{address, value, kMarkerInUse};
    if (e.InUse() && e.value == 0 && e.address == address) {
      const std::span<const std::uint8_t> reference(image.fileCopy);
      const std::uint32_t offset = SaturatingSub(address, m_wStartAddr);
      if (address < m_wStartAddr || offset >= reference.size()) continue;
      written.value = reference[offset];
      Trace(trace, "Write ECC Condition 1 %d byValue %d\n", static_cast<int>(n), written.value);
    } else if (e.Blank()) {
      Trace(trace, "Write ECC Condition 2 %d byValue %d\n", static_cast<int>(n), value);
    } else {
      continue;
    }
    const auto bytes = written.Pack();
    if (!WriteTable(EccEntryAddress(n), bytes)) {
      Trace(trace, "Fail HW Error\n");
      Retire(EccMarkerAddress(n), 1);
      return EccWrite::HardwareError;
    }
    Trace(trace, "Success\n");
    return EccWrite::Corrected;
  }
  Trace(trace, "No ECC entry left\n");
  return EccWrite::NoEntry;
}

int COTPInfo_USB::MP_OTPWriteBlock(std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteBlock", kTraceOtp);
  const VdEntry entry{m_wStartAddr, static_cast<std::uint16_t>(length), VdTypeOf(TheOtpPart().kind)};
  m_abyLastVDEntry = entry.Pack();
  if (MP_OTPWriteEnale() == 0) return Fail(id::kOtpLocked);
  if (!WriteTable(VdEntryAddress(static_cast<std::uint32_t>(m_iSelBlock)), m_abyLastVDEntry)) {
    return MP_OTPReduantVDFlag(m_iSelBlock);
  }
  return 1;
}

int COTPInfo_USB::MP_OTPWriteBlockFail(std::uint16_t stop, std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteBlockFail", kTraceOtp);
  const std::uint16_t consumed = ConsumedLength(m_wStartAddr, stop, static_cast<std::uint16_t>(length));
  const VdEntry entry{m_wStartAddr, consumed, kTypeDead};
  m_abyLastVDEntry = entry.Pack();
  if (MP_OTPWriteEnale() == 0) return Fail(id::kOtpLocked);
  if (!WriteTable(VdEntryAddress(static_cast<std::uint32_t>(m_iSelBlock)), m_abyLastVDEntry)) {
    return MP_OTPReduantVDFlag(m_iSelBlock);
  }
  return 1;
}

int COTPInfo_USB::MP_OTPReduantVDFlag(int index) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPReduantVDFlag", kTraceOtp);
  for (int k = index;;) {
    Trace(trace, "MP_OTPReduantVDFlag index %d\n", k);
    const bool enabled = MP_OTPWriteEnale() != 0;
    if (enabled) Retire(VdEntryAddress(static_cast<std::uint32_t>(k)), kVdEntrySize);
    ++k;
    m_iSelBlock = k;
    if (k >= static_cast<int>(kVdEntries)) {
      Trace(trace, "MP_OTPReduantVDFlag Exceed 15\n");
      return 0;
    }
    if (!enabled) return 0;
    const std::uint32_t address = VdEntryAddress(static_cast<std::uint32_t>(k));
    if (!MP_OTPBlockValid(address)) continue;
    if (!WriteTable(address, m_abyLastVDEntry)) {
      Trace(trace, "MP_OTPReduantVDFlag %d Reduant\n", k);
      continue;
    }
    return 1;
  }
}

bool COTPInfo_USB::EccBelongsTo(std::uint16_t address, std::uint8_t type) {
  ScopedTrace trace(type == kTypeCode ? "CMpFlow_OTP::MP_OTPECCBelongToVDCode" : "CMpFlow_OTP::MP_OTPECCBelongToVDConfig",
                    kTraceOtp);
  const auto table = ReadVdTable();
  const char* kind = type == kTypeCode ? "Code" : "Config";
  for (std::uint32_t i = 0; i < kVdEntries; ++i) {
    const VdEntry e = VdEntry::Unpack(std::span(table).subspan(i * kVdEntrySize, kVdEntrySize));
    if (e.type != type) continue;
    if (e.start == address) {
      Trace(trace, "ECC Exist VD %s 1\n", kind);
      return true;
    }
    if (e.start <= address && address < std::uint32_t{e.start} + e.length) {
      Trace(trace, "ECC Exist VD %s 2\n", kind);
      return true;
    }
  }
  return false;
}

bool COTPInfo_USB::MP_OTPECCBelongToVDCode(std::uint16_t address) { return EccBelongsTo(address, kTypeCode); }
bool COTPInfo_USB::MP_OTPECCBelongToVDConfig(std::uint16_t address) { return EccBelongsTo(address, kTypeConfig); }

void COTPInfo_USB::MP_OTPClearECC() {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPClearECC", kTraceOtp);
  const bool code = TheOtpPart().kind == PartKind::Code;
  for (std::uint8_t n : byECCNo) {
    if (n == 0 || n > kEccEntries) continue;
    Trace(trace, "byECCNo is %d\n", n);
    if (MP_OTPWriteEnale() == 0) continue;
    std::array<std::uint8_t, kEccEntrySize> bytes{};
    ReadOtp(EccEntryAddress(n), bytes);
    const EccEntry e = EccEntry::Unpack(bytes);
    if (code ? MP_OTPECCBelongToVDCode(e.address) : MP_OTPECCBelongToVDConfig(e.address)) Retire(EccMarkerAddress(n), 1);
  }
}

void COTPInfo_USB::MP_OTPClearPreVDBlock() {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPClearPreVDBlock", kTraceOtp);
  const std::uint8_t type = VdTypeOf(TheOtpPart().kind);
  for (int i = 0; i < m_iSelBlock && i < static_cast<int>(kVdEntries); ++i) {
    std::array<std::uint8_t, kVdEntrySize> entry{};
    const std::uint32_t address = VdEntryAddress(static_cast<std::uint32_t>(i));
    if (ReadOtp(address, entry) && entry[4] == type) Retire(address + 4, 1);
  }
}

void COTPInfo_USB::MP_OTPClearPrePreVDBlock() {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPClearPrePreVDBlock", kTraceOtp);
  const std::uint8_t type = VdTypeOf(TheOtpPart().kind);
  for (int i = 0; i < m_iPreSelBlock && i < static_cast<int>(kVdEntries); ++i) {
    std::array<std::uint8_t, kVdEntrySize> entry{};
    const std::uint32_t address = VdEntryAddress(static_cast<std::uint32_t>(i));
    if (ReadOtp(address, entry) && entry[4] == type) Retire(address + 4, 1);
  }
}

void COTPInfo_USB::MP_OTPClearCurECC(std::uint16_t stop, std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPClearCurECC", kTraceOtp);
  const auto ecc = ReadEccTable(0xFF);
  const std::uint32_t end = std::uint32_t{m_wStartAddr} +
                            ConsumedLength(m_wStartAddr, stop, static_cast<std::uint16_t>(length));
  std::uint32_t collected = 0;
  for (std::uint32_t n = 1; n <= kEccEntries && collected < kReportSlots; ++n) {
    const EccEntry e = EccEntry::Unpack(EccAt(ecc, n));
    if (!e.InUse() || e.address < m_wStartAddr || e.address >= end) continue;
    ++collected;
    Trace(trace, "byActualECCNum is %d\n", static_cast<int>(collected));
    Trace(trace, "i is %d\n", static_cast<int>(n));
    Trace(trace, e.value != 0 ? "--------\n" : "----\n");
    if (MP_OTPWriteEnale() == 0) continue;
    Trace(trace, "byECCNo is %d\n", static_cast<int>(n));
    Retire(EccMarkerAddress(n), 1);
  }
}

void COTPInfo_USB::MP_OTPFailAction(std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPFailAction", kTraceOtp);
  Trace(trace, "MP_OTPWrite Fail\n");
  if (m_bWriteStarted != 1) return;
  if (MP_OTPWriteBlockFail(m_wCurAddr, length) == 0) Trace(trace, "MP_OTPWriteBlock Fail\n");
  MP_OTPClearCurECC(m_wCurAddr, length);
}

}  // namespace quillon
