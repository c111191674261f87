// The memory of a chip that no image names: which answers name which memory,
// and the probe on simulated chips with a transfer lost at each of its
// questions, a link that comes back late, and one that stays down.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include "device/link_failure.h"
#include "flow/memory_probe.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

using testing::FlowFixture;
using testing::OpText;
using testing::OperationOf;

using Head = std::optional<std::array<std::uint8_t, 2>>;

TEST(MemoryNamedBy, OnlyAnAnswerDecides) {
  const Head none;
  const Head eeprom8Header{{0x11, 0xA5}};
  const Head eeprom16Header{{0x12, 0xA5}};
  const Head flashHeader{{0x30, 0xA5}};
  const Head blank{{0xFF, 0xFF}};
  struct Case {
    const char* name;
    MemoryAnswers answers;
    std::optional<MemoryType> named;
  };
  const Case cases[] = {
      {"16-bit header", {eeprom16Header, none, false}, MemoryType::Eeprom16},
      {"8-bit header", {none, eeprom8Header, false}, MemoryType::Eeprom8},
      // Both widths read something; the header says which one is right.
      {"8-bit header under both widths", {blank, eeprom8Header, false}, MemoryType::Eeprom8},
      {"blank, 16-bit alone", {blank, none, false}, MemoryType::Eeprom16},
      {"blank, 8-bit alone", {none, blank, false}, MemoryType::Eeprom8},
      {"flash status register", {none, none, true}, MemoryType::SpiFlash},
      // A flash-type header read under a width is no EEPROM header.
      {"both widths, no EEPROM header, flash", {flashHeader, blank, true}, MemoryType::SpiFlash},
      {"both widths, no EEPROM header", {flashHeader, blank, false}, std::nullopt},
      // Every question stalled: a chip without these memories, or a glitch.
      {"nothing answered", {none, none, false}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MemoryNamedBy(c.answers), c.named) << c.name;
  }
}

std::string OperationName(sim::Op op, sim::Transport transport) {
  if (transport != sim::Transport::kVendor) return OpText(op);
  for (const sim::VendorRequest& request : sim::kVendorRequests) {
    if (request.op != op) continue;
    char name[8];
    std::snprintf(name, sizeof name, "vr%02x", unsigned{request.bRequest});
    return name;
  }
  return "";
}

struct ProbeCase {
  const char* name;
  sim::MemoryKind memory;
  sim::Transport transport;
  std::vector<std::uint8_t> head;  // the memory's first bytes; empty: blank
  MemoryType named;
};
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

class MemoryProbeTest : public FlowFixture, public ::testing::WithParamInterface<ProbeCase> {
 protected:
  void SetUp() override {
    FlowFixture::SetUp();
    const ProbeCase& c = GetParam();
    AddChipWith({.transport = c.transport, .memory = c.memory}, c.head);
    OpenFirst();
  }
  void TearDown() override {
    hookBus->hook = nullptr;
    FlowFixture::TearDown();
  }

  // The flow as the batch mode has it before the probe: flash, no image.
  MemoryType Probe(bool& adopted) {
    SetCurrentMemoryType(MemoryType::SpiFlash);
    flow = RecreateFlow(true);
    adopted = AdoptProbedMemoryType();
    flow = TheFlow();
    return flow->memoryType();
  }

  // The first transfer of `op` from now on fails once with 31.
  void LoseFirst(const std::string& op) {
    hookBus->hook = [op, lost = false](testing::HookBus&, UsbHandle, const SetupPacket& s,
                                       std::span<std::uint8_t> d) mutable -> std::optional<TransferResult> {
      if (lost || OperationOf(s, d) != op) return std::nullopt;
      lost = true;
      return TransferResult{31, 0};
    };
  }

  std::ptrdiff_t CountOp(const std::string& op) {
    std::ptrdiff_t count = 0;
    hookBus->hook = [op, &count](testing::HookBus&, UsbHandle, const SetupPacket& s,
                                 std::span<std::uint8_t> d) -> std::optional<TransferResult> {
      if (OperationOf(s, d) == op) ++count;
      return std::nullopt;
    };
    bool adopted = false;
    Probe(adopted);
    hookBus->hook = nullptr;
    return count;
  }
};

TEST_P(MemoryProbeTest, EachMemoryIsNamedAndTheFlashIsAskedOnlyWhenNoEepromAnswered) {
  const ProbeCase& c = GetParam();
  bool adopted = false;
  EXPECT_EQ(Probe(adopted), c.named);
  EXPECT_TRUE(adopted);
  EXPECT_FALSE(PendingLinkFailure().has_value()) << "a refused width is the chip's answer, not a link failure";
  EXPECT_EQ(CountOp(OperationName(sim::Op::kSpiReadSr, c.transport)), c.named == MemoryType::SpiFlash ? 1 : 0);
}

TEST_P(MemoryProbeTest, AQuestionLostOnceIsAskedAgain) {
  const ProbeCase& c = GetParam();
  for (sim::Op op : {sim::Op::kEep16Read, sim::Op::kEep8Read, sim::Op::kSpiReadSr}) {
    const std::string name = OperationName(op, c.transport);
    SCOPED_TRACE(name);
    LoseFirst(name);
    bool adopted = false;
    EXPECT_EQ(Probe(adopted), c.named);
    EXPECT_TRUE(adopted);
  }
}

// Down for the probe's rounds and back for the register read after them: the
// round asked then decides, so an EEPROM is not taken for a chip without one.
TEST_P(MemoryProbeTest, ALinkBackAfterTheRoundsGetsOneMoreRound) {
  const ProbeCase& c = GetParam();
  const std::string registerRead = OperationName(sim::Op::kReadMem, c.transport);
  hookBus->hook = [registerRead, down = true](testing::HookBus&, UsbHandle, const SetupPacket& s,
                                             std::span<std::uint8_t> d) mutable -> std::optional<TransferResult> {
    if (OperationOf(s, d) == registerRead) down = false;
    return down ? std::optional<TransferResult>(TransferResult{31, 0}) : std::nullopt;
  };
  bool adopted = false;
  EXPECT_EQ(Probe(adopted), c.named);
  EXPECT_TRUE(adopted);
}

TEST_P(MemoryProbeTest, ALinkThatStaysDownFailsAsTheLinkFailure) {
  hookBus->hook = [](testing::HookBus&, UsbHandle, const SetupPacket&,
                     std::span<std::uint8_t>) -> std::optional<TransferResult> { return TransferResult{31, 0}; };
  ::testing::internal::CaptureStderr();
  bool adopted = true;
  Probe(adopted);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(adopted);
  EXPECT_EQ(LastStatus(), msg::kLinkFail);
  EXPECT_NE(err.find("quillon: link failure: "), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Chips, MemoryProbeTest,
    ::testing::Values(
        ProbeCase{"Eeprom8Xu", sim::MemoryKind::kEeprom8, sim::Transport::kXu, {0x11, 0xA5}, MemoryType::Eeprom8},
        ProbeCase{"Eeprom16Xu", sim::MemoryKind::kEeprom16, sim::Transport::kXu, {0x12, 0xA5}, MemoryType::Eeprom16},
        ProbeCase{"BlankEeprom8Xu", sim::MemoryKind::kEeprom8, sim::Transport::kXu, {}, MemoryType::Eeprom8},
        ProbeCase{"BlankEeprom16Xu", sim::MemoryKind::kEeprom16, sim::Transport::kXu, {}, MemoryType::Eeprom16},
        ProbeCase{"SpiXu", sim::MemoryKind::kSpi, sim::Transport::kXu, {0x30, 0xA5}, MemoryType::SpiFlash},
        ProbeCase{"Eeprom8Vendor", sim::MemoryKind::kEeprom8, sim::Transport::kVendor, {0x11, 0xA5},
                  MemoryType::Eeprom8},
        ProbeCase{"SpiVendor", sim::MemoryKind::kSpi, sim::Transport::kVendor, {}, MemoryType::SpiFlash}),
    [](const auto& info) { return std::string(info.param.name); });

// A chip with none of these memories (OTP) keeps the flash flow, whose own
// probe refuses it as the chip's answer, not as a link failure.
class OtpChipProbeTest : public FlowFixture {};

TEST_F(OtpChipProbeTest, KeepsTheFlashFlowWithoutALinkFailure) {
  AddChipWith({.memory = sim::MemoryKind::kOtp}, {});
  OpenFirst();
  EXPECT_TRUE(AdoptProbedMemoryType());
  EXPECT_EQ(TheFlow()->memoryType(), MemoryType::SpiFlash);
  EXPECT_FALSE(PendingLinkFailure().has_value());
  EXPECT_EQ(TheFlow()->DEV_RunCommand('E', ""), 0);
  EXPECT_EQ(LastStatus(), msg::kFirmwareNotForDevice);
}

}  // namespace
}  // namespace quillon
