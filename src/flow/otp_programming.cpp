// Programming one part into OTP: the space questions, then the steps that read
// the VD and ECC tables, ask the planner (which entry, where, what budget, what
// to retire) and the ledger (the failed bytes and their corrections), write
// what they decide and leave the trace lines. Verification applies the ECC
// table; a failure books what the part consumed as a dead entry.
#include <algorithm>
#include <functional>
#include <new>

#include "flow/bulk_phase.h"
#include "flow/first_mismatch.h"
#include "flow/flow_helpers.h"
#include "flow/otp_flow.h"
#include "flow/status.h"
#include "flow/step_runner.h"
#include "platform/debug_channel.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

using namespace otp;

constexpr std::uint32_t kChunk = 4096;
constexpr std::uint32_t kAbnormalWindow = 256;
constexpr int kChunkAttempts = 3;
// Reads of a part's read-back until two agree (a flaky read is read again).
constexpr int kReadBackAttempts = 3;

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

std::span<const std::uint8_t> EccAt(std::span<const std::uint8_t> table, std::uint32_t n) {
  return table.subspan((n - 1) * kEccEntrySize, kEccEntrySize);
}

}  // namespace

// The tables as the chip holds them at each question of the planner.
class COTPInfo_USB::ChipTables final : public TableReader {
 public:
  explicit ChipTables(COTPInfo_USB& flow) : flow_(flow) {}
  std::array<std::uint8_t, kVdEntrySize> VdEntryAt(std::uint32_t index) override {
    std::array<std::uint8_t, kVdEntrySize> entry{};
    flow_.ReadOtp(VdEntryAddress(index), entry);
    return entry;
  }
  std::array<std::uint8_t, kEccTableSize> EccTable() override { return flow_.ReadEccTable(0x00); }

 private:
  COTPInfo_USB& flow_;
};

// ---- device access ----

bool COTPInfo_USB::ReadOtp(std::uint32_t address, std::span<std::uint8_t> out) {
  return RetriedLink(LinkStep::kRegisterRead, [&] { return VxCam_OTP_Read(chip.device.handle, address, out); });
}

bool COTPInfo_USB::ReadReport(std::array<std::uint8_t, kReportSize>& out) {
  return RetriedStep(StepOf(Step::kReadOtpReport), [&] {
    out.fill(0);
    return VxCam_OTP_ReadProgramFailAdr(chip.device.handle, out);
  });
}

COTPInfo_USB::TableWrite COTPInfo_USB::WriteTable(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  const bool sent = RetriedStep(StepOf(Step::kWriteOtpTable),
                                [&] { return VxCam_OTP_Write(chip.device.handle, address, kTableMode, bytes); });
  std::array<std::uint8_t, kReportSize> report{};
  // A report read after a write that never arrived would be the last write's.
  if (!sent || !ReadReport(report)) return TableWrite::kUnconfirmed;
  return report[0] == 0 ? TableWrite::kWritten : TableWrite::kCellsFailed;
}

bool COTPInfo_USB::Retire(std::uint32_t address, std::uint32_t count) {
  std::array<std::uint8_t, kVdEntrySize> bytes{};
  std::span<std::uint8_t> now = std::span(bytes).first(std::min<std::uint32_t>(count, kVdEntrySize));
  std::fill(now.begin(), now.end(), 0xFF);
  ReadOtp(address, now);
  for (auto& b : now) b = static_cast<std::uint8_t>(~b);
  return WriteTable(address, now) != TableWrite::kUnconfirmed;
}

int COTPInfo_USB::LinkLost() {
  linkLost_ = true;
  return Fail(msg::kLinkFail);
}

int COTPInfo_USB::NotEnabled() { return linkLost_ ? LinkLost() : Fail(id::kOtpLocked); }

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

bool COTPInfo_USB::MP_OTPGetCorrectCodeData(std::uint16_t start, std::span<std::uint8_t> buffer) {
  std::array<std::uint8_t, kEccTableSize> table{};
  bool all = true;
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    std::span<std::uint8_t> entry = std::span(table).subspan((n - 1) * kEccEntrySize, kEccEntrySize);
    if (!ReadOtp(EccEntryAddress(n), entry)) {
      std::fill(entry.begin(), entry.end(), 0);
      all = false;
    }
  }
  ApplyEccTable(table, start, buffer);
  return all;
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

int COTPInfo_USB::OTP_UpdateEx(std::uint32_t bytes, std::uint32_t entries) {
  ScopedTrace trace("CMpFlow_OTP::OTP_UpdateEx", kTraceOtp);
  std::array<std::uint8_t, kVdTableSize> table{};
  // An unread table is no free one: the download stops as the link failure.
  if (!ReadOtp(kVdTable, table)) {
    Trace(trace, "Read VD table fail\n");
    PostFlowMessage(WM_FLOW_FAIL, msg::kLinkFail);
    return 0;
  }
  const std::uint32_t remaining = FreeSpace(table);
  const std::uint32_t free = FreeEntryCount(table);
  std::uint32_t refusal = 0;
  if (free == 0) {
    ThePrompt().Show("No Available VD Block!", "");
    refusal = id::kWriteOtpFail;
  } else if (remaining <= kAskAtFreeBytes &&
             ThePrompt().Ask("OTP Code Size Less than 5K,\nContinue to Update!", "", Answer::No) != Answer::Yes) {
    refusal = id::kWriteOtpFail;
  } else if (free <= kAskAtFreeEntries &&
             ThePrompt().Ask("OTP VD Block Less than 4,\nContinue to Update!", "", Answer::No) != Answer::Yes) {
    refusal = id::kWriteOtpFail;
  } else if (free < entries) {
    // One part programmed and the other refused would spend space and an
    // entry on a chip that cannot start: the whole download is refused here.
    Trace(trace, "%d VD entries free, the download books %d\n", static_cast<int>(free), static_cast<int>(entries));
    refusal = id::kNotEnoughVdBlock;
  } else if (remaining < bytes) {
    Trace(trace, "Exceed Code Length\n");
    refusal = id::kCodeExceedMaxLength;
  }
  if (refusal == 0) return 1;
  ResetIntoNewCode();
  PostFlowMessage(WM_FLOW_FAIL, refusal);
  return 0;
}

int COTPInfo_USB::RecoverUnbooked() {
  ScopedTrace trace("CMpFlow_OTP::RecoverUnbooked", kTraceOtp);
  partFailPosted_ = false;
  linkLost_ = false;
  ChipTables tables(*this);
  const EntryPlan plan = PlanEntry(ReadVdTable(), tables, 0);
  // Without an entry there is nothing to book them in; the questions say so.
  if (plan.choice != EntryChoice::Chosen || !MP_CheckOTPWriteInValid(plan.start)) return 1;
  if (MP_CheckVDInfo(ReadVdTable(), 0) == 0) return 0;
  return BookUnbooked();
}

int COTPInfo_USB::OTP_UpdateEx_Cmd2(std::span<std::uint8_t> part, PartKind kind, std::optional<PendingPart>& pending,
                                    bool hold) {
  ScopedTrace trace("CMpFlow_OTP::OTP_UpdateEx_Cmd2", kTraceOtp);
  partFailPosted_ = false;
  cancelledWhileWriting_ = false;
  linkLost_ = false;
  writeStarted_ = false;
  ledger_ = FailLedger();
  const std::uint32_t length = static_cast<std::uint32_t>(part.size());

  // Every failure below ends with at least one FAIL: the steps post their own,
  // and a cancel or a silent step is reported here after the recovery. A part
  // written before this one and not booked is booked dead with what this one
  // consumed.
  const auto failed = [&](bool recover) {
    if (linkLost_) {
      pending.reset();
    } else if (pending) {
      AbandonPending(pending, writeStarted_ ? length : 0);
    } else if (recover) {
      MP_OTPFailAction(length);
    }
    if (cancelledWhileWriting_) {
      Fail(msg::kRunCancelled);
    } else if (!partFailPosted_) {
      Fail(id::kWriteOtpFail);
    }
    return 0;
  };
  if (FlowCancelled()) {
    Fail(msg::kRunCancelled);
    return failed(false);
  }
  if (!Allocate(chip.readBuffer, length)) {
    Fail(msg::kMallocDataFail);
    return failed(false);
  }
  // The data chunks and their read-back go in 64-byte extension-unit pieces.
  const auto inBulk = [this](auto&& phase) {
    BulkPhase bulk(chip.device, kFlagForceUnit);
    return phase();
  };
  if (inBulk([&] { return MP_OTPWrite(part, kind, pending); }) == 0) return failed(true);

  const std::span<const std::uint8_t> reference(chip.image.fileCopy);
  bool same = false;
  // A read-back that differs from the part is read again before the part is
  // judged: bytes that differ once and then match were a bad read, not bad
  // cells. Two reads that agree with each other and not with the part are
  // what the cells hold.
  std::vector<std::uint8_t> previous;
  for (int read = 0; read < kReadBackAttempts; ++read) {
    if (inBulk([&] { return OTP_Veriry_Cmd2(entry_.start, chip.readBuffer); }) == 0 ||
        !MP_OTPGetCorrectCodeData(entry_.start, chip.readBuffer)) {
      break;
    }
    const bool last = read + 1 == kReadBackAttempts || chip.readBuffer == previous;
    same = reference.size() == length &&
           (last ? SameOrReported(reference, chip.readBuffer)
                 : std::equal(reference.begin(), reference.end(), chip.readBuffer.begin(), chip.readBuffer.end()));
    if (same || last) break;
    Trace(trace, "Read-back differs, read again\n");
    previous = chip.readBuffer;
  }
  if (!same) {
    Trace(trace, "Compare OTP Code Fail\n");
    Fail(msg::kCompareDataFail);
    return failed(true);
  }
  if (hold) {
    pending = PendingPart{entry_, budget_, length, kind};
    return 1;
  }

  // Both entries back to back: the narrowest window in which the chip could
  // start one part's new block with the other part's old one.
  const EntryPlan mine = entry_;
  const Budget myBudget = budget_;
  std::optional<std::pair<EntryPlan, PendingPart>> bookedFirst;
  if (pending) {
    entry_ = pending->entry;
    budget_ = pending->budget;
    if (MP_OTPWriteBlock(pending->length, pending->kind) == 0) {
      // This part's bytes stay unbooked; the next download books them dead.
      const std::uint32_t pendingLength = pending->length;
      pending.reset();
      if (linkLost_) return 0;
      MP_OTPClearCurECC(kNoAddress, pendingLength);
      Trace(trace, "MP_OTPWriteBlock Fail\n");
      return Fail(id::kWriteBlockFail);
    }
    bookedFirst.emplace(entry_, *pending);
    pending.reset();
    entry_ = mine;
    budget_ = myBudget;
    if (bookedFirst->first.selected >= entry_.selected) {
      // That entry moved onto ours: ours goes behind it, at the same start.
      ChipTables tables(*this);
      entry_ = PlanEntry(ReadVdTable(), tables, length);
      if (entry_.choice != EntryChoice::Chosen || entry_.start != mine.start) {
        Trace(trace, "No entry left behind the moved one\n");
        return Fail(id::kWriteBlockFail);
      }
    }
  }
  if (MP_OTPWriteBlock(length, kind) == 0) {
    if (linkLost_) return 0;
    MP_OTPClearCurECC(ledger_.stoppedAt(), length);
    Fail(id::kWriteBlockFail);
    Trace(trace, "MP_OTPWriteBlock Fail\n");
    return 0;
  }
  if (bookedFirst) {
    const EntryPlan booked = entry_;
    entry_ = bookedFirst->first;
    budget_ = bookedFirst->second.budget;
    RetireOlder(bookedFirst->second.kind);
    entry_ = booked;
    budget_ = myBudget;
  }
  RetireOlder(kind);
  return 1;
}

void COTPInfo_USB::RetireOlder(PartKind kind) {
  if (entry_.selected == entry_.newest) return;
  MP_OTPClearECC(kind);
  std::array<std::uint8_t, kVdEntrySize> previous{};
  if (!ReadOtp(VdEntryAddress(entry_.newest), previous)) retirementIncomplete_ = true;
  RetireOlderEntries(kind, RetireBelow(previous[4], entry_.selected, entry_.newest));
}

void COTPInfo_USB::AbandonPending(std::optional<PendingPart>& pending, std::uint32_t more) {
  if (!pending) return;
  // The dead entry starts where the pending part does and takes its entry;
  // a stop address of this part's write still marks where its bytes end.
  entry_.start = pending->entry.start;
  entry_.selected = pending->entry.selected;
  writeStarted_ = true;
  MP_OTPFailAction(pending->length + more);
  pending.reset();
}

std::array<std::uint8_t, kVdTableSize> COTPInfo_USB::VdTableWith(const std::optional<PendingPart>& pending) {
  auto table = ReadVdTable();
  if (pending) {
    const auto entry = VdEntry{pending->entry.start, static_cast<std::uint16_t>(pending->length),
                               VdTypeOf(pending->kind)}.Pack();
    std::copy(entry.begin(), entry.end(), table.begin() + pending->entry.selected * kVdEntrySize);
  }
  return table;
}

int COTPInfo_USB::MP_OTPWrite(std::span<std::uint8_t> data, PartKind kind,
                              const std::optional<PendingPart>& pending) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWrite", kTraceOtp);
  const std::uint32_t length = static_cast<std::uint32_t>(data.size());
  ledger_ = FailLedger();
  writeStarted_ = false;
  if (MP_CheckVDInfo(VdTableWith(pending), length) == 0) return 0;
  if (MP_CheckOTPWriteInValid(entry_.start)) {
    // Bytes of a cut download: booked dead, they are passed like those of
    // any failed part, and the entry is chosen again behind them.
    if (BookUnbooked() == 0) return 0;
    if (MP_CheckVDInfo(VdTableWith(pending), length) == 0) return 0;
    if (MP_CheckOTPWriteInValid(entry_.start)) {
      Trace(trace, "Last OTP Write Operation Abnomal\n");
      return Fail(id::kLastWriteAbnormal);
    }
  }
  writeStarted_ = true;
  Trace(trace, "wStartAddr is 0x%x\n", unsigned{entry_.start});
  Trace(trace, "wLen  is 0x%x\n", length);

  budget_ = PlanBudget(ReadEccTable(0xFF), entry_.start, length);
  ledger_ = FailLedger(budget_.Correctable(), budget_.usable);
  Trace(trace, "ECC entries usable %d, reserved behind %d, budget %d\n", static_cast<int>(budget_.usable),
        static_cast<int>(budget_.reservedBeyond), static_cast<int>(ledger_.budget()));
  MP_OTPConvertBinaryData(data);
  PostFlowMessage(WM_FLOW_STEP, msg::kStepDownload);

  bool stopped = length == 0;
  std::uint16_t failedAt = entry_.start;
  for (std::uint32_t done = 0; done < length;) {
    const std::uint32_t chunk = std::min(kChunk, length - done);
    const auto address = static_cast<std::uint16_t>(entry_.start + done);
    failedAt = address;
    if (FlowCancelled()) {
      cancelledWhileWriting_ = true;
      stopped = true;
    } else if (MP_OTPWriteWithRetry(address, data.subspan(done, chunk)) == 0) {
      stopped = true;
    }
    if (stopped) break;
    done += chunk;
    if (kind == PartKind::Code) {
      PostFlowMessage(WM_FLOW_PROGRESS, static_cast<std::uint32_t>(std::uint64_t{done} * 80 / length + 10));
    }
  }
  if (stopped) {
    Trace(trace, "MP_OTPWriteWithRetry Fail 0x%x\n", unsigned{failedAt});
    return 0;
  }
  if (MP_OTPReduant() == 0) {
    Trace(trace, "MP_OTPReduant Fail\n");
    return 0;
  }
  return 1;
}

int COTPInfo_USB::MP_CheckVDInfo(std::span<const std::uint8_t> vdTable, std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_CheckVDInfo", kTraceOtp);
  ChipTables tables(*this);
  entry_ = PlanEntry(vdTable, tables, length);
  Trace(trace, "m_uVDFLagNum is %d\n", static_cast<int>(entry_.blankEntries));
  for (const Retirement& r : entry_.retire) {
    // A correction landed on the entry's bytes: neither is trusted again.
    Trace(trace, "VD %d covered by ECC %d\n", static_cast<int>(r.vdIndex), static_cast<int>(r.eccIndex));
    Retire(VdEntryAddress(r.vdIndex) + 4, 1);
    Retire(EccMarkerAddress(r.eccIndex + 1), 1);
  }
  switch (entry_.choice) {
    case EntryChoice::NoBlankEntry:
      Trace(trace, "0 == m_uVDFlagNum\n");
      return Fail(id::kNotEnoughVdBlock);
    case EntryChoice::NoUsableEntry:
      Trace(trace, "Not Find Sel Block\n");
      return Fail(id::kNotFindVdBlock);
    case EntryChoice::BeyondCodeArea:
      Trace(trace, "Exceed Code Length\n");
      return Fail(id::kCodeExceedMaxLength);
    case EntryChoice::Chosen:
      break;
  }
  Trace(trace, "m_iSelBlock %d m_iPreSelBlock %d, after %d (0x%x, %d)\n", static_cast<int>(entry_.selected),
        static_cast<int>(entry_.newest), entry_.predecessor ? static_cast<int>(*entry_.predecessor) : -1,
        unsigned{entry_.after.start}, static_cast<int>(entry_.after.length));
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

int COTPInfo_USB::BookUnbooked() {
  ScopedTrace trace("CMpFlow_OTP::BookUnbooked", kTraceOtp);
  std::vector<std::uint8_t> rest(kCodeAreaSize - std::min<std::uint32_t>(entry_.start, kCodeAreaSize), 0);
  for (std::uint32_t done = 0; done < rest.size();) {
    const std::uint32_t chunk = std::min<std::uint32_t>(kChunk, static_cast<std::uint32_t>(rest.size()) - done);
    // What cannot be read is not known to be blank: nothing is booked on a guess.
    if (!ReadOtp(entry_.start + done, std::span(rest).subspan(done, chunk))) {
      Trace(trace, "Read of the unbooked bytes at 0x%x failed\n", entry_.start + done);
      return Fail(id::kLastWriteAbnormal);
    }
    done += chunk;
  }
  const std::uint32_t unbooked = UnbookedLength(rest);
  const VdEntry dead{entry_.start, static_cast<std::uint16_t>(unbooked), kTypeDead};
  if (BookEntry(dead) == 0) {
    Trace(trace, "Unbooked bytes at 0x%x could not be booked\n", unsigned{entry_.start});
    return partFailPosted_ ? 0 : Fail(id::kLastWriteAbnormal);
  }
  Trace(trace, "Interrupted download recovered: 0x%x bytes at 0x%x booked dead in entry %d\n", unbooked,
        unsigned{entry_.start}, static_cast<int>(entry_.selected));
  DebugPrint("OTP: an interrupted download was recovered: %u unbooked bytes at 0x%04X booked dead\n", unbooked,
             unsigned{entry_.start});
  return 1;
}

void COTPInfo_USB::MP_OTPConvertBinaryData(std::span<std::uint8_t> data) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPConvertBinaryData", kTraceOtp);
  const auto ecc = ReadEccTable(0xFF);
  for (std::uint32_t n : ReservedInside(ecc, entry_.start, static_cast<std::uint32_t>(data.size()))) {
    const std::uint16_t address = EccEntry::Unpack(EccAt(ecc, n)).address;
    Trace(trace, "ErrAddr 0x%04x\n", unsigned{address});
    std::array<std::uint8_t, 1> cell{0xFF};
    ReadOtp(address, cell);
    std::uint8_t& byte = data[address - entry_.start];
    // The cell keeps its programmed bits; its entry carries the right value.
    ledger_.RecordReserved(address, byte);
    byte = AroundProgrammedBits(cell[0], byte);
  }
}

int COTPInfo_USB::MP_OTPWriteEnale() {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteEnale", kTraceOtp);
  // A read that fails leaves 0xFF, which counts as locked; the link lost it.
  std::array<std::uint8_t, 1> lock{0xFF};
  if (!ReadRegister(chip.device.handle, kLockRegister, lock, chip.device.transportFlags)) {
    lock[0] = 0xFF;
    linkLost_ = true;
  }
  if ((lock[0] & kLockBit) != 0) {
    Trace(trace, "Lock\n");
    return 0;
  }
  Trace(trace, "Not Lock\n");
  return 1;
}

int COTPInfo_USB::MP_OTPWriteWithRetry(std::uint16_t address, std::span<const std::uint8_t> chunk) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteWithRetry", kTraceOtp);
  if (MP_OTPWriteEnale() == 0) return NotEnabled();
  const auto mode = static_cast<std::uint16_t>(std::min<std::uint32_t>(ledger_.budget(), 0xFFFF));
  // A chunk whose transfer failed is sent again: the same bytes to the same
  // cells program nothing new (programming ORs), and a stall is no reason to
  // give up the part. Whatever happened, the report says what the cells took.
  Retried(kChunkAttempts, [&] { return VxCam_OTP_Write(chip.device.handle, address, mode, chunk); });
  std::array<std::uint8_t, kReportSize> bytes{};
  // Without the report nothing is known of the cells: no clean chunk on a guess.
  if (!ReadReport(bytes)) return LinkLost();
  switch (ledger_.TakeReport(ProgramFailReport::Unpack(bytes), address, chunk)) {
    case FailLedger::Take::Clean:
      return 1;
    case FailLedger::Take::Recorded:
      Trace(trace, "%d new failed bytes, budget left %d\n", static_cast<int>(ledger_.lastNew()),
            static_cast<int>(ledger_.budget()));
      return 1;
    case FailLedger::Take::OverBudget:
      Trace(trace, "m_uCurErrorNum > m_uExecECCNum\nm_wCurAddr is 0x%x\n", unsigned{ledger_.stoppedAt()});
      return Fail(id::kErrorNumExceed);
    case FailLedger::Take::FarAddress:
      Trace(trace, "Invalid Addr\n");
      return Fail(id::kFailAddress);
  }
  return 0;
}

int COTPInfo_USB::MP_OTPReduant() {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPReduant", kTraceOtp);
  const auto outcome = ledger_.Correct([this](std::uint16_t address, std::uint8_t value) {
    return MP_OTPReduantDetail(address, value);
  });
  switch (outcome) {
    case FailLedger::Outcome::Done:
      return 1;
    case FailLedger::Outcome::OutOfEntries:
      Trace(trace, "m_uVirtualECCNum lower m_uCurErrorNum\n");
      return Fail(id::kEccNumLower);
    case FailLedger::Outcome::Locked:
      return 0;  // 41918 has been posted
    case FailLedger::Outcome::Unconfirmed:
      return 0;  // the link failure has been posted
  }
  return 0;
}

EccWrite COTPInfo_USB::MP_OTPReduantDetail(std::uint16_t address, std::uint8_t value) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPReduantDetail", kTraceOtp);
  const auto ecc = ReadEccTable(0xFF);
  if (MP_OTPWriteEnale() == 0) {
    NotEnabled();
    return EccWrite::Locked;
  }
  const auto choice = ChooseEccEntry(ecc, address, value, chip.image.fileCopy, entry_.start);
  if (!choice) {
    Trace(trace, "No ECC entry left\n");
    return EccWrite::NoEntry;
  }
  Trace(trace, "Write ECC Condition %d %d byValue %d\n", choice->reserved ? 1 : 2, static_cast<int>(choice->number),
        choice->entry.value);
  switch (WriteTable(EccEntryAddress(choice->number), choice->entry.Pack())) {
    case TableWrite::kWritten:
      break;
    case TableWrite::kCellsFailed:
      Trace(trace, "Fail HW Error\n");
      Retire(EccMarkerAddress(choice->number), 1);
      return EccWrite::HardwareError;
    case TableWrite::kUnconfirmed:
      LinkLost();
      return EccWrite::Unconfirmed;
  }
  Trace(trace, "Success\n");
  return EccWrite::Corrected;
}

int COTPInfo_USB::BookEntry(const VdEntry& entry) {
  lastEntry_ = entry;
  if (MP_OTPWriteEnale() == 0) return NotEnabled();
  switch (WriteTable(VdEntryAddress(entry_.selected), entry.Pack())) {
    case TableWrite::kWritten:
      return 1;
    case TableWrite::kCellsFailed:
      return MP_OTPReduantVDFlag(entry_.selected);
    case TableWrite::kUnconfirmed:
      break;
  }
  return LinkLost();
}

int COTPInfo_USB::MP_OTPWriteBlock(std::uint32_t length, PartKind kind) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteBlock", kTraceOtp);
  return BookEntry({entry_.start, static_cast<std::uint16_t>(length), VdTypeOf(kind)});
}

int COTPInfo_USB::MP_OTPWriteBlockFail(std::uint16_t stop, std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPWriteBlockFail", kTraceOtp);
  return BookEntry({entry_.start, ConsumedLength(entry_.start, stop, static_cast<std::uint16_t>(length)), kTypeDead});
}

int COTPInfo_USB::MP_OTPReduantVDFlag(std::uint32_t index) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPReduantVDFlag", kTraceOtp);
  ChipTables tables(*this);
  for (std::uint32_t k = index;;) {
    Trace(trace, "MP_OTPReduantVDFlag index %d\n", static_cast<int>(k));
    const bool enabled = MP_OTPWriteEnale() != 0;
    if (enabled) Retire(VdEntryAddress(k), kVdEntrySize);
    ++k;
    entry_.selected = k;
    if (k >= kVdEntries) {
      Trace(trace, "MP_OTPReduantVDFlag Exceed 15\n");
      return 0;
    }
    if (!enabled) return 0;
    tables.VdEntryAt(k);
    if (EccOverVdEntry(tables.EccTable(), k, EccMarkers::Any)) continue;
    switch (WriteTable(VdEntryAddress(k), lastEntry_.Pack())) {
      case TableWrite::kWritten:
        return 1;
      case TableWrite::kCellsFailed:
        Trace(trace, "MP_OTPReduantVDFlag %d Reduant\n", static_cast<int>(k));
        continue;
      case TableWrite::kUnconfirmed:
        return LinkLost();
    }
  }
}

void COTPInfo_USB::MP_OTPClearECC(PartKind kind) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPClearECC", kTraceOtp);
  for (std::uint8_t n : budget_.olderEcc) {
    if (n == 0 || n > kEccEntries) continue;
    Trace(trace, "byECCNo is %d\n", n);
    std::array<std::uint8_t, kEccEntrySize> bytes{};
    if (MP_OTPWriteEnale() == 0 || !ReadOtp(EccEntryAddress(n), bytes)) {
      retirementIncomplete_ = true;
      continue;
    }
    // The corrections of the blocks this part replaces go with them.
    if (InsideBlockOfType(ReadVdTable(), EccEntry::Unpack(bytes).address, VdTypeOf(kind)) &&
        !Retire(EccMarkerAddress(n), 1)) {
      retirementIncomplete_ = true;
    }
  }
}

void COTPInfo_USB::RetireOlderEntries(PartKind kind, std::uint32_t below) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPClearPreVDBlock", kTraceOtp);
  const std::uint8_t type = VdTypeOf(kind);
  for (std::uint32_t i = 0; i < below && i < kVdEntries; ++i) {
    std::array<std::uint8_t, kVdEntrySize> entry{};
    const std::uint32_t address = VdEntryAddress(i);
    if (!ReadOtp(address, entry) || (entry[4] == type && !Retire(address + 4, 1))) retirementIncomplete_ = true;
  }
}

void COTPInfo_USB::MP_OTPClearCurECC(std::uint16_t stop, std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPClearCurECC", kTraceOtp);
  const auto ecc = ReadEccTable(0xFF);
  const std::uint32_t end =
      std::uint32_t{entry_.start} + ConsumedLength(entry_.start, stop, static_cast<std::uint16_t>(length));
  for (std::uint32_t n : EccInside(ecc, entry_.start, end)) {
    if (MP_OTPWriteEnale() == 0) continue;
    Trace(trace, "byECCNo is %d\n", static_cast<int>(n));
    Retire(EccMarkerAddress(n), 1);
  }
}

void COTPInfo_USB::MP_OTPFailAction(std::uint32_t length) {
  ScopedTrace trace("CMpFlow_OTP::MP_OTPFailAction", kTraceOtp);
  Trace(trace, "MP_OTPWrite Fail\n");
  if (!writeStarted_) return;
  if (MP_OTPWriteBlockFail(ledger_.stoppedAt(), length) == 0) Trace(trace, "MP_OTPWriteBlock Fail\n");
  MP_OTPClearCurECC(ledger_.stoppedAt(), length);
}

}  // namespace quillon
