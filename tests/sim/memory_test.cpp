// The memories' physics as the host sees them through the commands: flash
// erases to 0xFF and programming only clears bits; the status register
// protects, with its write-in-progress bit; EEPROM bytes are replaced; OTP is
// blank at 0x00, programming ORs, bad cells show in the program-fail report,
// and the lock bit refuses programming.
#include "sim/chip_model.h"
#include "sim_fixture.h"

namespace quillon::sim::testing {
namespace {

using Memories = SimFixture;

std::array<std::uint8_t, 8> OtpBlock(std::uint8_t opcode, std::uint16_t address, std::uint16_t length,
                                     std::uint16_t p3 = 0) {
  return {0x02, opcode, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(p3),
          static_cast<std::uint8_t>(p3 >> 8)};
}

TEST_F(Memories, BlankValueOfEachKind) {
  const std::pair<MemoryKind, std::uint8_t> cases[] = {
      {MemoryKind::kSpi, 0xFF}, {MemoryKind::kNor, 0xFF}, {MemoryKind::kEeprom8, 0xFF},
      {MemoryKind::kEeprom16, 0xFF}, {MemoryKind::kOtp, 0x00}};
  for (auto [kind, blank] : cases) {
    SimChip& chip = bus.AddChip({.memory = kind, .memorySize = 4096});
    const auto bytes = chip.state().memory.bytes();
    EXPECT_EQ(bytes.size(), kind == MemoryKind::kOtp ? 0x4000u : 4096u);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [blank](std::uint8_t b) { return b == blank; }));
  }
}

TEST_F(Memories, FlashProgrammingOnlyClearsBitsAndEraseSetsAll) {
  SimChip& chip = AddAndOpen();
  ASSERT_EQ(XuWrite(SpiBlock(0x82, 0x20, 2), {0xF0, 0x3C}), kUsbOk);
  ASSERT_EQ(XuWrite(SpiBlock(0x82, 0x20, 2), {0x0F, 0xFF}), kUsbOk);
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0x20, 2), 2), (std::vector<std::uint8_t>{0x00, 0x3C}));
  ASSERT_EQ(Command({0x02, 0x04, 0, 0, 0, 0, 0, 0}), kUsbOk);  // chip erase
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0x20, 2), 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
  EXPECT_FALSE(IsTagged(chip.state()));
}

TEST_F(Memories, ProtectedFlashRefusesProgramAndEraseUntilThePinIsReleased) {
  SimChip& chip = AddAndOpen();  // TQ7704: pin pair 0xFEC0 / 0xFEC6
  auto writeSr = [&](std::uint8_t value) { return XuWrite({0x02, 0x83, 0, 0, 1, 0, 0, 0}, {value}); };
  auto readSr = [&] { return XuRead({0x02, 0xC3, 0, 0, 1, 0, 0, 0}, 1).at(0); };

  ASSERT_EQ(writeSr(0x8C), kUsbOk);
  EXPECT_EQ(readSr() & 0x01, 0x01) << "write in progress right after a status write";
  clock.SleepMs(50);
  EXPECT_EQ(readSr(), 0x8C);
  EXPECT_TRUE(IsProtected(chip.state()));

  EXPECT_EQ(XuWrite(SpiBlock(0x82, 0, 1), {0x00}), kUsbErrorIo);
  EXPECT_EQ(Status(), kStsHwErr);
  EXPECT_EQ(Command({0x02, 0x04, 0, 0, 0, 0, 0, 0}), kUsbErrorIo);
  Abort();
  EXPECT_EQ(chip.state().memory.bytes()[0], 0xFF);

  // The register-protect bit holds the status register while the pin is active.
  ASSERT_EQ(writeSr(0x00), kUsbOk);
  clock.SleepMs(50);
  EXPECT_EQ(readSr(), 0x8C);
  ASSERT_EQ(WriteMem(0xFEC0, 0x01), kUsbOk);
  ASSERT_EQ(WriteMem(0xFEC6, 0x01), kUsbOk);
  ASSERT_EQ(writeSr(0x00), kUsbOk);
  clock.SleepMs(50);
  EXPECT_EQ(readSr(), 0x00);
  EXPECT_EQ(XuWrite(SpiBlock(0x82, 0, 1), {0x12}), kUsbOk);
  EXPECT_EQ(chip.state().memory.bytes()[0], 0x12);
}

TEST_F(Memories, EepromBytesAreReplacedAndEachFamilyHasItsOwnCommands) {
  SimChip& chip = AddAndOpen({.memory = MemoryKind::kEeprom16, .memorySize = 0x8000});
  ASSERT_EQ(XuWrite(SpiBlock(0x91, 0x7FFE, 2), {0x12, 0x34}), kUsbOk);
  ASSERT_EQ(XuWrite(SpiBlock(0x91, 0x7FFE, 2), {0xF0, 0x0F}), kUsbOk);
  EXPECT_EQ(XuRead(SpiBlock(0xD1, 0x7FFE, 2), 2), (std::vector<std::uint8_t>{0xF0, 0x0F}));
  ASSERT_EQ(XuWrite(SpiBlock(0x91, 1, 1), {0xA5}), kUsbOk);
  EXPECT_TRUE(IsTagged(chip.state()));
  EXPECT_EQ(Command(SpiBlock(0xCB, 0, 8)), kUsbErrorIo);  // the 8-bit family's read
  EXPECT_EQ(Status(), kStsHwErr);
}

TEST_F(Memories, OtpProgrammingOrsAndReportsBadCells) {
  SimChip& chip = AddAndOpen({.memory = MemoryKind::kOtp});
  chip.state().faults.otpFail = {0x0020, 0x0022};

  ASSERT_EQ(XuWrite(OtpBlock(0x97, 0x10, 4, 8), {0x01, 0x02, 0x04, 0x08}), kUsbOk);
  ASSERT_EQ(XuWrite(OtpBlock(0x97, 0x10, 2, 8), {0x10, 0x20}), kUsbOk);
  EXPECT_EQ(XuRead(OtpBlock(0xD7, 0x10, 4), 4), (std::vector<std::uint8_t>{0x11, 0x22, 0x04, 0x08}));

  // Two bad cells with room for two failures: both reported, programming completes.
  ASSERT_EQ(XuWrite(OtpBlock(0x97, 0x20, 4, 2), {0x40, 0x40, 0x40, 0x40}), kUsbOk);
  auto report = XuRead(OtpBlock(0xDC, 0, 0x13), 19);
  EXPECT_EQ(report, (std::vector<std::uint8_t>{2, 0x00, 0x20, 0x00, 0x22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                               0x00, 0x24}));
  EXPECT_EQ(XuRead(OtpBlock(0xD7, 0x20, 4), 4), (std::vector<std::uint8_t>{0x00, 0x40, 0x00, 0x40}));

  // With room for none, programming stops at the first bad cell.
  ASSERT_EQ(XuWrite(OtpBlock(0x97, 0x20, 4, 0), {0x80, 0x80, 0x80, 0x80}), kUsbOk);
  report = XuRead(OtpBlock(0xDC, 0, 0x13), 19);
  EXPECT_EQ(report[0], 1);
  EXPECT_EQ(report[17] << 8 | report[18], 0x20) << "the failure it stopped at";
  EXPECT_EQ(XuRead(OtpBlock(0xD7, 0x20, 4), 4), (std::vector<std::uint8_t>{0x00, 0x40, 0x00, 0x40}));

  // A bad cell asked for no new bits does not fail.
  ASSERT_EQ(XuWrite(OtpBlock(0x97, 0x20, 2, 0), {0x00, 0x40}), kUsbOk);
  EXPECT_EQ(XuRead(OtpBlock(0xDC, 0, 0x13), 19)[0], 0);
}

TEST_F(Memories, OtpReportListsEightCountsTo255AndStopsAtModePlusOne) {
  SimChip& chip = AddAndOpen({.memory = MemoryKind::kOtp});
  for (std::uint16_t a = 0x100; a < 0x100 + 300; ++a) chip.state().faults.otpFail.push_back(a);
  // Mode 0xFFFF: programs past every failure; the count saturates, eight are listed.
  ASSERT_EQ(XuWrite(OtpBlock(0x97, 0x100, 400, 0xFFFF), std::vector<std::uint8_t>(400, 0x01)), kUsbOk);
  auto report = XuRead(OtpBlock(0xDC, 0, 0x13), 19);
  EXPECT_EQ(report[0], 255);
  EXPECT_EQ(report[15] << 8 | report[16], 0x107) << "the eighth address";
  EXPECT_EQ(report[17] << 8 | report[18], 0x100 + 400) << "the chunk end";
  EXPECT_EQ(chip.state().memory.bytes()[0x100 + 350], 0x01);

  // Mode 3: the fourth failure stops programming at its own address.
  ASSERT_EQ(XuWrite(OtpBlock(0x97, 0xFE, 10, 3), std::vector<std::uint8_t>(10, 0x02)), kUsbOk);
  report = XuRead(OtpBlock(0xDC, 0, 0x13), 19);
  EXPECT_EQ(report[0], 4);
  EXPECT_EQ(report[17] << 8 | report[18], 0x103);
  EXPECT_EQ(chip.state().memory.bytes()[0xFF], 0x02);
  EXPECT_EQ(chip.state().memory.bytes()[0x104], 0x00) << "nothing behind the stop";

  // An unreadable report: reads from the second one on stall.
  chip.state().faults.otpReportFail = 2;
  EXPECT_EQ(Command(OtpBlock(0xDC, 0, 0x13)), kUsbErrorIo);
  EXPECT_EQ(Status(), kStsHwErr);
}

TEST_F(Memories, OtpBootsTheNewestCodeEntryWithTheEccTableApplied) {
  SimChip& chip = AddAndOpen({.memory = MemoryKind::kOtp});
  auto load = [&](std::uint32_t at, std::vector<std::uint8_t> bytes) {
    std::vector<std::uint8_t> all(chip.state().memory.bytes().begin(), chip.state().memory.bytes().end());
    std::copy(bytes.begin(), bytes.end(), all.begin() + at);
    chip.state().memory.Load(all);
  };
  load(0x0000, {1, 2, 3, 4});
  load(0x0004, {5, 6, 7, 8});
  EXPECT_FALSE(OtpBootBlock(chip.state()));
  load(0x3F70, {0x00, 0x00, 0x00, 0x04, 0xAA});  // a configuration entry alone does not boot
  EXPECT_EQ(StartMode(chip.state()), RunMode::kLoader);
  load(0x3F75, {0x00, 0x04, 0x00, 0x04, 0x55});
  load(0x3F7A, {0x00, 0x00, 0x00, 0x04, 0x55});  // newer, and wins
  load(0x3FC0, {0x00, 0x01, 0x20, 0x5A, 0x00, 0x01, 0x21, 0x5A, 0x00, 0x02, 0x30, 0xFF});
  auto boot = OtpBootBlock(chip.state());
  ASSERT_TRUE(boot);
  EXPECT_EQ(boot->entry, 2);
  EXPECT_EQ(boot->bytes, (std::vector<std::uint8_t>{1, 0x21, 3, 4})) << "later entry wins, invalidated ignored";
  EXPECT_EQ(StartMode(chip.state()), RunMode::kOtpCode);
  load(0x3F7E, {0xFF});  // retired
  EXPECT_EQ(OtpBootBlock(chip.state())->entry, 1);
}

TEST_F(Memories, OtpLockBitRefusesProgrammingForGood) {
  SimChip& chip = AddAndOpen({.memory = MemoryKind::kOtp});
  ASSERT_EQ(WriteMem(0xFD0C, 0x08), kUsbOk);
  EXPECT_EQ(ReadMem(0xFD0C, 1).at(0) & 0x08, 0x08);
  EXPECT_EQ(Command(OtpBlock(0x97, 0, 1, 8)), kUsbErrorIo);
  EXPECT_EQ(Status(), kStsHwErr);
  Abort();
  ASSERT_EQ(WriteMem(0xFD0C, 0x00), kUsbOk);
  EXPECT_EQ(ReadMem(0xFD0C, 1).at(0) & 0x08, 0x08) << "the lock never clears";
  EXPECT_TRUE(IsProtected(chip.state()));
  EXPECT_EQ(chip.state().memory.bytes()[0], 0x00);
}

}  // namespace
}  // namespace quillon::sim::testing
