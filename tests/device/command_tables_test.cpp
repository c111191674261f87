// The pure pieces of the command layer: command blocks, failure texts, status
// names, vendor-request packing, the reset plan and string descriptors.
#include <gtest/gtest.h>

#include <set>

#include "device/chip_mode.h"
#include "device/reset_plan.h"
#include "device/string_descriptor.h"
#include "device/vendor_requests.h"
#include "device/xu_commands.h"

namespace quillon {
namespace {

TEST(CommandBlockTest, ParametersLandLittleEndianOverTheTemplate) {
  EXPECT_EQ(BuildCommandBlock(kStatusPieceBlock, 12), (CommandBlock{0x00, 0xCD, 0x0C, 0x00, 0x08, 0x00, 0x00, 0x00}));
  // Only the given fields change.
  EXPECT_EQ(BuildCommandBlock(kQualifyBlock, std::nullopt, std::nullopt, 0x1234),
            (CommandBlock{0x00, 0xD0, 0x00, 0x00, 0x08, 0x00, 0x34, 0x12}));
}

// The address-form column decides which arguments fill which field.
TEST(CommandBlockTest, EachFormFillsItsFields) {
  struct Case {
    VendorOp op;
    std::uint32_t at, length;
    std::uint16_t extra;
    CommandBlock expected;
  };
  const Case cases[] = {
      {VendorOp::kSpiRead, 0x12345, 16, 0, {0x02, 0xC2, 0x45, 0x23, 0x10, 0x00, 0x01, 0x00}},
      {VendorOp::kSpiEraseSector, 0x1000, 0, 0, {0x02, 0x05, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00}},
      {VendorOp::kEep16Write, 0x18000, 0x8000, 0, {0x02, 0x91, 0x00, 0x80, 0x00, 0x80, 0x01, 0x00}},
      // A 16-bit address space keeps only the low half.
      {VendorOp::kReadMem, 0x18000, 0x8000, 0, {0x00, 0xC2, 0x00, 0x80, 0x00, 0x80, 0x00, 0x00}},
      // One command per byte: the template's length of 1 stays.
      {VendorOp::kReadPhy, 0xFE21, 3, 0, {0x00, 0xCC, 0x21, 0xFE, 0x01, 0x00, 0x00, 0x00}},
      {VendorOp::kI2CSuperRead, 0x50, 4, 0, {0x00, 0xF2, 0x50, 0x00, 0x04, 0x00, 0x00, 0x00}},
      {VendorOp::kI2CLongRead, 0x8010, 64, 0x50, {0x00, 0xF0, 0x10, 0x80, 0x40, 0x00, 0x50, 0x00}},
      {VendorOp::kOtpWrite, 0x0200, 0x20, 8, {0x02, 0x97, 0x00, 0x02, 0x20, 0x00, 0x08, 0x00}},
      {VendorOp::kOtpAllBlankCheck, 0x0100, 0x4000, 0, {0x02, 0xDF, 0x00, 0x01, 0x08, 0x00, 0x00, 0x40}},
      {VendorOp::kGetDevStatus, 12, 0, 0, {0x00, 0xCD, 0x0C, 0x00, 0x08, 0x00, 0x00, 0x00}},
      {VendorOp::kResetToUpdateFW, 1, 0, 0, {0x00, 0x07, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {VendorOp::kResetToRom, 5, 0, 0, {0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {VendorOp::kChangeDataControlSize, 0, 64, 0, {0x00, 0x16, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00}},
      {VendorOp::kOtpReadProgramFailAdr, 0, 8, 0, {0x02, 0xDC, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00}},
      {VendorOp::kAbort, 0, 0, 0, {0xFF, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CommandFor(c.op, c.at, c.length, c.extra), c.expected) << XuCommand(c.op).lockName;
  }
}

// One operation list, one row per operation in each transport's table.
TEST(CommandTableTest, EachTransportHasOneRowPerOperationItCarries) {
  const std::set<VendorOp> xuLacks = {VendorOp::kExtMemRead, VendorOp::kExtMemWrite, VendorOp::kReadRequest6Byte,
                                      VendorOp::kSendRequest10};
  const std::set<VendorOp> vendorLacks = {VendorOp::kEep8Erase,
                                          VendorOp::kEep16Erase,
                                          VendorOp::kI2CReadSlave,
                                          VendorOp::kI2CWriteSlave,
                                          VendorOp::kI2CSuperRead,
                                          VendorOp::kI2CSuperWrite,
                                          VendorOp::kI2CLongRead,
                                          VendorOp::kI2CLongWrite,
                                          VendorOp::kOtpWrite,
                                          VendorOp::kOtpRead,
                                          VendorOp::kOtpBlankCheck,
                                          VendorOp::kOtpAllBlankCheck,
                                          VendorOp::kOtpReadProgramFailAdr,
                                          VendorOp::kOtpTestDec,
                                          VendorOp::kOtpWriteTest,
                                          VendorOp::kChangeDataControlSize,
                                          VendorOp::kDevQualify,
                                          VendorOp::kAbort};
  for (std::size_t i = 0; i < kOpCount; ++i) {
    const auto op = static_cast<VendorOp>(i);
    EXPECT_EQ(XuCarries(op), !xuLacks.contains(op)) << i;
    EXPECT_EQ(VendorCarries(op), !vendorLacks.contains(op)) << i;
    if (XuCarries(op)) {
      EXPECT_EQ(XuCommand(op).op, op);
    }
    if (VendorCarries(op)) {
      EXPECT_EQ(VendorRequest(op).op, op);
    }
  }
}

TEST(CommandTableTest, OpcodesSayTheDataDirection) {
  for (const XuCommandRow& row : kXuCommands) {
    if (!HasDataPhase(row.block)) {
      EXPECT_TRUE(row.dataText.empty()) << row.lockName;
    }
  }
  EXPECT_TRUE(DataToHost(XuCommand(VendorOp::kReadMem).block));
  EXPECT_FALSE(DataToHost(XuCommand(VendorOp::kWriteMem).block));
  EXPECT_FALSE(HasDataPhase(XuCommand(VendorOp::kSpiEraseChip).block));
}

TEST(FailureTextTest, DataTextCarriesItsValue) {
  struct Case {
    VendorOp op;
    std::uint32_t base, done;
    const char* text;
  };
  const Case cases[] = {
      {VendorOp::kReadMem, 0x1000, 0x18, "ReadMem GetData 0x1018"},
      {VendorOp::kI2CLongWrite, 0x8010, 0x40, "I2CLongWrite SetData 0x8050"},
      {VendorOp::kI2CReadSlave, 0x50, 8, "I2CRead GetData SlaveAddr=0x50"},
      {VendorOp::kI2CGenRead, 0, 0x10, "I2CGenRead GetData Addr=0x10"},
      {VendorOp::kI2CSuperWrite, 0x50, 8, "I2CSuperWrite SetData SlaveAddr=0x58"},
      {VendorOp::kOtpRead, 0, 0x20, "OTPRead GetData 0x20"},
      {VendorOp::kSpiWrite, 0x1000, 8, ""},
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
      {0x12345, 16, 3, 0x0103, 0x2345, 16},          {0x1F000, 0x1000, 0, 0x0100, 0xF000, 0x1000},
      {0x20000, 0x1000, 0, 0x0200, 0x0000, 0x1000},  {0xFE21, 2, 0, 0x0000, 0xFE21, 2},
      {0x00000, 0x30000, 0, 0x3000, 0x0000, 0x0000}, {0xFFFFF, 0xFFFFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF},
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

// The three readers of the mode pair: discovery (FF FF on failure, family bits),
// the steps (00 00, family bits) and the reset (FF FF, b0 whole).
TEST(ChipModeTest, ReadingByFailureFillAndBits) {
  struct Case {
    const char* what;
    bool answers;
    std::array<std::uint8_t, 2> chip;
    std::uint8_t failedAs;
    ChipModeBits bits;
    std::array<std::uint8_t, 2> raw;
    std::uint16_t value;
  };
  const Case cases[] = {
      {"family of a variant", true, {0x13, 0xB0}, 0xFF, ChipModeBits::kFamily, {0x13, 0xB0}, 0xB010},
      {"variant kept", true, {0x13, 0xB0}, 0xFF, ChipModeBits::kVariant, {0x13, 0xB0}, 0xB013},
      {"b1 low nibble dropped", true, {0x10, 0x7F}, 0x00, ChipModeBits::kVariant, {0x10, 0x7F}, 0x7010},
      {"failed read, discovery", false, {0x13, 0xB0}, 0xFF, ChipModeBits::kFamily, {0xFF, 0xFF}, 0xF0F0},
      {"failed read, reset", false, {0x13, 0xB0}, 0xFF, ChipModeBits::kVariant, {0xFF, 0xFF}, 0xF0FF},
      {"failed read, step", false, {0x13, 0xB0}, 0x00, ChipModeBits::kFamily, {0x00, 0x00}, 0x0000},
  };
  for (const Case& c : cases) {
    // A failing transfer may still have written part of the buffer; the fill must win.
    const auto read = [&](std::span<std::uint8_t> out) {
      out[0] = c.chip[0];
      if (c.answers) out[1] = c.chip[1];
      return c.answers;
    };
    const ChipModeReading mode = ReadChipModeWith(read, c.failedAs, c.bits);
    EXPECT_EQ(mode.raw, c.raw) << c.what;
    EXPECT_EQ(mode.value, c.value) << c.what;
    EXPECT_EQ(mode.RawWord(), static_cast<std::uint16_t>(c.raw[1] << 8 | c.raw[0])) << c.what;
  }
}

TEST(ResetPlanTest, ReopenKind) {
  EXPECT_TRUE(NeedsExtraWait(0xB013));
  EXPECT_TRUE(NeedsExtraWait(0xB014));
  EXPECT_FALSE(NeedsExtraWait(0xB010));
  EXPECT_EQ(ReopenKind(DeviceKind::kAudio, ResetCode::kToUpdateFW, 0x0010), DeviceKind::kCamera);
  EXPECT_EQ(ReopenKind(DeviceKind::kAudio, ResetCode::kToUpdateFW, 0xB010), DeviceKind::kAudio);
  EXPECT_EQ(ReopenKind(DeviceKind::kAudio, ResetCode::kToRom, 0x0010), DeviceKind::kAudio);
  EXPECT_EQ(ReopenKind(DeviceKind::kCamera, ResetCode::kToRom, 0xB010), DeviceKind::kCamera);
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
