// The pure pieces of the command layer: command blocks, failure texts, status
// names, vendor-request packing, the reset plan and string descriptors.
#include <gtest/gtest.h>

#include "device/reset_plan.h"
#include "device/string_descriptor.h"
#include "device/vendor_requests.h"
#include "device/xu_commands.h"

namespace quillon {
namespace {

TEST(CommandBlockTest, ParametersLandLittleEndianOverTheTemplate) {
  struct Case {
    XuOp op;
    std::optional<std::uint16_t> p1, p2, p3;
    CommandBlock expected;
  };
  const Case cases[] = {
      {XuOp::kSpiRead, 0x2345, 16, 0x0001, {0x02, 0xC2, 0x45, 0x23, 0x10, 0x00, 0x01, 0x00}},
      {XuOp::kSpiEraseSector, 0x1000, 0, 0, {0x02, 0x05, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00}},
      // Only the given fields change: the template's length byte stays.
      {XuOp::kReadPhy, 0xFE21, {}, {}, {0x00, 0xCC, 0x21, 0xFE, 0x01, 0x00, 0x00, 0x00}},
      {XuOp::kI2CSuperRead, 0x50, 4, {}, {0x00, 0xF2, 0x50, 0x00, 0x04, 0x00, 0x00, 0x00}},
      {XuOp::kOtpAllBlankCheck, 0x0100, 8, 0x4000, {0x02, 0xDF, 0x00, 0x01, 0x08, 0x00, 0x00, 0x40}},
      {XuOp::kAbort, {}, {}, {}, {0xFF, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildCommandBlock(XuCommand(c.op).block, c.p1, c.p2, c.p3), c.expected) << static_cast<int>(c.op);
  }
}

TEST(CommandTableTest, RowsAreInOrderAndOpcodesSayTheDataDirection) {
  for (std::size_t i = 0; i < kXuCommands.size(); ++i) {
    const XuCommandRow& row = kXuCommands[i];
    EXPECT_EQ(static_cast<std::size_t>(row.op), i);
    if (!HasDataPhase(row.block)) {
      EXPECT_TRUE(row.dataText.empty()) << row.lockName;
    }
  }
  EXPECT_TRUE(DataToHost(XuCommand(XuOp::kReadMem).block));
  EXPECT_FALSE(DataToHost(XuCommand(XuOp::kWriteMem).block));
  EXPECT_FALSE(HasDataPhase(XuCommand(XuOp::kSpiEraseChip).block));
  for (std::size_t i = 0; i < kVendorRequests.size(); ++i) EXPECT_EQ(static_cast<std::size_t>(kVendorRequests[i].op), i);
}

TEST(FailureTextTest, DataTextCarriesItsValue) {
  struct Case {
    XuOp op;
    std::uint32_t base, done;
    const char* text;
  };
  const Case cases[] = {
      {XuOp::kReadMem, 0x1000, 0x18, "ReadMem GetData 0x1018"},
      {XuOp::kI2CLongWrite, 0x8010, 0x40, "I2CLongWrite SetData 0x8050"},
      {XuOp::kI2CReadSlave, 0x50, 8, "I2CRead GetData SlaveAddr=0x50"},
      {XuOp::kI2CGenRead, 0, 0x10, "I2CGenRead GetData Addr=0x10"},
      {XuOp::kI2CSuperWrite, 0x50, 8, "I2CSuperWrite SetData SlaveAddr=0x58"},
      {XuOp::kOtpRead, 0, 0x20, "OTPRead GetData 0x20"},
      {XuOp::kSpiWrite, 0x1000, 8, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DataFailureText(XuCommand(c.op), c.base, c.done), c.text);
}

TEST(StatusNameTest, KnownCodesAndTheRest) {
  EXPECT_EQ(StatusCodeName(0), "VCMD_STS_CMD");
  EXPECT_EQ(StatusCodeName(7), "VCMD_STS_ERR_OUTRANGE");
  EXPECT_EQ(StatusCodeName(9), "VCMD_STS_HW_ERR");
  EXPECT_EQ(StatusCodeName(0xFE), "VCMD_STS_RET_NO_ERR");
  for (std::uint8_t code : {0x0A, 0x0C, 0xFD, 0xFF}) {
    EXPECT_EQ(StatusCodeName(code), "Undefined ExtUnit error code\n") << int(code);
  }
}

TEST(VendorPackingTest, TwentyBitAddressesAndLengths) {
  struct Case {
    std::uint32_t address, length;
    std::uint8_t selector;
    std::uint16_t wValue, wIndex, wLength;
  };
  const Case cases[] = {
      {0x12345, 16, 3, 0x0103, 0x2345, 16},
      {0x1F000, 0x1000, 0, 0x0100, 0xF000, 0x1000},
      {0x20000, 0x1000, 0, 0x0200, 0x0000, 0x1000},
      {0xFE21, 2, 0, 0x0000, 0xFE21, 2},
      {0x00000, 0x30000, 0, 0x3000, 0x0000, 0x0000},
      {0xFFFFF, 0xFFFFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF},
  };
  for (const Case& c : cases) {
    VendorFields f = PackGeneral(c.address, c.length, c.selector);
    EXPECT_EQ(f.wValue, c.wValue) << std::hex << c.address;
    EXPECT_EQ(f.wIndex, c.wIndex) << std::hex << c.address;
    EXPECT_EQ(f.wLength, c.wLength) << std::hex << c.address;
  }
  EXPECT_TRUE(FitsOneRequest(0xFFFFF, 0xFFFF));
  EXPECT_FALSE(FitsOneRequest(0x100000, 1));
  EXPECT_FALSE(FitsOneRequest(0, 0x10000));
}

TEST(ResetPlanTest, ValueRulesAndFastMode) {
  struct Case {
    const char* what;
    std::uint16_t value;
    bool forceUnit;
    int unitId;
    std::uint32_t vr6, vt;
    ResetValuePlan expected;
  };
  const Case cases[] = {
      {"vendor, value 2: fast, checked as 1", 2, false, 3, 0, 1, {2, 1, true, 0, 1}},
      {"unit only, value 0 goes as 1", 0, false, 3, 0, 0, {1, 0, false, 0, 0}},
      {"unit only, value 1 goes as 0", 1, false, 3, 0, 0, {0, 1, false, 0, 0}},
      {"unit only, value 2 is not swapped", 2, false, 3, 0, 0, {2, 1, true, 0, 0}},
      {"value 5 is fast", 5, false, 3, 0, 1, {5, 5, true, 0, 1}},
      {"request 6 keeps 0", 0, false, 3, 1, 0, {0, 0, false, 1, 0}},
      {"forced unit drops the vendor transports", 0, true, 3, 0, 1, {1, 0, false, 0, 0}},
      {"forced without a unit keeps them", 0, true, 0, 0, 1, {0, 0, false, 0, 1}},
  };
  for (const Case& c : cases) {
    ResetValuePlan p = PlanResetValue(c.value, c.forceUnit, c.unitId, c.vr6, c.vt);
    EXPECT_EQ(p.sent, c.expected.sent) << c.what;
    EXPECT_EQ(p.later, c.expected.later) << c.what;
    EXPECT_EQ(p.fast, c.expected.fast) << c.what;
    EXPECT_EQ(p.vendorRequest6, c.expected.vendorRequest6) << c.what;
    EXPECT_EQ(p.vendorTransport, c.expected.vendorTransport) << c.what;
  }
}

TEST(ResetPlanTest, ChipModeAndReopenKind) {
  EXPECT_EQ(ChipModeFromBytes(0x13, 0xB0), 0xB013);
  EXPECT_EQ(ChipModeFromBytes(0x10, 0x7F), 0x7010);
  EXPECT_EQ(ChipModeFromBytes(0xFF, 0xFF), 0xF0FF);
  EXPECT_TRUE(NeedsExtraWait(0xB013));
  EXPECT_TRUE(NeedsExtraWait(0xB014));
  EXPECT_FALSE(NeedsExtraWait(0xB010));
  EXPECT_EQ(ReopenKind(DeviceKind::kAudio, kResetToUpdateFW, 0x0010), DeviceKind::kCamera);
  EXPECT_EQ(ReopenKind(DeviceKind::kAudio, kResetToUpdateFW, 0xB010), DeviceKind::kAudio);
  EXPECT_EQ(ReopenKind(DeviceKind::kAudio, kResetToRom, 0x0010), DeviceKind::kAudio);
  EXPECT_EQ(ReopenKind(DeviceKind::kCamera, kResetToRom, 0xB010), DeviceKind::kCamera);
}

TEST(StringDescriptorTest, TextWithinTheDescriptorsOwnLength) {
  const std::uint8_t kestran[] = {16, 3, 'K', 0, 'E', 0, 'S', 0, 'T', 0, 'R', 0, 'A', 0, 'N', 0, 'X', 0};
  EXPECT_EQ(StringDescriptorText(kestran), "KESTRAN");
  const std::uint8_t accented[] = {6, 3, 0xE9, 0x00, 0x3D, 0xD8};  // é and a lone surrogate
  EXPECT_EQ(StringDescriptorText(accented), "\xC3\xA9\xEF\xBF\xBD");
  const std::uint8_t shortAnswer[] = {40, 3, 'Q', 0, 'S'};  // fewer bytes than bLength says
  EXPECT_EQ(StringDescriptorText(shortAnswer), "Q");
  const std::uint8_t notAString[] = {4, 2, 'x', 0};
  EXPECT_EQ(StringDescriptorText(notAString), "");
}

}  // namespace
}  // namespace quillon
