// The chip's side of the extension-unit protocol: command block on control 10,
// data pieces on control 11 at the data-control size, GET_LEN, the status answer
// after a failure and the abort block.
#include "sim_fixture.h"

namespace quillon::sim::testing {
namespace {

using XuProtocol = SimFixture;

TEST_F(XuProtocol, SignatureAnswerOfCommandD0) {
  AddAndOpen();
  ASSERT_EQ(Command({0x00, 0xD0, 0, 0, 8, 0, 0, 0}), kUsbOk);
  EXPECT_EQ(DataIn(8), (std::vector<std::uint8_t>{'K', 'E', 'S', 'T', 'R', 'A', 'N', 0}));
  EXPECT_EQ(Status(), kStsNoErr);
}

TEST_F(XuProtocol, ReadOf20BytesComesInThreePiecesTheLastZeroPadded) {
  SimChip& chip = AddAndOpen();
  std::vector<std::uint8_t> image(32);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(0x40 + i);
  ASSERT_TRUE(chip.state().memory.Load(image));

  ASSERT_EQ(Command(SpiBlock(0xC2, 0, 20)), kUsbOk);
  EXPECT_EQ(Status(), kStsDataIn);
  auto first = DataIn(8), second = DataIn(8), third = DataIn(8);
  EXPECT_EQ(first, std::vector<std::uint8_t>(image.begin(), image.begin() + 8));
  EXPECT_EQ(second, std::vector<std::uint8_t>(image.begin() + 8, image.begin() + 16));
  EXPECT_EQ(third, (std::vector<std::uint8_t>{0x50, 0x51, 0x52, 0x53, 0, 0, 0, 0}));
  EXPECT_EQ(Status(), kStsNoErr);

  // The data phase is over: a further piece is a direction error.
  std::uint32_t error = 0;
  DataIn(8, &error);
  EXPECT_EQ(error, kUsbErrorIo);
  EXPECT_EQ(Status(), kStsErrDir);
}

TEST_F(XuProtocol, WriteProgramsOnlyOnceTheWholeDataPhaseArrivedAndIgnoresPadding) {
  SimChip& chip = AddAndOpen();
  ASSERT_EQ(Command(SpiBlock(0x82, 0x100, 10)), kUsbOk);
  ASSERT_EQ(DataOut({1, 2, 3, 4, 5, 6, 7, 8}), kUsbOk);
  EXPECT_EQ(chip.state().memory.bytes()[0x100], 0xFF) << "programmed before the data phase ended";
  EXPECT_EQ(Status(), kStsDataOut);
  ASSERT_EQ(DataOut({9, 10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), kUsbOk);
  const auto bytes = chip.state().memory.bytes();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 0x100, bytes.begin() + 0x10C),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xFF, 0xFF}));
  EXPECT_EQ(Status(), kStsNoErr);
}

TEST_F(XuProtocol, DataControlSizeIs8AfterPowerUpAndTakes64) {
  SimChip& chip = AddAndOpen();
  EXPECT_EQ(GetLen(), 8);
  ASSERT_EQ(Command({0x00, 0x16, 0, 0, 64, 0, 0, 0}), kUsbOk);
  EXPECT_EQ(GetLen(), 64);

  // A size the chip does not take leaves it as it is; GET_LEN tells the truth.
  ASSERT_EQ(Command({0x00, 0x16, 0, 0, 32, 0, 0, 0}), kUsbOk);
  EXPECT_EQ(GetLen(), 64);

  chip.state().memory.Load(std::vector<std::uint8_t>(70, 0x11));
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0, 70), 70, 64), std::vector<std::uint8_t>(70, 0x11));

  // A piece of the old size is refused with a length error.
  ASSERT_EQ(Command(SpiBlock(0xC2, 0, 16)), kUsbOk);
  std::uint32_t error = 0;
  DataIn(8, &error);
  EXPECT_EQ(error, kUsbErrorIo);
  EXPECT_EQ(Status(), kStsErrLen);
}

TEST_F(XuProtocol, StatusAnswerAfterAFailureThenAbortClearsIt) {
  AddAndOpen();  // 64 KB of flash
  struct Case {
    std::array<std::uint8_t, 8> block;
    int status;
  };
  const Case cases[] = {
      {SpiBlock(0xC2, 0xFFF8, 16), kStsOutOfRange},      // runs past the end of the memory
      {{0x05, 0xC2, 0, 0, 8, 0, 0, 0}, kStsUnknownCmd},  // no such command class
      {{0x00, 0x99, 0, 0, 0, 0, 0, 0}, kStsUnknownSubCmd},
      {{0x02, 0xD7, 0, 0, 8, 0, 0, 0}, kStsHwErr},  // OTP read on a flash chip
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Command(c.block), kUsbErrorIo);
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(Abort(), kUsbOk);
    EXPECT_EQ(Status(), kStsCmd);
  }
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0, 4), 4), std::vector<std::uint8_t>(4, 0xFF));
}

// Each flash kind answers only the commands its part has: a NOR chip has no
// SPI flash part (no ID, status register, SPI erase or tag), but the SPI read
// reaches its memory; an SPI chip has no NOR interface.
TEST_F(XuProtocol, FlashKindsAnswerTheirOwnCommands) {
  struct Case {
    const char* what;
    MemoryKind memory;
    std::array<std::uint8_t, 8> block;
    bool answered;
  };
  const Case cases[] = {
      {"SPI read on NOR", MemoryKind::kNor, SpiBlock(0xC2, 0, 8), true},
      {"NOR read on NOR", MemoryKind::kNor, {0x00, 0xC5, 0, 0, 8, 0, 0, 0}, true},
      {"status read on NOR", MemoryKind::kNor, {0x02, 0xC3, 0, 0, 1, 0, 0, 0}, false},
      {"status write on NOR", MemoryKind::kNor, {0x02, 0x83, 0, 0, 1, 0, 0, 0}, false},
      {"SPI erase on NOR", MemoryKind::kNor, {0x02, 0x04, 0, 0, 0, 0, 0, 0}, false},
      {"SPI tag on NOR", MemoryKind::kNor, {0x02, 0x13, 0, 0, 0, 0, 0, 0}, false},
      {"ID read on NOR", MemoryKind::kNor, {0x02, 0xC1, 0, 0, 8, 0, 0, 0}, false},
      {"status read on SPI", MemoryKind::kSpi, {0x02, 0xC3, 0, 0, 1, 0, 0, 0}, true},
      {"NOR read on SPI", MemoryKind::kSpi, {0x00, 0xC5, 0, 0, 8, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AddAndOpen({.memory = c.memory});
    EXPECT_EQ(Command(c.block), c.answered ? kUsbOk : kUsbErrorIo);
    if (!c.answered) {
      EXPECT_EQ(Status(), kStsHwErr);
    }
    EXPECT_EQ(Abort(), kUsbOk);
    bus.UnplugChip(bus.ChipCount() - 1);
  }
}

TEST_F(XuProtocol, NewCommandDuringADataPhaseIsRefusedUntilAborted) {
  AddAndOpen();
  ASSERT_EQ(Command(SpiBlock(0xC2, 0, 16)), kUsbOk);
  DataIn(8);
  EXPECT_EQ(Command(SpiBlock(0xC2, 0, 8)), kUsbErrorIo);
  EXPECT_EQ(Status(), kStsNotFinish);
  ASSERT_EQ(Abort(), kUsbOk);
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0, 8), 8), std::vector<std::uint8_t>(8, 0xFF));
}

TEST_F(XuProtocol, StatusBlockIn13PiecesCarriesSignatureAndFamily) {
  AddAndOpen({.ic = IcFamily::kTq7724});
  std::vector<std::uint8_t> block;
  for (std::uint8_t piece = 0; piece < 13; ++piece) {
    auto bytes = XuRead({0x00, 0xCD, piece, 0, 8, 0, 0, 0}, 8);
    ASSERT_EQ(bytes.size(), 8u);
    block.insert(block.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(std::string(block.begin() + 24, block.begin() + 31), "KESTRAN");
  EXPECT_EQ(block[31], 0);
  EXPECT_EQ(ReadMem(0xFE21, 2), (std::vector<std::uint8_t>{0x10, 0xF0}));
}

TEST_F(XuProtocol, RequestsOutsideTheUnitAreStalled) {
  AddAndOpen();
  std::vector<std::uint8_t> data(8, 0);
  EXPECT_EQ(Transfer(0x21, 0x01, 0x0A00, 0x0400, data).error, kUsbErrorIo);  // another unit
  EXPECT_EQ(Transfer(0x21, 0x01, 0x0C00, 0x0300, data).error, kUsbErrorIo);  // control 12
  std::vector<std::uint8_t> info(1);
  EXPECT_EQ(Transfer(0xA1, 0x86, 0x0A00, 0x0300, info).error, kUsbOk);
  EXPECT_EQ(info[0], 0x03);
}

TEST_F(XuProtocol, VendorOnlyChipHasNoExtensionUnitToAnswer) {
  AddAndOpen({.transport = Transport::kVendor});
  EXPECT_EQ(Command({0x00, 0xD0, 0, 0, 8, 0, 0, 0}), kUsbErrorIo);
}

}  // namespace
}  // namespace quillon::sim::testing
