// The failed bytes of one OTP part and what is left to correct them: eight
// slots of address and right value, the correction budget, the failures not
// yet corrected and the ECC entries still usable. The flow feeds it the
// program-fail reports and the results of its ECC writes; the budget changes
// here and nowhere else.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "flow/otp_layout.h"

namespace quillon::otp {

// What writing one correction into the ECC table came to. Unconfirmed: the
// write or its report was lost to the link, so nothing is known of the entry.
enum class EccWrite : std::uint8_t { Corrected, HardwareError, Locked, NoEntry, Unconfirmed };

class FailLedger {
 public:
  struct Slot {
    std::uint16_t address = kNoAddress;
    std::uint8_t value = 0;
    bool used = false;
    bool operator==(const Slot&) const = default;
  };

  FailLedger() = default;
  // `correctable`: failed bytes the part may correct; `usable`: ECC entries it may use.
  FailLedger(std::uint32_t correctable, std::uint32_t usable) : budget_(correctable), usable_(usable) {}

  // A cell that a reserved ECC entry stands for: its byte will be corrected
  // through that entry, which costs one correction before any data is written.
  void RecordReserved(std::uint16_t address, std::uint8_t value);

  enum class Take : std::uint8_t { Clean, Recorded, OverBudget, FarAddress };
  // One chunk's program-fail report. New failures are recorded with their
  // right values from the chunk; an address seen before counts once. More new
  // failures than the budget, or an address outside the chunk, stop the part
  // at the report's stop address.
  Take TakeReport(const ProgramFailReport& report, std::uint16_t chunkAddress, std::span<const std::uint8_t> chunk);

  enum class Outcome : std::uint8_t { Done, OutOfEntries, Locked, Unconfirmed };
  // Writes the correction of every recorded failure through `write`, moving on
  // to another entry when one fails, until none is left or the entries run out.
  Outcome Correct(const std::function<EccWrite(std::uint16_t address, std::uint8_t value)>& write);

  std::uint32_t budget() const { return budget_; }
  std::uint32_t uncorrected() const { return uncorrected_; }
  std::uint32_t usable() const { return usable_; }
  std::uint32_t lastNew() const { return lastNew_; }
  std::uint16_t stoppedAt() const { return stoppedAt_; }
  const std::array<Slot, kReportSlots>& slots() const { return slots_; }

 private:
  // The one place the budget is spent.
  void Spend(std::uint32_t failures);
  bool Holds(std::uint16_t address) const;
  bool Record(std::uint16_t address, std::uint8_t value);

  std::array<Slot, kReportSlots> slots_{};
  std::uint32_t budget_ = 0;
  std::uint32_t uncorrected_ = 0;
  std::uint32_t usable_ = 0;
  std::uint32_t lastNew_ = 0;
  std::uint16_t stoppedAt_ = kNoAddress;
};

}  // namespace quillon::otp
