#include "flow/otp_planner.h"

#include <algorithm>

namespace quillon::otp {
namespace {

std::span<const std::uint8_t> VdAt(std::span<const std::uint8_t> table, std::uint32_t i) {
  return table.subspan(i * kVdEntrySize, kVdEntrySize);
}

EccEntry EccAt(std::span<const std::uint8_t> table, std::uint32_t n) {
  if (n * kEccEntrySize > table.size()) return {};
  return EccEntry::Unpack(table.subspan((n - 1) * kEccEntrySize, kEccEntrySize));
}

std::uint32_t SaturatingSub(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

// An entry that no ECC entry lands on, whatever that entry's marker: a
// correction once written there may still be applied by the chip.
bool Valid(TableReader& tables, std::uint32_t i) {
  tables.VdEntryAt(i);
  return !EccOverVdEntry(tables.EccTable(), i, EccMarkers::Any);
}

}  // namespace

std::optional<std::uint32_t> EccOverVdEntry(std::span<const std::uint8_t> eccTable, std::uint32_t vdIndex,
                                            EccMarkers markers) {
  const std::uint32_t first = VdEntryAddress(vdIndex);
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    const EccEntry e = EccAt(eccTable, n);
    if (markers == EccMarkers::InUse && !e.InUse()) continue;
    if (e.address >= first && e.address < first + kVdEntrySize) return n - 1;
  }
  return std::nullopt;
}

std::uint32_t NewestValidEntry(TableReader& tables) {
  for (std::uint32_t i = kVdEntries; i-- > 0;) {
    if (tables.VdEntryAt(i)[4] != 0 && Valid(tables, i)) return i;
  }
  return 0;
}

EntryPlan PlanEntry(std::span<const std::uint8_t> vdTable, TableReader& tables, std::uint32_t length) {
  EntryPlan plan;
  if (vdTable.size() < kVdTableSize) return plan;
  for (std::uint32_t i = 0; i < kVdEntries; ++i) plan.blankEntries += IsBlankVd(VdAt(vdTable, i)) ? 1 : 0;
  if (plan.blankEntries == 0) return plan;
  plan.newest = NewestValidEntry(tables);

  std::optional<std::uint32_t> selected;
  for (std::uint32_t i = 0; i < kVdEntries && !selected; ++i) {
    plan.scanned = i + 1;
    if (auto ecc = EccOverVdEntry(tables.EccTable(), i, EccMarkers::InUse)) {
      plan.retire.push_back({i, *ecc});
    } else if (IsBlankVd(VdAt(vdTable, i))) {
      selected = i;
    }
  }
  if (!selected) {
    plan.choice = EntryChoice::NoUsableEntry;
    return plan;
  }
  plan.selected = *selected;
  for (std::uint32_t j = *selected; j-- > 0;) {
    // An entry retired whole names no area; the one below it does.
    if (IsRetiredWhole(VdAt(vdTable, j))) continue;
    if (Valid(tables, j)) {
      plan.predecessor = j;
      plan.after = VdEntry::Unpack(VdAt(vdTable, j));
      break;
    }
  }
  plan.start = static_cast<std::uint16_t>(plan.after.start + plan.after.length);
  const bool beyond = std::uint64_t{length} + plan.after.start + plan.after.length > kCodeAreaSize;
  plan.choice = beyond ? EntryChoice::BeyondCodeArea : EntryChoice::Chosen;
  return plan;
}

std::uint32_t UnbookedLength(std::span<const std::uint8_t> rest) {
  const auto last = std::find_if(rest.rbegin(), rest.rend(), [](std::uint8_t b) { return b != 0; });
  return static_cast<std::uint32_t>(rest.rend() - last);
}

std::uint32_t Budget::Correctable() const {
  return std::min(usable, SaturatingSub(kReportSlots, reservedBeyond));
}

Budget PlanBudget(std::span<const std::uint8_t> eccTable, std::uint32_t start, std::uint32_t length) {
  Budget budget;
  std::uint32_t older = 0;
  const std::uint32_t end = start + length;
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    const EccEntry e = EccAt(eccTable, n);
    if (e.InUse() && e.address < start) {
      if (older < kReportSlots) budget.olderEcc[older++] = static_cast<std::uint8_t>(n);
    } else if (e.InUse() && e.value == 0 && e.address < end) {
      ++budget.usable;
    } else if (e.InUse() && e.value == 0 && e.address >= end && e.address < kCodeAreaSize) {
      ++budget.reservedBeyond;
    } else if (e.Blank()) {
      ++budget.usable;
    }
  }
  return budget;
}

std::vector<std::uint32_t> ReservedInside(std::span<const std::uint8_t> eccTable, std::uint32_t start,
                                          std::uint32_t length) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    const EccEntry e = EccAt(eccTable, n);
    if (e.InUse() && e.value == 0 && e.address >= start && e.address - start < length) out.push_back(n);
  }
  return out;
}

std::uint8_t AroundProgrammedBits(std::uint8_t cell, std::uint8_t data) {
  return static_cast<std::uint8_t>(data & ~cell);
}

std::optional<EccChoice> ChooseEccEntry(std::span<const std::uint8_t> eccTable, std::uint16_t address,
                                        std::uint8_t value, std::span<const std::uint8_t> reference,
                                        std::uint16_t start) {
  if (address >= start && std::size_t{address} - start < reference.size()) {
    for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
      const EccEntry e = EccAt(eccTable, n);
      if (e.InUse() && e.value == 0 && e.address == address) {
        return EccChoice{n, {address, reference[address - start], kMarkerInUse}, true};
      }
    }
  }
  for (std::uint32_t n = 1; n <= kEccEntries; ++n) {
    if (EccAt(eccTable, n).Blank()) return EccChoice{n, {address, value, kMarkerInUse}, false};
  }
  return std::nullopt;
}

bool InsideBlockOfType(std::span<const std::uint8_t> vdTable, std::uint16_t address, std::uint8_t type) {
  if (vdTable.size() < kVdTableSize) return false;
  for (std::uint32_t i = 0; i < kVdEntries; ++i) {
    const VdEntry e = VdEntry::Unpack(VdAt(vdTable, i));
    if (e.type == type && e.start <= address && address < std::uint32_t{e.start} + std::max<std::uint16_t>(e.length, 1)) {
      return true;
    }
  }
  return false;
}

std::vector<std::uint32_t> EccInside(std::span<const std::uint8_t> eccTable, std::uint32_t start, std::uint32_t end) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t n = 1; n <= kEccEntries && out.size() < kReportSlots; ++n) {
    const EccEntry e = EccAt(eccTable, n);
    if (e.InUse() && e.address >= start && e.address < end) out.push_back(n);
  }
  return out;
}

std::uint32_t RetireBelow(std::uint8_t newestType, std::uint32_t selected, std::uint32_t newest) {
  return newestType == kTypeCode || newestType == kTypeConfig ? selected : newest;
}

}  // namespace quillon::otp
