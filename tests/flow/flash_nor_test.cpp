// NOR flash chips: chosen by the profile, written, tagged and started; each
// step's failure id; chips of the other flash kind and images larger than the
// code memory refused before the chip is erased.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "flow/command_line_binding.h"
#include "flow/flash_flow.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

using testing::OpText;

using testing::FlowFixture;
using testing::HookBus;
using testing::IsCommandBlock;
using testing::RecordingWindow;

class NorFlowTest : public FlowFixture {
 protected:
  void TearDown() override {
    SetMainWindow(nullptr);
    FlowFixture::TearDown();
    SetStoredIniType(0);
  }
  // Profiles from the program directory: the TQ7704's, naming NOR flash when `nor`.
  void UseProfile(bool nor) {
    std::string text = CurrentProfile()->RawResourceText();
    if (nor) {
      const std::string flash = "Project Type=FLASH";
      const std::size_t at = text.find(flash);
      ASSERT_NE(at, std::string::npos);
      text.replace(at, flash.size(), "Project Type=NOR");
    }
    temp.Write("TQ7704.INI", text);
    UseSettings("Ini Type=1\r\n");
    SetStoredIniType(1);
    SetCurrentProfile(OpenProfileDocument());
  }
  // A chip of `memory` running an older image, opened, with a new image bound.
  std::string Prepare(sim::MemoryKind memory, bool norProfile) {
    UseProfile(norProfile);
    old = MakeImage("tq7704");
    old[0x2000] ^= 0xFF;
    file = MakeImage("tq7704");
    chip = &AddChipWith({.memory = memory}, old);
    chip->state().norTagged = memory == sim::MemoryKind::kNor;
    chip->PowerUp();
    const std::string path = WriteImageFile("image.rfw", file);
    OpenFirst();
    EXPECT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    return path;
  }
  std::span<const std::uint8_t> Flash() const { return chip->state().memory.bytes(); }
  // Steps of the sequence, one name per run of equal commands.
  std::vector<std::string> Steps() {
    std::vector<std::string> steps;
    for (const auto& c : WireCommands()) {
      std::string name = c.op;
      if (c.op == OpText(sim::Op::kResetToUpdate)) name = "reset-to-loader";
      if (c.op == OpText(sim::Op::kResetToRom)) name = "reset";
      if (c.op == OpText(sim::Op::kNorRead)) name = "nor-probe";
      if (c.op == OpText(sim::Op::kNorErase)) name = "nor-erase";
      if (c.op == OpText(sim::Op::kNorWrite)) name = "nor-write";
      if (c.op == OpText(sim::Op::kNorWriteTag)) name = "nor-tag";
      if (c.op == OpText(sim::Op::kSpiRead)) name = "read";
      // Registers, status and the data-control size are not steps.
      if (c.op == OpText(sim::Op::kReadMem) || c.op == OpText(sim::Op::kWriteMem) ||
          c.op == OpText(sim::Op::kGetDevStatus) || c.op == OpText(sim::Op::kDevQualify) ||
          c.op == OpText(sim::Op::kSetDataSize))
        continue;
      if (steps.empty() || steps.back() != name) steps.push_back(name);
    }
    return steps;
  }
  bool Erased() {
    const auto commands = WireCommands();
    return std::any_of(commands.begin(), commands.end(), [](const auto& c) {
      return c.op == OpText(sim::Op::kNorErase) || c.op == OpText(sim::Op::kSpiEraseChip);
    });
  }

  sim::SimChip* chip = nullptr;
  std::vector<std::uint8_t> old;
  std::vector<std::uint8_t> file;
};

// "Project Type" NOR chooses the NOR flow for a flash image; the batch mode's
// write programs the chip with NOR commands only, tags it and starts it.
TEST_F(NorFlowTest, NorChipIsWrittenAndStarted) {
  const std::string path = Prepare(sim::MemoryKind::kNor, true);
  ASSERT_NE(dynamic_cast<CNORFlashInfo_USB*>(flow), nullptr);
  EXPECT_EQ(CurrentMemoryType(), MemoryType::NorFlash);
  RecordingWindow window;
  SetMainWindow(&window);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_EQ(window.posts.back(), std::make_pair(std::uint32_t{WM_FLOW_PASS}, msg::kFirmwareUpdateSucceed));
  EXPECT_EQ(Steps(), (std::vector<std::string>{"nor-probe", "reset-to-loader", "nor-erase", "read", "nor-write", "read",
                                               "nor-tag", "reset"}));
  EXPECT_TRUE(std::equal(file.begin(), file.end(), Flash().begin()));
  EXPECT_TRUE(chip->state().norTagged);
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
  EXPECT_EQ(flow->chip.versionText.empty(), false);
}

struct NorStepFailure {
  const char* name;
  std::string op;  // command blocks to refuse
  int after;       // ... after this many of them went through
  std::uint32_t id;
  bool erased;  // the erase ran before the failure
};
// Listings and failures name the case, not its bytes.
void PrintTo(const NorStepFailure& c, std::ostream* os) { *os << c.name; }

class NorStepFailureTest : public NorFlowTest, public ::testing::WithParamInterface<NorStepFailure> {};

// Each step's failure gives its own id, posted once; the run does not pass.
TEST_P(NorStepFailureTest, ReportsTheStepsId) {
  const NorStepFailure& c = GetParam();
  const std::string path = Prepare(sim::MemoryKind::kNor, true);
  RecordingWindow window;
  SetMainWindow(&window);
  int seen = 0;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (!IsCommandBlock(s) || d.size() < 8) return std::nullopt;
    char op[5];
    std::snprintf(op, sizeof op, "%02x%02x", d[0], d[1]);
    if (op != c.op || seen++ < c.after) return std::nullopt;
    return TransferResult{31, 0};
  };
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  hookBus->hook = nullptr;
  EXPECT_EQ(LastStatus(), c.id);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
  EXPECT_EQ(Erased(), c.erased);
  if (!c.erased) {
    EXPECT_TRUE(std::equal(old.begin(), old.end(), Flash().begin()));
    EXPECT_TRUE(chip->state().norTagged);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NorStepFailureTest,
    ::testing::Values(NorStepFailure{"Probe", OpText(sim::Op::kNorRead), 0, msg::kFirmwareNotForDevice, false},
                      NorStepFailure{"RomEntry", OpText(sim::Op::kResetToUpdate), 0, msg::kResetDeviceFail, false},
                      NorStepFailure{"Erase", OpText(sim::Op::kNorErase), 0, msg::kEraseFlashFail, false},
                      NorStepFailure{"CheckEmpty", OpText(sim::Op::kSpiRead), 0, msg::kLinkFail, true},
                      NorStepFailure{"Write", OpText(sim::Op::kNorWrite), 0, msg::kUpdateFlashFail, true},
                      NorStepFailure{"ReadBack", OpText(sim::Op::kSpiRead), 16, msg::kReadFlashFail, true},
                      NorStepFailure{"Tag", OpText(sim::Op::kNorWriteTag), 0, msg::kWriteTagFail, true},
                      NorStepFailure{"Reset", OpText(sim::Op::kResetToRom), 0, msg::kResetDeviceFail, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NorFlowTest, CompareFailureLeavesTheChipUntagged) {
  const std::string path = Prepare(sim::MemoryKind::kNor, true);
  // The 17th read on is the read-back.
  hookBus->hook = testing::SpoilReadsAfter(16, false);
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  hookBus->hook = nullptr;
  EXPECT_EQ(LastStatus(), msg::kCompareDataFail);
  EXPECT_FALSE(chip->state().norTagged);
  chip->PowerUp();
  EXPECT_EQ(chip->state().mode, sim::RunMode::kLoader);
}

// The NOR flow has no read, erase or update of its own: each says so and
// leaves the chip alone rather than answering success.
TEST_F(NorFlowTest, ReadEraseAndUpdateAreNotSupported) {
  Prepare(sim::MemoryKind::kNor, true);
  MarkWire();
  for (auto slot : {&CDevFlow::DEV_Read, &CDevFlow::DEV_Erase, &CDevFlow::DEV_Update}) {
    SetLastStatus(0);
    EXPECT_EQ((flow->*slot)(), 0);
    EXPECT_EQ(LastStatus(), msg::kNotSupport);
  }
  EXPECT_TRUE(WireCommands().empty());
  EXPECT_TRUE(std::equal(old.begin(), old.end(), Flash().begin()));
}

struct KindCase {
  const char* name;
  sim::MemoryKind chip;
  bool norProfile;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class FlashKindTest : public NorFlowTest, public ::testing::WithParamInterface<KindCase> {};

// A chip whose memory the chosen flow cannot program is refused before the
// ROM entry: its image stays and runs.
TEST_P(FlashKindTest, OtherFlashKindIsRefusedBeforeTheErase) {
  const KindCase& c = GetParam();
  const std::string path = Prepare(c.chip, c.norProfile);
  RecordingWindow window;
  SetMainWindow(&window);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kFirmwareNotForDevice);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  const auto commands = WireCommands();
  EXPECT_TRUE(std::none_of(commands.begin(), commands.end(), [](const auto& w) {
    return w.op == OpText(sim::Op::kResetToUpdate) || w.op == OpText(sim::Op::kResetToRom) ||
           w.op == OpText(sim::Op::kNorErase) || w.op == OpText(sim::Op::kSpiEraseChip) ||
           w.op == OpText(sim::Op::kSpiWrite) || w.op == OpText(sim::Op::kNorWrite);
  }));
  EXPECT_TRUE(std::equal(old.begin(), old.end(), Flash().begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FlashKindTest,
                         ::testing::Values(KindCase{"NorChipUnderTheSpiFlow", sim::MemoryKind::kNor, false},
                                           KindCase{"SpiChipUnderTheNorFlow", sim::MemoryKind::kSpi, true}),
                         [](const auto& info) { return std::string(info.param.name); });

class OversizeTest : public NorFlowTest, public ::testing::WithParamInterface<KindCase> {};

// An image longer than the flash is refused by the download itself, before any
// command reaches the chip.
TEST_P(OversizeTest, ImageLargerThanTheCodeMemoryIsRefused) {
  const KindCase& c = GetParam();
  Prepare(c.chip, c.norProfile);
  ASSERT_EQ(flow->DEV_ParseImage(file), 1);
  flow->chip.image.fileData = file;
  flow->chip.image.fileData.resize(0x20000, 0x5A);
  RecordingWindow window;
  SetMainWindow(&window);
  MarkWire();
  EXPECT_EQ(flow->DEV_Download(), 0);
  EXPECT_EQ(LastStatus(), msg::kFirmwareNotForDevice);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  EXPECT_TRUE(WireCommands().empty());
  EXPECT_TRUE(std::equal(old.begin(), old.end(), Flash().begin()));
}

INSTANTIATE_TEST_SUITE_P(Flows, OversizeTest,
                         ::testing::Values(KindCase{"Spi", sim::MemoryKind::kSpi, false},
                                           KindCase{"Nor", sim::MemoryKind::kNor, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Check empty, write and read-back each raise the piece size to 64 with the
// chip's GET_LEN answer and put it back to 8.
TEST_F(NorFlowTest, BulkPhasesGoIn64BytePiecesAndEndAt8) {
  const std::string path = Prepare(sim::MemoryKind::kNor, true);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  ExpectBulkPhases(3, *chip);
}

}  // namespace
}  // namespace quillon
