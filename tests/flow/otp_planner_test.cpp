// The decisions of one OTP part from the tables alone: the entry and start of
// a new block, the entries retired on the way, the correction budget, the ECC
// entry a correction goes into, and the failed bytes the ledger keeps.
#include <gtest/gtest.h>

#include <vector>

#include "flow/otp_ledger.h"
#include "flow/otp_planner.h"

namespace quillon::otp {
namespace {

struct Vd {
  std::uint32_t index;
  VdEntry entry;
};
struct Ecc {
  std::uint32_t number;  // 1..16
  EccEntry entry;
};

// Fixed tables, counting how often the planner asks.
class FixedTables final : public TableReader {
 public:
  FixedTables(const std::vector<Vd>& vd, const std::vector<Ecc>& ecc) {
    for (const Vd& v : vd) Put(v.index, v.entry.Pack());
    for (const Ecc& e : ecc) {
      auto packed = e.entry.Pack();
      std::copy(packed.begin(), packed.end(), eccTable.begin() + (e.number - 1) * kEccEntrySize);
    }
  }
  void Put(std::uint32_t index, std::array<std::uint8_t, kVdEntrySize> bytes) {
    std::copy(bytes.begin(), bytes.end(), vdTable.begin() + index * kVdEntrySize);
  }
  std::array<std::uint8_t, kVdEntrySize> VdEntryAt(std::uint32_t index) override {
    ++entryReads;
    std::array<std::uint8_t, kVdEntrySize> out{};
    std::copy_n(vdTable.begin() + index * kVdEntrySize, kVdEntrySize, out.begin());
    return out;
  }
  std::array<std::uint8_t, kEccTableSize> EccTable() override {
    ++eccReads;
    return eccTable;
  }
  std::array<std::uint8_t, kVdTableSize> vdTable{};
  std::array<std::uint8_t, kEccTableSize> eccTable{};
  int entryReads = 0;
  int eccReads = 0;
};

constexpr std::uint16_t kOnEntry(std::uint32_t i, std::uint32_t byte = 0) {
  return static_cast<std::uint16_t>(VdEntryAddress(i) + byte);
}

struct EntryCase {
  const char* name;
  std::vector<Vd> vd;
  std::vector<Ecc> ecc;
  std::uint32_t length;
  EntryChoice choice;
  std::uint32_t selected;
  std::uint32_t newest;
  std::optional<std::uint32_t> predecessor;
  std::uint16_t start;
  std::vector<Retirement> retire;
};

TEST(OtpPlannerTest, EntryStartAndRetirements) {
  const std::vector<EntryCase> cases = {
      {"blank OTP: entry 0 at address 0", {}, {}, 100, EntryChoice::Chosen, 0, 0, std::nullopt, 0, {}},
      {"behind a code and a configuration block",
       {{0, {0, 100, kTypeCode}}, {1, {100, 50, kTypeConfig}}}, {}, 100, EntryChoice::Chosen, 2, 1, 1, 150, {}},
      {"behind a dead entry: it still consumed its bytes",
       {{0, {0, 100, kTypeCode}}, {1, {100, 30, kTypeDead}}}, {}, 10, EntryChoice::Chosen, 2, 1, 1, 130, {}},
      {"an entry retired whole names no area: the one below it does",
       {{0, {0, 100, kTypeDead}}, {1, {0xFFFF, 0xFFFF, 0xFF}}}, {}, 10, EntryChoice::Chosen, 2, 1, 0, 100, {}},
      {"a correction on a blank entry's bytes: retired, the next one taken",
       {}, {{3, {kOnEntry(0, 2), 0x11, kMarkerInUse}}}, 10, EntryChoice::Chosen, 1, 0, std::nullopt, 0,
       {{0, 2}}},
      {"an invalidated correction on an entry: never a predecessor, not retired again",
       {{0, {0, 100, kTypeCode}}}, {{1, {kOnEntry(0, 4), 0, kMarkerInvalid}}}, 10, EntryChoice::Chosen, 1, 0,
       std::nullopt, 0, {}},
      {"exactly filling the code area", {{0, {0, 16000, kTypeDead}}}, {}, 224, EntryChoice::Chosen, 1, 0, 0, 16000,
       {}},
      {"one byte beyond the code area", {{0, {0, 16000, kTypeDead}}}, {}, 225, EntryChoice::BeyondCodeArea, 1, 0, 0,
       16000, {}},
      {"every blank entry covered by a correction",
       {{0, {0, 10, kTypeCode}}},
       {{1, {kOnEntry(1), 1, kMarkerInUse}}, {2, {kOnEntry(2), 1, kMarkerInUse}}, {3, {kOnEntry(3), 1, kMarkerInUse}},
        {4, {kOnEntry(4), 1, kMarkerInUse}}, {5, {kOnEntry(5), 1, kMarkerInUse}}, {6, {kOnEntry(6), 1, kMarkerInUse}},
        {7, {kOnEntry(7), 1, kMarkerInUse}}, {8, {kOnEntry(8), 1, kMarkerInUse}}, {9, {kOnEntry(9), 1, kMarkerInUse}},
        {10, {kOnEntry(10), 1, kMarkerInUse}}, {11, {kOnEntry(11), 1, kMarkerInUse}},
        {12, {kOnEntry(12), 1, kMarkerInUse}}, {13, {kOnEntry(13), 1, kMarkerInUse}},
        {14, {kOnEntry(14), 1, kMarkerInUse}}, {15, {kOnEntry(15), 1, kMarkerInUse}}},
       10, EntryChoice::NoUsableEntry, 0, 0, std::nullopt, 0,
       {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}, {7, 6}, {8, 7}, {9, 8}, {10, 9}, {11, 10}, {12, 11},
        {13, 12}, {14, 13}, {15, 14}}},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    FixedTables tables(c.vd, c.ecc);
    const EntryPlan plan = PlanEntry(tables.vdTable, tables, c.length);
    EXPECT_EQ(plan.choice, c.choice);
    if (c.choice != EntryChoice::NoUsableEntry) {
      EXPECT_EQ(plan.selected, c.selected);
      EXPECT_EQ(plan.predecessor, c.predecessor);
      EXPECT_EQ(plan.start, c.start);
    }
    EXPECT_EQ(plan.newest, c.newest);
    EXPECT_EQ(plan.retire, c.retire);
  }
}

TEST(OtpPlannerTest, AFullTableIsRefusedBeforeTheChipIsAskedAnything) {
  FixedTables tables({}, {});
  for (std::uint32_t i = 0; i < kVdEntries; ++i) tables.Put(i, VdEntry{0, 1, kTypeDead}.Pack());
  const EntryPlan plan = PlanEntry(tables.vdTable, tables, 10);
  EXPECT_EQ(plan.choice, EntryChoice::NoBlankEntry);
  EXPECT_EQ(tables.entryReads + tables.eccReads, 0);
}

TEST(OtpPlannerTest, NewestValidEntrySkipsBlankTypesAndCoveredEntries) {
  FixedTables tables({{0, {0, 10, kTypeCode}}, {1, {10, 10, kTypeConfig}}, {2, {20, 10, kTypeCode}}},
                     {{5, {kOnEntry(2, 1), 0, kMarkerInvalid}}});
  EXPECT_EQ(NewestValidEntry(tables), 1u);
  FixedTables blank({}, {});
  EXPECT_EQ(NewestValidEntry(blank), 0u);
}

struct BudgetCase {
  const char* name;
  std::vector<Ecc> ecc;
  std::uint32_t start, length;
  std::uint32_t usable, reservedBeyond, correctable;
  std::vector<std::uint8_t> older;
};

TEST(OtpPlannerTest, CorrectionBudget) {
  std::vector<Ecc> nineBehind;
  for (std::uint32_t n = 1; n <= 9; ++n) nineBehind.push_back({n, {static_cast<std::uint16_t>(0x3000 + n), 0, kMarkerInUse}});
  std::vector<Ecc> allUsed;
  for (std::uint32_t n = 1; n <= 16; ++n) allUsed.push_back({n, {static_cast<std::uint16_t>(n), 0x11, kMarkerInUse}});
  const std::vector<BudgetCase> cases = {
      {"blank table: every entry usable, eight at most", {}, 0, 100, 16, 0, 8, {}},
      {"reserved inside the block counts, behind it holds a slot back",
       {{1, {150, 0, kMarkerInUse}}, {2, {200, 0, kMarkerInUse}}, {3, {100, 0x22, kMarkerInUse}}},
       100, 100, 14, 1, 7, {}},
      {"corrections below the block are listed for retiring, with their numbers",
       {{2, {10, 0x33, kMarkerInUse}}, {4, {20, 0, kMarkerInUse}}, {6, {30, 0x44, kMarkerInvalid}}},
       100, 100, 13, 0, 8, {2, 4}},
      {"more reserved entries behind than slots never wrap", nineBehind, 0, 100, 7, 9, 0, {}},
      {"no blank or reserved entry: nothing to correct with", allUsed, 100, 100, 0, 0, 0,
       {1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (const BudgetCase& c : cases) {
    SCOPED_TRACE(c.name);
    FixedTables tables({}, c.ecc);
    const Budget b = PlanBudget(tables.eccTable, c.start, c.length);
    EXPECT_EQ(b.usable, c.usable);
    EXPECT_EQ(b.reservedBeyond, c.reservedBeyond);
    EXPECT_EQ(b.Correctable(), c.correctable);
    std::vector<std::uint8_t> older;
    for (std::uint8_t n : b.olderEcc) {
      if (n != 0) older.push_back(n);
    }
    EXPECT_EQ(older, c.older);
  }
}

TEST(OtpPlannerTest, ReservedCellsKeepTheirProgrammedBits) {
  FixedTables tables({}, {{1, {105, 0, kMarkerInUse}}, {2, {99, 0, kMarkerInUse}}, {3, {110, 7, kMarkerInUse}},
                          {4, {150, 0, kMarkerInUse}}});
  EXPECT_EQ(ReservedInside(tables.eccTable, 100, 50), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(AroundProgrammedBits(0x0F, 0xFF), 0xF0);
  EXPECT_EQ(AroundProgrammedBits(0x00, 0x5A), 0x5A);
}

TEST(OtpPlannerTest, BlocksOfAKindAndTheirCorrections) {
  FixedTables tables({{0, {0, 100, kTypeCode}}, {1, {100, 0, kTypeConfig}}, {2, {200, 50, kTypeDead}}}, {});
  EXPECT_TRUE(InsideBlockOfType(tables.vdTable, 99, kTypeCode));
  EXPECT_FALSE(InsideBlockOfType(tables.vdTable, 100, kTypeCode));
  EXPECT_TRUE(InsideBlockOfType(tables.vdTable, 100, kTypeConfig)) << "an empty block still owns its start";
  EXPECT_FALSE(InsideBlockOfType(tables.vdTable, 220, kTypeConfig));

  FixedTables ecc({}, {{1, {5, 1, kMarkerInUse}}, {2, {15, 1, kMarkerInvalid}}, {3, {19, 0, kMarkerInUse}},
                       {4, {20, 1, kMarkerInUse}}});
  EXPECT_EQ(EccInside(ecc.eccTable, 10, 20), (std::vector<std::uint32_t>{3}));

  EXPECT_EQ(RetireBelow(kTypeCode, 4, 3), 4u);
  EXPECT_EQ(RetireBelow(kTypeConfig, 4, 3), 4u);
  EXPECT_EQ(RetireBelow(kTypeDead, 4, 3), 3u) << "behind a dead entry only what lay below the newest one";
}

TEST(OtpPlannerTest, TheEccEntryACorrectionGoesInto) {
  const std::vector<std::uint8_t> part = {0x10, 0x11, 0x12, 0x13};  // OTP 100..103
  const EccEntry blank{};
  const EccEntry reservedFor101{101, 0, kMarkerInUse};
  struct Row {
    const char* name;
    std::vector<Ecc> ecc;
    std::uint16_t address;
    std::optional<EccChoice> choice;
  };
  std::vector<Ecc> full;
  for (std::uint32_t n = 1; n <= 16; ++n) full.push_back({n, {static_cast<std::uint16_t>(n), 1, kMarkerInUse}});
  const std::vector<Row> rows = {
      {"a blank entry takes the failed byte's value", {{1, {5, 1, kMarkerInUse}}}, 101,
       EccChoice{2, {101, 0x77, kMarkerInUse}, false}},
      {"a reserved entry for the address is completed with the part's byte", {{1, reservedFor101}}, 101,
       EccChoice{1, {101, 0x11, kMarkerInUse}, true}},
      {"a reserved entry behind a blank one still wins: it would override the blank one at read-back",
       {{1, {5, 1, kMarkerInUse}}, {2, blank}, {3, {7, 0, kMarkerInvalid}}, {4, reservedFor101}}, 101,
       EccChoice{4, {101, 0x11, kMarkerInUse}, true}},
      {"a reserved entry for another address is no candidate", {{1, reservedFor101}}, 102,
       EccChoice{2, {102, 0x77, kMarkerInUse}, false}},
      {"a reserved entry outside the part has no value to complete it with",
       {{1, {104, 0, kMarkerInUse}}}, 104, EccChoice{2, {104, 0x77, kMarkerInUse}, false}},
      {"no blank or reserved entry left", full, 101, std::nullopt},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FixedTables tables({}, r.ecc);
    const auto choice = ChooseEccEntry(tables.eccTable, r.address, 0x77, part, 100);
    ASSERT_EQ(choice.has_value(), r.choice.has_value());
    if (!choice) continue;
    EXPECT_EQ(choice->number, r.choice->number);
    EXPECT_EQ(choice->entry, r.choice->entry);
    EXPECT_EQ(choice->reserved, r.choice->reserved);
  }
}

// ---- the ledger ----

ProgramFailReport Report(std::initializer_list<std::uint16_t> addresses, std::uint16_t stop = 0x1234,
                         std::uint8_t count = 0xFF) {
  ProgramFailReport r;
  r.count = count == 0xFF ? static_cast<std::uint8_t>(addresses.size()) : count;
  std::copy(addresses.begin(), addresses.end(), r.addresses.begin());
  r.stop = stop;
  return r;
}

TEST(OtpLedgerTest, ReportsAreRecordedOnceAndWithinTheBudget) {
  std::vector<std::uint8_t> chunk(64);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(i + 1);

  FailLedger ledger(2, 16);
  EXPECT_EQ(ledger.TakeReport(Report({}), 100, chunk), FailLedger::Take::Clean);
  EXPECT_EQ(ledger.TakeReport(Report({105, 110}), 100, chunk), FailLedger::Take::Recorded);
  EXPECT_EQ(ledger.budget(), 0u);
  EXPECT_EQ(ledger.uncorrected(), 2u);
  EXPECT_EQ(ledger.slots()[0], (FailLedger::Slot{105, 6, true}));
  EXPECT_EQ(ledger.slots()[1], (FailLedger::Slot{110, 11, true}));
  // The same addresses again cost nothing.
  EXPECT_EQ(ledger.TakeReport(Report({110, 105}), 100, chunk), FailLedger::Take::Clean);
  EXPECT_EQ(ledger.uncorrected(), 2u);
  EXPECT_EQ(ledger.stoppedAt(), kNoAddress);
  // One more is beyond the budget: the part stops where the chip stopped.
  EXPECT_EQ(ledger.TakeReport(Report({105, 120}, 0x0077), 100, chunk), FailLedger::Take::OverBudget);
  EXPECT_EQ(ledger.stoppedAt(), 0x0077);
}

TEST(OtpLedgerTest, ReportsThatCannotBeCorrectedStopThePart) {
  std::vector<std::uint8_t> chunk(64, 0xAB);
  struct Row {
    const char* name;
    ProgramFailReport report;
    FailLedger::Take take;
  };
  const Row rows[] = {
      {"a count beyond the eight listed addresses", Report({101}, 0x0042, 9), FailLedger::Take::OverBudget},
      {"an address before the chunk", Report({99}, 0x0042), FailLedger::Take::FarAddress},
      {"an address past the chunk", Report({164}, 0x0042), FailLedger::Take::FarAddress},
      {"no budget at all", Report({101}, 0x0042), FailLedger::Take::OverBudget},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FailLedger ledger(std::string_view(r.name) == "no budget at all" ? 0 : 8, 16);
    EXPECT_EQ(ledger.TakeReport(r.report, 100, chunk), r.take);
    EXPECT_EQ(ledger.stoppedAt(), 0x0042);
  }
}

TEST(OtpLedgerTest, CorrectionsMoveOnWhenAnEntryFailsAndStopWhenEntriesRunOut) {
  std::vector<std::uint8_t> chunk(16, 0x5A);
  struct Row {
    const char* name;
    std::uint32_t usable;
    std::vector<EccWrite> results;  // answers of the ECC writes, in order
    FailLedger::Outcome outcome;
    std::size_t writes;
  };
  const std::vector<Row> rows = {
      {"both corrected", 4, {EccWrite::Corrected, EccWrite::Corrected}, FailLedger::Outcome::Done, 2},
      {"a failed entry, then the next one", 4,
       {EccWrite::Corrected, EccWrite::HardwareError, EccWrite::Corrected}, FailLedger::Outcome::Done, 3},
      {"entries run out after a failed one", 2, {EccWrite::Corrected, EccWrite::HardwareError},
       FailLedger::Outcome::OutOfEntries, 2},
      {"no entry left in the table", 4, {EccWrite::NoEntry}, FailLedger::Outcome::OutOfEntries, 1},
      {"locked", 4, {EccWrite::Locked}, FailLedger::Outcome::Locked, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FailLedger ledger(8, r.usable);
    ASSERT_EQ(ledger.TakeReport(Report({3, 9}), 0, chunk), FailLedger::Take::Recorded);
    std::size_t writes = 0;
    std::vector<std::uint16_t> addresses;
    const auto outcome = ledger.Correct([&](std::uint16_t address, std::uint8_t value) {
      EXPECT_EQ(value, 0x5A);
      addresses.push_back(address);
      return writes < r.results.size() ? r.results[writes++] : EccWrite::Locked;
    });
    EXPECT_EQ(outcome, r.outcome);
    EXPECT_EQ(writes, r.writes);
    if (outcome == FailLedger::Outcome::Done) {
      EXPECT_EQ(ledger.uncorrected(), 0u);
    }
    EXPECT_EQ(addresses.front(), 3);
  }
}

TEST(OtpLedgerTest, AReservedCellSpendsOneCorrectionBeforeAnyData) {
  FailLedger ledger(1, 3);
  ledger.RecordReserved(0x20, 0x7E);
  EXPECT_EQ(ledger.budget(), 0u);
  EXPECT_EQ(ledger.uncorrected(), 1u);
  std::vector<std::uint8_t> chunk(16);
  EXPECT_EQ(ledger.TakeReport(Report({0x21}), 0x18, chunk), FailLedger::Take::OverBudget);
  std::vector<std::pair<std::uint16_t, std::uint8_t>> written;
  EXPECT_EQ(ledger.Correct([&](std::uint16_t a, std::uint8_t v) {
    written.emplace_back(a, v);
    return EccWrite::Corrected;
  }),
            FailLedger::Outcome::Done);
  EXPECT_EQ(written, (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{0x20, 0x7E}}));
}

}  // namespace
}  // namespace quillon::otp
