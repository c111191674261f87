// The bulk phases on the wire: each one raises the extension unit's piece size
// to 64 with its GET_LEN answer, moves its data in 64-byte pieces, and puts the
// size back to 8 however it ends; a chip left at 64 is still reset and opened.
#include <gtest/gtest.h>

#include <ostream>

#include <cstdio>

#include "device/cam_dev.h"
#include "flow/bulk_phase.h"
#include "flow/command_line_binding.h"
#include "flow/status.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

using testing::OpText;

using testing::FlowFixture;
using testing::HookBus;
using testing::IsCommandBlock;

constexpr const char* kRaise = "21 01 0a00 0300 0008 0016000040000000";
constexpr const char* kLower = "21 01 0a00 0300 0008 0016000008000000";

class BulkPhaseTest : public FlowFixture {
 protected:
  std::string Prepare(sim::ChipConfig config = {}) {
    config.ic = sim::IcFamily::kTq7704;
    auto bytes = MakeImage("tq7704");
    image = bytes;
    chip = &AddChipWith(config, bytes);
    const std::string path = WriteImageFile("tq7704.rfw", bytes);
    OpenFirst();
    EXPECT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    return path;
  }

  // The size changes, their GET_LEN answers and the flash commands, runs of
  // equal commands folded; `pieces` gets one entry per data piece: its length
  // and whether it moved inside a raised phase.
  struct Piece {
    unsigned length;
    bool raised;
  };
  std::vector<std::string> Handshakes(std::vector<Piece>* pieces = nullptr) {
    std::vector<std::string> out;
    bool raised = false;
    for (const std::string& line : WireLines()) {
      std::string token;
      if (line.rfind(kRaise, 0) == 0) {
        token = "raise";
        raised = true;
      } else if (line.rfind(kLower, 0) == 0) {
        token = "lower";
        raised = false;
      } else if (line.rfind("a1 85 0b00 0300 0002 ", 0) == 0) {
        token = "len " + std::to_string(std::stoul(line.substr(21, 2), nullptr, 16));
      } else if (line.rfind("21 01 0a00 0300 0008 02c2", 0) == 0) {
        token = "read";
      } else if (line.rfind("21 01 0a00 0300 0008 0282", 0) == 0) {
        token = "write";
      } else if (line.rfind("a1 81 0b00", 0) == 0 || line.rfind("21 01 0b00", 0) == 0) {
        if (pieces != nullptr) pieces->push_back({static_cast<unsigned>(std::stoul(line.substr(16, 4), nullptr, 16)), raised});
      }
      if (!token.empty() && (out.empty() || out.back() != token || token.rfind("len", 0) == 0)) out.push_back(token);
    }
    return out;
  }

  std::uint32_t UnitPieceSize() {
    auto* cam = dynamic_cast<CVxtCam*>(VxCam_CurrentDevice());
    return cam != nullptr && cam->extUnit() != nullptr ? cam->extUnit()->dataControlSize() : 0;
  }

  sim::SimChip* chip = nullptr;
  std::vector<std::uint8_t> image;
};

TEST_F(BulkPhaseTest, EachBulkPhaseRaisesTheSizeAndPutsItBack) {
  const std::string path = Prepare();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  std::vector<Piece> pieces;
  const std::vector<std::string> phase = {"raise", "len 64", "", "lower", "len 8"};
  std::vector<std::string> expected;
  for (const char* step : {"read", "write", "read"}) {
    for (const std::string& token : phase) expected.push_back(token.empty() ? step : token);
  }
  expected.push_back("write");  // the area signature, held back until after the read-back
  EXPECT_EQ(Handshakes(&pieces), expected);
  ASSERT_FALSE(pieces.empty());
  for (const Piece& p : pieces) EXPECT_EQ(p.length, p.raised ? 64u : 8u);
  EXPECT_EQ(chip->state().dataControlSize, 8);
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

TEST_F(BulkPhaseTest, ChipThatKeepsAnotherSizeIsUsedAtThatSize) {
  struct Case {
    const char* what;
    std::optional<std::uint16_t> reported;  // what GET_LEN answers, when not the chip's own
  };
  const Case cases[] = {
      {"the chip stays at 8", std::nullopt},
      {"the chip reports less than 8", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Prepare();
    MarkWire();
    // A chip that does not take 64: the request reaches it asking for a size it refuses.
    hookBus->hook = [&](HookBus& bus, UsbHandle h, const SetupPacket& s,
                        std::span<std::uint8_t> d) -> std::optional<TransferResult> {
      if (IsCommandBlock(s) && d.size() >= 8 && d[0] == 0x00 && d[1] == 0x16 && d[4] == 64) {
        std::array<std::uint8_t, 8> refused = {0x00, 0x16, 0, 0, 16, 0, 0, 0};
        return bus.Forward(h, s, refused);
      }
      if (s.bRequest == 0x85 && c.reported) {
        d[0] = static_cast<std::uint8_t>(*c.reported);
        d[1] = 0;
        return TransferResult{kUsbOk, 2};
      }
      return std::nullopt;
    };
    EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
    EXPECT_EQ(LastStatus(), 0u);
    std::vector<Piece> pieces;
    auto tokens = Handshakes(&pieces);
    EXPECT_EQ(std::count(tokens.begin(), tokens.end(), "lower"), 0) << "nothing to put back";
    for (const Piece& p : pieces) EXPECT_EQ(p.length, 8u);
    EXPECT_EQ(chip->state().memory.bytes()[0x100], image[0x100]);
    hookBus->hook = nullptr;
    flow->MP_CloseDevice();
    VxCam_CloseDevice();
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

struct PhaseFailure {
  const char* name;
  std::string op;        // the command block to refuse ("" for a data piece)
  int after;             // ... after this many of them went through
  std::uint32_t id;
};
void PrintTo(const PhaseFailure& c, std::ostream* out) { *out << c.name; }

class BulkPhaseFailureTest : public BulkPhaseTest, public ::testing::WithParamInterface<PhaseFailure> {};

// However a phase ends early, the unit and the chip are back at 8 pieces.
TEST_P(BulkPhaseFailureTest, SizeIsBackAtEightAfterTheFailure) {
  const PhaseFailure& c = GetParam();
  const std::string path = Prepare();
  int seen = 0;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s,
                      std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (c.op.empty()) {
      // From the n-th 64-byte piece to the chip on: inside the write's data phase, every retry.
      if (s.bmRequestType == 0x21 && s.wValue == 0x0B00 && s.wLength == 64 && ++seen >= c.after) {
        return TransferResult{31, 0};
      }
      return std::nullopt;
    }
    if (!IsCommandBlock(s) || d.size() < 8) return std::nullopt;
    char op[5];
    std::snprintf(op, sizeof op, "%02x%02x", d[0], d[1]);
    if (op != c.op || seen++ < c.after) return std::nullopt;
    return TransferResult{31, 0};
  };
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), c.id);
  hookBus->hook = nullptr;
  auto tokens = Handshakes();
  ASSERT_GE(tokens.size(), 2u);
  EXPECT_EQ(std::count(tokens.begin(), tokens.end(), "raise"), std::count(tokens.begin(), tokens.end(), "lower"));
  auto last = std::find_if(tokens.rbegin(), tokens.rend(), [](const std::string& t) { return t == "raise" || t == "lower"; });
  ASSERT_NE(last, tokens.rend());
  EXPECT_EQ(*last, "lower");
  ASSERT_NE(last, tokens.rbegin());
  EXPECT_EQ(*std::prev(last), "len 8");
  EXPECT_EQ(chip->state().dataControlSize, 8);
  EXPECT_EQ(UnitPieceSize(), 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, BulkPhaseFailureTest,
    ::testing::Values(PhaseFailure{"CheckEmpty", OpText(sim::Op::kSpiRead), 3, msg::kLinkFail},
                      PhaseFailure{"WriteCommand", OpText(sim::Op::kSpiWrite), 5, msg::kUpdateFlashFail},
                      PhaseFailure{"WritePiece", "", 100, msg::kUpdateFlashFail},
                      PhaseFailure{"ReadBack", OpText(sim::Op::kSpiRead), 20, msg::kReadFlashFail}),
    [](const auto& info) { return std::string(info.param.name); });

// The write phase fails and so does putting the size back: the chip is left at
// 64. The next write still resets it into its loader, finds it and programs it.
TEST_F(BulkPhaseTest, WriteAfterAPhaseLeftTheChipAt64ResetsAndReopensIt) {
  const std::string path = Prepare();
  hookBus->hook = [](HookBus&, UsbHandle, const SetupPacket& s,
                     std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (!IsCommandBlock(s) || d.size() < 8) return std::nullopt;
    const bool write = d[0] == 0x02 && d[1] == 0x82;
    const bool lower = d[0] == 0x00 && d[1] == 0x16 && d[4] == 8;
    if (write || lower) return TransferResult{31, 0};
    return std::nullopt;
  };
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kUpdateFlashFail);
  hookBus->hook = nullptr;
  ASSERT_EQ(chip->state().dataControlSize, 64) << "the fixture must leave the chip at 64";
  const std::uint32_t generation = chip->state().generation;

  SetLastStatus(0);
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_GT(chip->state().generation, generation);
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
  EXPECT_EQ(chip->state().dataControlSize, 8);
  auto flash = chip->state().memory.bytes();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0xEFFE, flash.begin()));
}

// A tool that ended inside a bulk phase leaves the chip at 64: the next one
// still qualifies and opens it, and puts it back at 8.
TEST_F(BulkPhaseTest, ChipLeftAt64ByAnEarlierRunOpens) {
  chip = &AddChipWith({.ic = sim::IcFamily::kTq7704}, MakeImage("tq7704"));
  chip->state().dataControlSize = 64;
  OpenFirst();
  EXPECT_NE(flow->chip.device.handle, 0u);
  EXPECT_EQ(chip->state().dataControlSize, 8);
  EXPECT_EQ(UnitPieceSize(), 8u);
  EXPECT_EQ(flow->chip.versionText.empty(), false);
}

// Where vendor requests carry the data nothing is raised.
TEST_F(BulkPhaseTest, VendorRequestsNeedNoSizeChange) {
  const std::string path = Prepare({.transport = sim::Transport::kBoth});
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  auto tokens = Handshakes();
  EXPECT_EQ(std::count(tokens.begin(), tokens.end(), "raise"), 0);
}

}  // namespace
}  // namespace quillon
