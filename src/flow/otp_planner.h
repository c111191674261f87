// The decisions of one OTP part, taken from the VD and ECC tables alone: which
// VD entry the new block gets and where it starts, which entries on the way are
// retired, how many failed bytes the ECC table can still correct, which ECC
// entry takes a correction, and what a booked block retires. The flow reads
// the tables and writes what these functions decide.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "flow/otp_layout.h"

namespace quillon::otp {

// The tables as the chip holds them when asked. The flow reads the chip on
// every call; a test answers from fixed tables.
class TableReader {
 public:
  virtual ~TableReader() = default;
  virtual std::array<std::uint8_t, kVdEntrySize> VdEntryAt(std::uint32_t index) = 0;
  virtual std::array<std::uint8_t, kEccTableSize> EccTable() = 0;
};

enum class EccMarkers : std::uint8_t { InUse, Any };
// The first ECC entry (0-based) whose address is one of the five byte
// addresses of VD entry `vdIndex`: a block table entry that a correction lands
// on cannot be trusted.
std::optional<std::uint32_t> EccOverVdEntry(std::span<const std::uint8_t> eccTable, std::uint32_t vdIndex,
                                            EccMarkers markers);

// The newest entry whose type byte is set and that no ECC entry lands on; 0
// when there is none.
std::uint32_t NewestValidEntry(TableReader& tables);

struct Retirement {
  std::uint32_t vdIndex = 0;
  std::uint32_t eccIndex = 0;  // 0-based
  bool operator==(const Retirement&) const = default;
};

enum class EntryChoice : std::uint8_t { Chosen, NoBlankEntry, NoUsableEntry, BeyondCodeArea };

struct EntryPlan {
  EntryChoice choice = EntryChoice::NoBlankEntry;
  std::uint32_t blankEntries = 0;
  std::uint32_t newest = 0;        // the newest valid entry before this part
  std::uint32_t selected = 0;      // the new block's entry (Chosen, BeyondCodeArea)
  std::uint32_t scanned = 0;       // entries the scan looked at
  std::vector<Retirement> retire;  // entries the scan found unusable, with the ECC entry on them
  std::optional<std::uint32_t> predecessor;  // the entry the new block follows
  VdEntry after;                   // its start and length (0, 0 without one)
  std::uint16_t start = 0;         // where the new block starts
};

// Chooses the entry for a block of `length` bytes. `vdTable` is the table as
// read before the scan; the scan and the search for the predecessor ask
// `tables` entry by entry, as the chip holds them then.
EntryPlan PlanEntry(std::span<const std::uint8_t> vdTable, TableReader& tables, std::uint32_t length);

// Bytes that a cut download programmed but never booked, read from the new
// block's start to the end of the code area: everything up to the last
// non-zero byte (a blank cell reads 0). 0 when the rest is blank.
std::uint32_t UnbookedLength(std::span<const std::uint8_t> rest);

// What the ECC table offers a block at start .. start + length - 1.
struct Budget {
  std::array<std::uint8_t, kReportSlots> olderEcc{};  // numbers (1..16) of in-use entries below the block
  std::uint32_t usable = 0;          // blank entries and reserved entries inside the block
  std::uint32_t reservedBeyond = 0;  // reserved entries behind the block, inside the code area
  // Failed bytes the block may correct; reserved entries behind it keep theirs.
  std::uint32_t Correctable() const;
};
Budget PlanBudget(std::span<const std::uint8_t> eccTable, std::uint32_t start, std::uint32_t length);

// In-use ECC entries (numbers 1..16) with value 0 inside the block: cells the
// block's data must leave as the chip holds them.
std::vector<std::uint32_t> ReservedInside(std::span<const std::uint8_t> eccTable, std::uint32_t start,
                                          std::uint32_t length);
// The data byte for a cell whose programmed bits cannot be taken back.
std::uint8_t AroundProgrammedBits(std::uint8_t cell, std::uint8_t data);

// The ECC entry that takes the correction of `address`, and what is written
// into it. A reserved entry for that address wins over a blank one wherever
// it lies in the table: left behind a blank entry it would otherwise override
// the correction at read-back. Its value comes from `reference`, the part
// that starts at `start`; a reserved entry outside the part is passed over.
struct EccChoice {
  std::uint32_t number = 0;  // 1..16
  EccEntry entry;
  bool reserved = false;
};
std::optional<EccChoice> ChooseEccEntry(std::span<const std::uint8_t> eccTable, std::uint16_t address,
                                        std::uint8_t value, std::span<const std::uint8_t> reference,
                                        std::uint16_t start);

// True when a VD entry of `type` covers `address`.
bool InsideBlockOfType(std::span<const std::uint8_t> vdTable, std::uint16_t address, std::uint8_t type);

// In-use ECC entries (numbers 1..16, at most eight, in table order) inside
// start .. end - 1: the corrections of a part that failed.
std::vector<std::uint32_t> EccInside(std::span<const std::uint8_t> eccTable, std::uint32_t start, std::uint32_t end);

// After a block is booked in `selected`: the older entries of its kind are
// retired below this entry (the predecessor's entry when that was no block of
// a kind, i.e. a dead entry or a retired one).
std::uint32_t RetireBelow(std::uint8_t newestType, std::uint32_t selected, std::uint32_t newest);

}  // namespace quillon::otp
