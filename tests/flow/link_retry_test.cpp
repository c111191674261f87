// A transfer lost on the link, at the steps around the data: once, it is sent
// again and the write passes with the chip right; for good, the run fails at
// that step and names the operation, the step and the USB error.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include "flow/command_line_binding.h"
#include "flow/status.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

using testing::FlowFixture;
using testing::IsCommandBlock;
using testing::OpText;
using testing::OperationOf;

struct LostTransfer {
  const char* name;
  sim::Transport transport;
  std::string op;          // the operation whose transfer is lost
  int after;               // ... after this many of its transfers went through
  std::uint32_t length;    // ... only a command of this length (0: any)
  // The run's status when it is lost for good, and how the failure line names
  // it; 0 for a transfer the write can do without (it passes all the same).
  std::uint32_t failedId;
  const char* logged;  // operation and address
  const char* step;
};
void PrintTo(const LostTransfer& c, std::ostream* os) { *os << c.name; }

class LinkRetryTest : public FlowFixture, public ::testing::WithParamInterface<LostTransfer> {
 protected:
  void TearDown() override {
    hookBus->hook = nullptr;
    SetMainWindow(nullptr);
    FlowFixture::TearDown();
  }

  std::string Prepare(sim::Transport transport) {
    image = MakeImage("tq7704");
    chip = &AddChipWith({.transport = transport, .ic = sim::IcFamily::kTq7704}, image);
    const std::string path = WriteImageFile("tq7704.rfw", image);
    OpenFirst();
    EXPECT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    return path;
  }

  // Counts the case's transfers; from the `after`-th on, `lose` of them fail with 31.
  void Watch(const LostTransfer& c, int lose) {
    seen = 0;
    hookBus->hook = [this, &c, lose](testing::HookBus&, UsbHandle, const SetupPacket& s,
                                     std::span<std::uint8_t> d) -> std::optional<TransferResult> {
      if (OperationOf(s, d) != c.op) return std::nullopt;
      if (c.length != 0 && IsCommandBlock(s) && d.size() >= 6 && std::uint32_t{d[4]} + (d[5] << 8u) != c.length) {
        return std::nullopt;
      }
      const int n = seen++;
      if (lose > 0 && n >= c.after && n < c.after + lose) return TransferResult{31, 0};
      return std::nullopt;
    };
  }

  bool FlashHoldsTheImage() const {
    const auto flash = chip->state().memory.bytes();
    return flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
  }

  std::vector<std::uint8_t> image;
  sim::SimChip* chip = nullptr;
  int seen = 0;
};

TEST_P(LinkRetryTest, OneLostTransferIsSentAgainAndTheWritePasses) {
  const LostTransfer& c = GetParam();
  const std::string path = Prepare(c.transport);
  Watch(c, 0);
  ASSERT_EQ(flow->DEV_RunCommand('W', path), 1);
  const int clean = seen;
  ASSERT_GT(clean, c.after) << "the run without a fault never reaches the faulted transfer";

  Watch(c, 1);
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_EQ(seen, clean + 1) << "the lost transfer went once more, nothing else of its kind";
  EXPECT_TRUE(FlashHoldsTheImage());
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

TEST_P(LinkRetryTest, ALinkThatStaysDownFailsTheRunAndNamesTheStep) {
  const LostTransfer& c = GetParam();
  const std::string path = Prepare(c.transport);
  Watch(c, 1000);
  ::testing::internal::CaptureStderr();
  const int result = flow->DEV_RunCommand('W', path);
  const std::string err = ::testing::internal::GetCapturedStderr();
  if (c.failedId == 0) {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(LastStatus(), 0u);
    EXPECT_TRUE(FlashHoldsTheImage());
    EXPECT_EQ(err.find("link failure"), std::string::npos) << err;
    return;
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(LastStatus(), c.failedId);
  const std::string line = std::string("quillon: link failure: ") + c.logged +
                           " failed with USB error 31 (stall or I/O error) in step \"" + c.step + "\"\n";
  EXPECT_NE(err.find(line), std::string::npos) << err;
}

const std::string kVendorRegisterRead = "vr25";
const std::string kVendorWriteSr = "vr31";

INSTANTIATE_TEST_SUITE_P(
    Steps, LinkRetryTest,
    // The step is the last one the run announced.
    ::testing::Values(
        // The running code's status, read for the mode; the mode register decides as well.
        LostTransfer{"StatusPiece", sim::Transport::kXu, OpText(sim::Op::kGetDevStatus), 0, 0, 0, "", ""},
        LostTransfer{"ProtectionPinWrite", sim::Transport::kXu, OpText(sim::Op::kWriteMem), 1, 0,
                     msg::kDisableWriteProtectFail, "WriteMem at 0xFEC0", "Wait device to reset"},
        LostTransfer{"ProtectionStatusWrite", sim::Transport::kXu, OpText(sim::Op::kSpiWriteSr), 0, 0,
                     msg::kDisableWriteProtectFail, "SPI_SF_WriteSr at 0x0", "Wait device to reset"},
        // Without the larger pieces the bulk phases move plain ones.
        LostTransfer{"DataSizeChange", sim::Transport::kXu, OpText(sim::Op::kSetDataSize), 0, 0, 0, "", ""},
        LostTransfer{"AreaSignature", sim::Transport::kXu, OpText(sim::Op::kSpiWrite), 0, 2, msg::kWriteTagFail,
                     "SPI_SF_Write at 0xF000", "Verify"},
        LostTransfer{"ResetToLoader", sim::Transport::kXu, OpText(sim::Op::kResetToUpdate), 0, 0,
                     msg::kResetDeviceFail, "reset to the loader and reopen at 0x0", "Wait device to reset"},
        // From the family read on, every register read is lost; the first is the cause.
        LostTransfer{"VendorProtectionPinRead", sim::Transport::kVendor, kVendorRegisterRead, 3, 0,
                     msg::kDisableWriteProtectFail, "vendor request 0x25 at 0xFE21", "Wait device to reset"},
        LostTransfer{"VendorProtectionWrite", sim::Transport::kVendor, kVendorWriteSr, 0, 0,
                     msg::kDisableWriteProtectFail, "vendor request 0x31 at 0x0", "Wait device to reset"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
