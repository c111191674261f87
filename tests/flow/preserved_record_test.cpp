#include "flow/preserved_record.h"

#include <gtest/gtest.h>

#include "flow/status.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kA = {'A', 1, 2};
const Bytes kB = {'B', 1, 2};
constexpr const char* kFlash = "5A40100000000000";

UnitIdentity Unit(const char* location, const char* flashId = kFlash) {
  return {location, "VID_3A7C&PID_0022&REV_0001", "QS11", flashId};
}

PendingRecordCopy Copy(const char* location, std::optional<Bytes> payload, const char* flashId = kFlash) {
  PendingRecordCopy copy;
  copy.location = location;
  copy.file = std::string("PreservedRecord_") + location + ".bin";
  copy.payload = std::move(payload);
  copy.unit = Unit(location, flashId);
  copy.run = "2026-12-10 20:00:00 UTC writing new.rfw";
  return copy;
}

struct DecideCase {
  const char* name;
  std::optional<Bytes> chipRecord;
  std::vector<PendingRecordCopy> pending;
  RecordCopyInstruction instruction;
  RecordPlan plan;
  std::size_t copy = 0;
  std::vector<std::size_t> setAside = {};
  std::vector<std::size_t> superseded = {};
  const char* why = "";  // part of the refusal's line
};

TEST(DecideRecordTest, RecordOnlyGoesIntoTheUnitItCameFrom) {
  const auto A = Copy("1-1", kA);
  const auto B = Copy("1-2", kB);
  const RecordCopyInstruction none;
  const auto restore = [](const char* location) { return RecordCopyInstruction{location, {}}; };
  const auto aside = [](const char* location) { return RecordCopyInstruction{std::nullopt, {location}}; };
  const DecideCase cases[] = {
      {"record on the chip, nothing pending", kA, {}, none, RecordPlan::kCarryFromChip},
      {"record on the chip, its own copy pending", kA, {B, A}, none, RecordPlan::kCarryFromChip, 0, {}, {1}},
      {"record on the chip, another unit's copy at another port", kA, {B}, none, RecordPlan::kCarryFromChip},
      {"record on the chip, another unit's copy at this port", kB, {A}, none, RecordPlan::kRefuse, 0, {}, {},
       "PreservedRecord_1-1.bin holds another unit's record and is pending for this port"},
      {"... set aside first", kB, {A}, aside("1-1"), RecordPlan::kCarryFromChip, 0, {0}},
      {"record on the chip, asked to restore a copy", kA, {B}, restore("1-2"), RecordPlan::kRefuse, 0, {}, {},
       "this unit holds its own preserved record"},
      {"record on the chip, asked to restore the copy of its bytes", kA, {B, A}, restore("1-1"),
       RecordPlan::kCarryFromChip, 0, {}, {1}},
      {"no record, nothing pending", std::nullopt, {}, none, RecordPlan::kWithoutRecord},
      {"no record, a copy pending", std::nullopt, {A}, none, RecordPlan::kAskOperator},
      {"no record, the operator names its copy", std::nullopt, {A}, restore("1-1"), RecordPlan::kRestoreCopy, 0},
      {"no record, the operator names a copy from another port", std::nullopt, {A, B}, restore("1-2"),
       RecordPlan::kRestoreCopy, 1},
      {"no record, a copy that is not pending", std::nullopt, {A}, restore("1-9"), RecordPlan::kRefuse, 0, {}, {},
       "no preserved record copy is pending for 1-9"},
      {"no record, an empty copy", std::nullopt, {Copy("1-1", std::nullopt)}, restore("1-1"), RecordPlan::kRefuse, 0,
       {}, {}, "PreservedRecord_1-1.bin is empty or damaged"},
      {"no record, a copy from another flash part", std::nullopt, {Copy("1-1", kA, "C2201500")}, restore("1-1"),
       RecordPlan::kRefuse, 0, {}, {}, "flash reads C2201500; this unit's flash reads 5A40100000000000"},
      {"no record, a copy kept without its unit", std::nullopt, {Copy("1-1", kA, "")}, restore("1-1"),
       RecordPlan::kRestoreCopy, 0},
      {"no record, the only copy set aside", std::nullopt, {A}, aside("1-1"), RecordPlan::kWithoutRecord, 0, {0}},
      {"no record, one of two copies set aside", std::nullopt, {A, B}, aside("1-1"), RecordPlan::kAskOperator, 0, {0}},
      {"no record, set aside and restore", std::nullopt, {A, B}, {"1-2", {"1-1"}}, RecordPlan::kRestoreCopy, 1, {0}},
      {"setting aside a copy that is not pending", std::nullopt, {A}, aside("1-9"), RecordPlan::kRefuse, 0, {}, {},
       "no preserved record copy is pending for 1-9 to set aside"},
  };
  for (const DecideCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordDecision d = DecideRecord(c.chipRecord, Unit("1-1"), c.pending, c.instruction);
    EXPECT_EQ(d.plan, c.plan);
    if (c.plan == RecordPlan::kRestoreCopy) {
      EXPECT_EQ(d.copy, c.copy);
    }
    if (c.plan == RecordPlan::kRefuse) {
      EXPECT_NE(d.why.find(c.why), std::string::npos) << d.why;
      continue;
    }
    EXPECT_EQ(d.setAside, c.setAside);
    EXPECT_EQ(d.superseded, c.superseded);
  }
}

// What a later run finds of a copy: its bytes, its unit and run; a copy that
// is set aside leaves the pending set with its bytes kept.
TEST(PreservedRecordStoreTest, KeepsListsAndSetsAside) {
  testing::TempDir dir;
  const PreservedRecordStore store(dir.path());
  ASSERT_EQ(store.Keep(kA, Unit("1-1.4"), "the run"), "");
  dir.Write("PreservedRecord_1-2.bin", "");  // left empty by a failed write of old
  dir.Write("PreservedRecord_1-3.bin", std::string(17, 'x'));
  dir.Write("Other_1-4.bin", "A");

  const std::vector<PendingRecordCopy> pending = store.Pending();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_EQ(pending[0].location, "1-1.4");
  EXPECT_EQ(pending[0].payload, kA);
  EXPECT_EQ(pending[0].unit, Unit("1-1.4"));
  EXPECT_EQ(pending[0].run, "the run");
  EXPECT_EQ(DescribeCopy(pending[0]),
            "PreservedRecord_1-1.4.bin (3 bytes), taken from VID_3A7C&PID_0022&REV_0001 serial QS11 flash "
            "5A40100000000000 at 1-1.4 in the run of the run");
  EXPECT_EQ(pending[1].location, "1-2");
  EXPECT_EQ(pending[1].payload, std::nullopt);
  EXPECT_EQ(DescribeCopy(pending[1]), "PreservedRecord_1-2.bin (empty or damaged), taken at 1-2 (no record of its unit or run)");
  EXPECT_EQ(pending[2].payload, std::nullopt) << "longer than any record";

  ASSERT_EQ(store.SetAside(pending[0]), "");
  const std::vector<PendingRecordCopy> left = store.Pending();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].location, "1-2");
  std::size_t asideFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".aside-") == std::string::npos) continue;
    ++asideFiles;
    if (name.rfind("PreservedRecord_1-1.4.bin.aside-", 0) == 0) {
      EXPECT_EQ(ReadWholeFile(entry.path()), kA);
    }
  }
  EXPECT_EQ(asideFiles, 2u) << "the copy and its unit file";
}

// A unit without a record while a copy waits is refused with an id of its own
// that tells the operator what to do, not as a failed read of the flash.
TEST(PreservedRecordRunTest, AUnitWithoutARecordWhileACopyWaitsIsRefusedAsWaiting) {
  testing::TempDir dir;
  testing::ScopedEnv home("QUILLON_HOME", dir.path().string());
  ASSERT_EQ(PreservedRecordStore(dir.path()).Keep(kA, Unit("1-1"), "the run"), "");
  const Bytes erased(0x1000, 0xFF);
  Bytes image(0x10000, 0xFF);
  const Bytes before = image;
  PreservedRecordRun run;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run.Prepare(erased, Unit("1-1"), "new.rfw", image), msg::kRecordCopyPending);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("--restore-record 1-1"), std::string::npos) << err;
  EXPECT_EQ(image, before);
  EXPECT_EQ(MessageText(msg::kRecordCopyPending), "Preserved Record Copy Pending: Restore It Or Set It Aside!");
  EXPECT_FALSE(IsVerdictId(msg::kRecordCopyPending)) << "nothing is wrong with the unit";
}

}  // namespace
}  // namespace quillon
