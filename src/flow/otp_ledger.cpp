#include "flow/otp_ledger.h"

#include <algorithm>

namespace quillon::otp {
namespace {

constexpr std::uint32_t kFarAddress = 0x4000;

std::uint32_t SaturatingSub(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

}  // namespace

void FailLedger::Spend(std::uint32_t failures) {
  budget_ = SaturatingSub(budget_, failures);
  uncorrected_ += failures;
}

bool FailLedger::Holds(std::uint16_t address) const {
  return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.used && s.address == address; });
}

bool FailLedger::Record(std::uint16_t address, std::uint8_t value) {
  auto free = std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.used; });
  if (free == slots_.end()) return false;
  *free = {address, value, true};
  return true;
}

void FailLedger::RecordReserved(std::uint16_t address, std::uint8_t value) {
  Spend(1);
  Record(address, value);
}

FailLedger::Take FailLedger::TakeReport(const ProgramFailReport& report, std::uint16_t chunkAddress,
                                        std::span<const std::uint8_t> chunk) {
  // The report names at most eight addresses; a larger count cannot be corrected.
  if (report.count > kReportSlots) {
    stoppedAt_ = report.stop;
    return Take::OverBudget;
  }
  const auto listed = std::span(report.addresses).first(report.count);
  lastNew_ = report.count;
  for (const Slot& s : slots_) {
    if (s.used && lastNew_ > 0 && std::find(listed.begin(), listed.end(), s.address) != listed.end()) --lastNew_;
  }
  if (lastNew_ == 0) return Take::Clean;
  if (lastNew_ > budget_) {
    stoppedAt_ = report.stop;
    return Take::OverBudget;
  }
  Spend(lastNew_);
  std::uint32_t left = lastNew_;
  for (std::uint16_t address : listed) {
    if (Holds(address)) continue;
    // A value can only come from the chunk just written; an address outside it
    // (or far from it) has no source.
    const std::uint32_t distance = address > chunkAddress ? address - chunkAddress : chunkAddress - address;
    if (distance > kFarAddress || address < chunkAddress || std::size_t{address} - chunkAddress >= chunk.size()) {
      stoppedAt_ = report.stop;
      return Take::FarAddress;
    }
    if (!Record(address, chunk[address - chunkAddress])) {
      stoppedAt_ = report.stop;
      return Take::OverBudget;
    }
    if (--left == 0) break;
  }
  return Take::Recorded;
}

FailLedger::Outcome FailLedger::Correct(const std::function<EccWrite(std::uint16_t, std::uint8_t)>& write) {
  for (std::size_t i = 0; i < slots_.size();) {
    const Slot& slot = slots_[i];
    if (!slot.used) {
      ++i;
      continue;
    }
    switch (write(slot.address, slot.value)) {
      case EccWrite::Corrected:
        usable_ = SaturatingSub(usable_, 1);
        uncorrected_ = SaturatingSub(uncorrected_, 1);
        ++i;
        break;
      case EccWrite::HardwareError:
        // That entry is spent; the same failure tries the next one.
        usable_ = SaturatingSub(usable_, 1);
        break;
      case EccWrite::Locked:
        return Outcome::Locked;
      case EccWrite::Unconfirmed:
        return Outcome::Unconfirmed;
      case EccWrite::NoEntry:
        usable_ = 0;
        break;
    }
    if (uncorrected_ == 0) return Outcome::Done;
    if (usable_ < uncorrected_ || usable_ == 0) return Outcome::OutOfEntries;
  }
  return Outcome::Done;
}

}  // namespace quillon::otp
