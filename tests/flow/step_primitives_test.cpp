// The step primitives on a simulated chip: the step id each posts, the command
// it sends per 4096-byte chunk, its progress band, and how often it tries a
// command the chip refuses.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "flow/dev_flow.h"
#include "flow/status.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

using testing::OpText;

using testing::FlowFixture;
using testing::IsCommandBlock;
using testing::RecordingWindow;

constexpr std::uint32_t kLength = 10000;  // two whole chunks and a short one

struct StepCase {
  const char* name;
  sim::MemoryKind memory;
  std::function<int(CDevFlow&, std::vector<std::uint8_t>&)> run;
  std::uint32_t stepId;  // 0: posts none
  std::string op;        // the command block the step sends
  int attempts;
  bool chunked;
  std::uint32_t base, span;  // chunked: base + done * span / total; else base at the end (0: none)
};
// Listings and failures name the case, not its bytes.
void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class StepPrimitiveTest : public FlowFixture, public ::testing::WithParamInterface<StepCase> {
 protected:
  void SetUp() override {
    FlowFixture::SetUp();
    AddChipWith({.memory = GetParam().memory}, {});
    OpenFirst();
    SetMainWindow(&window);
    MarkWire();
  }
  void TearDown() override {
    SetMainWindow(nullptr);
    FlowFixture::TearDown();
  }
  std::vector<testing::WireCommand> CommandsOf(const std::string& op) {
    std::vector<testing::WireCommand> out;
    for (const auto& c : WireCommands()) {
      if (c.op == op) out.push_back(c);
    }
    return out;
  }
  RecordingWindow window;
};

TEST_P(StepPrimitiveTest, PostsItsStepAndItsBandAndSendsItsCommandPerChunk) {
  const StepCase& c = GetParam();
  std::vector<std::uint8_t> buffer(kLength, 0xFF);
  EXPECT_EQ(c.run(*flow, buffer), 1);

  std::vector<std::pair<std::uint32_t, std::uint32_t>> expected;
  if (c.stepId != 0) expected.push_back({WM_FLOW_STEP, c.stepId});
  if (c.chunked) {
    for (std::uint32_t done : {4096u, 8192u, kLength}) {
      expected.push_back(
          {WM_FLOW_PROGRESS, c.base + static_cast<std::uint32_t>(std::uint64_t{done} * c.span / kLength)});
    }
  } else if (c.base != 0) {
    expected.push_back({WM_FLOW_PROGRESS, c.base});
  }
  EXPECT_EQ(window.posts, expected);

  const auto commands = CommandsOf(c.op);
  if (c.chunked) {
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1].address, 4096u);
    EXPECT_EQ(commands[2].address, 8192u);
    EXPECT_EQ(commands[2].length, kLength - 8192);
  } else {
    EXPECT_EQ(commands.size(), 1u);
  }
}

TEST_P(StepPrimitiveTest, TriesARefusedCommandItsNumberOfTimes) {
  const StepCase& c = GetParam();
  int refused = 0;
  hookBus->hook = [&](testing::HookBus&, UsbHandle, const SetupPacket& s,
                      std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (!IsCommandBlock(s) || d.size() < 8) return std::nullopt;
    char op[5];
    std::snprintf(op, sizeof op, "%02x%02x", d[0], d[1]);
    if (op != c.op) return std::nullopt;
    ++refused;
    return TransferResult{31, 0};
  };
  std::vector<std::uint8_t> buffer(kLength, 0xFF);
  EXPECT_EQ(c.run(*flow, buffer), 0);
  hookBus->hook = nullptr;
  EXPECT_EQ(refused, c.attempts) << "the first chunk only";
}

using Buffer = std::vector<std::uint8_t>;
const StepCase kStepCases[] = {
    {"EraseSPIFlash", sim::MemoryKind::kSpi, [](CDevFlow& f, Buffer&) { return f.MP_EraseSPIFlash(); },
     msg::kStepErasing, OpText(sim::Op::kSpiEraseChip), 3, false, 5, 0},
    {"CheckSPIFlashEmpty", sim::MemoryKind::kSpi, [](CDevFlow& f, Buffer& b) { return f.MP_CheckSPIFlashEmpty(b); },
     msg::kStepCheckEmpty, OpText(sim::Op::kSpiRead), 8, true, 5, 30},
    {"WriteSPIFlash", sim::MemoryKind::kSpi, [](CDevFlow& f, Buffer& b) { return f.MP_WriteSPIFlash(b); },
     msg::kStepDownload, OpText(sim::Op::kSpiWrite), 8, true, 35, 30},
    {"VerifySPIFlash", sim::MemoryKind::kSpi, [](CDevFlow& f, Buffer& b) { return f.MP_VerifySPIFlash(b); },
     msg::kStepVerify, OpText(sim::Op::kSpiRead), 8, true, 65, 30},
    {"ReadSPIFlash", sim::MemoryKind::kSpi, [](CDevFlow& f, Buffer& b) { return f.MP_ReadSPIFlash(b); }, msg::kStepRead,
     OpText(sim::Op::kSpiRead), 8, true, 10, 80},
    {"EraseNorFlash", sim::MemoryKind::kNor, [](CDevFlow& f, Buffer&) { return f.MP_EraseNorFlash(); }, 0,
     OpText(sim::Op::kNorErase), 3, false, 30, 0},
    {"CheckNorFlashEmpty", sim::MemoryKind::kNor, [](CDevFlow& f, Buffer& b) { return f.MP_CheckNorFlashEmpty(b); },
     msg::kStepCheckEmpty, OpText(sim::Op::kSpiRead), 8, true, 30, 20},
    {"WriteNorFlash", sim::MemoryKind::kNor, [](CDevFlow& f, Buffer& b) { return f.MP_WriteNorFlash(b); },
     msg::kStepDownload, OpText(sim::Op::kNorWrite), 8, true, 50, 20},
    {"VerifyNorFlash", sim::MemoryKind::kNor, [](CDevFlow& f, Buffer& b) { return f.MP_VerifyNorFlash(b); },
     msg::kStepVerify, OpText(sim::Op::kSpiRead), 8, true, 70, 20},
    {"WriteNorTag", sim::MemoryKind::kNor, [](CDevFlow& f, Buffer&) { return f.MP_WriteNorTag(); }, msg::kStepWriteTag,
     OpText(sim::Op::kNorWriteTag), 3, false, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Steps, StepPrimitiveTest, ::testing::ValuesIn(kStepCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
