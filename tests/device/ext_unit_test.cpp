// The extension-unit transport on a simulated chip: the command blocks and data
// pieces on the wire, splitting, failure reports and the command lock.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>

#include "device/ext_unit.h"
#include "device_fixture.h"
#include "support/debug_lines.h"

namespace quillon {
namespace {

using testing::DeviceFixture;

bool Logged(testing::DebugLines& debug, const std::string& text) {
  auto texts = debug.texts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class ExtUnitTest : public DeviceFixture {
 protected:
  sim::SimChip& Open(sim::ChipConfig config = {}) {
    sim::SimChip& chip = AddAndOpen(config);
    unit = std::make_unique<CExtUnit>(record.hVxProxyDev, static_cast<std::uint8_t>(record.interfaceNumber),
                                      static_cast<std::uint8_t>(record.info->xuUnitId));
    MarkWire();
    return chip;
  }
  std::unique_ptr<CExtUnit> unit;
};

TEST_F(ExtUnitTest, SpiReadSendsTheAddressHalvesAndReadsWholePieces) {
  sim::SimChip& chip = Open({.memorySize = 0x20000});
  std::vector<std::uint8_t> image(0x20000, 0xFF);
  for (std::uint32_t i = 0; i < 16; ++i) image[0x12345 + i] = static_cast<std::uint8_t>(0xA0 + i);
  ASSERT_TRUE(chip.state().memory.Load(image));
  std::array<std::uint8_t, 16> out{};
  EXPECT_EQ(unit->SPI_SF_Read(0x12345, out, 0), kResultOk);
  std::vector<std::string> wire = Wire();
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[0], "21 01 0a00 0300 0008 02c2452310000100");
  EXPECT_EQ(wire[1], "a1 81 0b00 0300 0008 a0a1a2a3a4a5a6a7");
  EXPECT_EQ(wire[2], "a1 81 0b00 0300 0008 a8a9aaabacadaeaf");
  EXPECT_EQ(out[15], 0xAF);
}

TEST_F(ExtUnitTest, ShortLastPieceGoesThroughTheScratchBuffer) {
  sim::SimChip& chip = Open();
  std::vector<std::uint8_t> image(32);
  std::iota(image.begin(), image.end(), 1);
  ASSERT_TRUE(chip.state().memory.Load(image));
  std::array<std::uint8_t, 24> out;
  out.fill(0xEE);
  std::uint32_t moved = 0;
  auto count = [](void* user, std::uint32_t bytes) { *static_cast<std::uint32_t*>(user) += bytes; };
  EXPECT_EQ(unit->SPI_SF_Read(0, std::span(out).first(20), 0, count, &moved), kResultOk);
  EXPECT_EQ(WireStarting("a1 81 0b00").size(), 3u);
  EXPECT_EQ(out[19], 20);
  EXPECT_EQ(out[20], 0xEE) << "bytes past the request stay untouched";
  EXPECT_EQ(moved, 20u);

  // Writing 20 bytes sends three whole pieces, the last zero-padded.
  MarkWire();
  std::array<std::uint8_t, 20> in;
  in.fill(0x5A);
  EXPECT_EQ(unit->SPI_SF_Write(0x1000, in), kResultOk);
  auto pieces = WireStarting("21 01 0b00");
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[2], "21 01 0b00 0300 0008 5a5a5a5a00000000");
}

TEST_F(ExtUnitTest, LongRequestsSplitIntoPiecesUnderTheSameLock) {
  Open();
  std::uint32_t size = 64;
  ASSERT_TRUE(unit->ChangeDataControlSize(size));
  MarkWire();
  std::vector<std::uint8_t> out(0x18000);
  EXPECT_EQ(unit->ReadMem(0x0000, out), kResultOk);
  EXPECT_EQ(WireStarting("21 01 0a00"), (std::vector<std::string>{
                                            "21 01 0a00 0300 0008 00c2000000800000",
                                            "21 01 0a00 0300 0008 00c2008000800000",
                                            "21 01 0a00 0300 0008 00c2000000800000",
                                        }));
  EXPECT_EQ(WireStarting("a1 81 0b00").size(), 0x18000u / 64);
}

TEST_F(ExtUnitTest, Eeprom16EraseFillsEveryPieceIncludingPast64K) {
  sim::SimChip& chip = Open({.memory = sim::MemoryKind::kEeprom16, .memorySize = 0x20000});
  ASSERT_TRUE(chip.state().memory.Load(std::vector<std::uint8_t>(0x20000, 0x00)));
  std::uint32_t size = 64;
  ASSERT_TRUE(unit->ChangeDataControlSize(size));
  MarkWire();
  EXPECT_EQ(unit->I2C_EEP16_Erase(0x20000), kResultOk);
  EXPECT_EQ(WireStarting("21 01 0a00"), (std::vector<std::string>{
                                            "21 01 0a00 0300 0008 0291000000800000",
                                            "21 01 0a00 0300 0008 0291008000800000",
                                            "21 01 0a00 0300 0008 0291000000800100",
                                            "21 01 0a00 0300 0008 0291008000800100",
                                        }));
  auto bytes = chip.state().memory.bytes();
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(ExtUnitTest, I2CLongWriteAndWritePhyPieces) {
  Open();
  std::vector<std::uint8_t> data(130, 0x11);
  EXPECT_EQ(unit->I2CLongWrite(0x50, 0x8010, 0, data), kResultOk);
  EXPECT_EQ(WireStarting("21 01 0a00"), (std::vector<std::string>{
                                            "21 01 0a00 0300 0008 00b0108040005000",
                                            "21 01 0a00 0300 0008 00b0508040005000",
                                            "21 01 0a00 0300 0008 00b0900002005000",
                                        }));
  MarkWire();
  const std::uint8_t phy[3] = {0x01, 0x02, 0x03};
  EXPECT_EQ(unit->WritePhy(0x0040, phy), kResultOk);
  EXPECT_EQ(Wire(), (std::vector<std::string>{
                        "21 01 0a00 0300 0008 008c400001000000",
                        "21 01 0b00 0300 0008 0100000000000000",
                        "21 01 0a00 0300 0008 008c410001000000",
                        "21 01 0b00 0300 0008 0200000000000000",
                        "21 01 0a00 0300 0008 008c420001000000",
                        "21 01 0b00 0300 0008 0300000000000000",
                    }));
}

TEST_F(ExtUnitTest, DataControlSizeFollowsWhatTheChipReports) {
  Open();
  std::uint32_t size = 8;
  EXPECT_TRUE(unit->ChangeDataControlSize(size));
  EXPECT_TRUE(Wire().empty()) << "the size in force needs no transfer";

  size = 32;  // the chip takes only 8 and 64
  EXPECT_FALSE(unit->ChangeDataControlSize(size));
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(unit->dataControlSize(), 8u);
  EXPECT_EQ(WireStarting("a1 85 0b00").size(), 1u);

  size = 4096;  // larger than any piece the transport can hold
  MarkWire();
  EXPECT_FALSE(unit->ChangeDataControlSize(size));
  EXPECT_EQ(size, 8u);
  EXPECT_TRUE(Wire().empty());

  size = 64;
  EXPECT_TRUE(unit->ChangeDataControlSize(size));
  EXPECT_EQ(unit->dataControlSize(), 64u);
}

TEST_F(ExtUnitTest, FailureReportsTheStatusAndAbortsTheCommand) {
  Open();
  testing::DebugLines debug;
  std::array<std::uint8_t, 16> out{};
  std::uint32_t result = unit->SPI_SF_Read(0x20000, out, 0);  // past the 64 KB flash
  EXPECT_EQ(result, 0x8007001Fu);
  EXPECT_EQ(unit->lastStatus(), 7);
  EXPECT_TRUE(Logged(debug, "SPI_SF_Read SetCmd error 8007001f, VCMD_STS_ERR_OUTRANGE")) << ::testing::PrintToString(debug.texts());
  EXPECT_EQ(Wire().back(), "21 01 0a00 0300 0008 ff00000000000000");
  EXPECT_EQ(WireStarting("a1 81 0a00").size(), 1u) << "the status is read once";
}

TEST_F(ExtUnitTest, FailureTextsWhenTheStatusIsUnknownOrTheChipIsGone) {
  Open();
  struct Case {
    const char* what;
    std::uint32_t dataError;  // what the data piece fails with
    bool statusAnswers;
    std::uint32_t result;
    const char* text;
  };
  const Case cases[] = {
      {"undefined status", kUsbErrorIo, true, 0x8007001F,
       "ReadMem GetData 0x1008 error 8007001f, Undefined ExtUnit error code"},
      {"no error code", 0, true, 0x80004005, "ReadMem GetData 0x1008 error 80004005, Undefined ExtUnit error code"},
      {"status unreadable", kUsbErrorIo, false, 0x8007001F,
       "ReadMem GetData 0x1008 error 8007001f, and fail to get err_code 8007001f"},
      {"device gone", kUsbErrorDeviceGone, true, 0x8007048F, "ReadMem GetData 0x1008Device not connected"},
  };
  for (const Case& c : cases) {
    testing::DebugLines debug;
    int pieces = 0;
    recorder->answer = [&](const SetupPacket& s, std::span<std::uint8_t> data) -> std::optional<TransferResult> {
      if (s.bmRequestType == 0xA1 && s.wValue == 0x0B00 && ++pieces == 2) return TransferResult{c.dataError, 0};
      if (s.bmRequestType == 0xA1 && s.wValue == 0x0A00) {
        if (!c.statusAnswers) return TransferResult{kUsbErrorIo, 0};
        data[0] = 0x0C;
        return TransferResult{kUsbOk, 8};
      }
      return std::nullopt;
    };
    recorder->sent.clear();
    std::array<std::uint8_t, 16> out{};
    EXPECT_EQ(unit->ReadMem(0x1000, out), c.result) << c.what;
    EXPECT_TRUE(Logged(debug, c.text)) << c.what << ::testing::PrintToString(debug.texts());
    const bool aborted = recorder->sent.back().setup.bmRequestType == 0x21 && recorder->sent.back().setup.wValue == 0x0A00;
    EXPECT_EQ(aborted, c.dataError != kUsbErrorDeviceGone) << c.what;
    unit->SetCmd(XuCommand(VendorOp::kAbort).block);
  }
}

TEST_F(ExtUnitTest, ArgumentsTheWireCannotCarryAreRefusedUnsent) {
  Open();
  std::array<std::uint8_t, 65> big{};
  std::uint8_t one[1] = {0};
  std::vector<std::uint8_t> huge(0x10000);
  EXPECT_EQ(unit->SPI_SF_EraseSector(0x1001, 0x1000), kResultInvalidArgument);
  EXPECT_EQ(unit->SPI_SF_EraseSector(0x1000, 0), kResultInvalidArgument);
  EXPECT_EQ(unit->I2CRead(std::uint16_t{0x50}, big), kResultInvalidArgument);
  EXPECT_EQ(unit->OTP_Write(0x10000, one, 0), kResultInvalidArgument);
  EXPECT_EQ(unit->I2CGenRead(0x50, huge), kResultInvalidArgument);
  EXPECT_EQ(unit->ExtMem_Read(0, one, 3), kResultNotImplemented);
  EXPECT_TRUE(Wire().empty());
  EXPECT_EQ(unit->SPI_SF_EraseSector(0x1000, 0x1000), kResultOk);
  EXPECT_EQ(Wire(), std::vector<std::string>{"21 01 0a00 0300 0008 0205001000000000"});
}

TEST_F(ExtUnitTest, StatusInPiecesAndTheSignature) {
  Open();
  std::array<std::uint8_t, 104> status{};
  EXPECT_EQ(unit->GetDevStatus(0, status), kResultOk);
  auto commands = WireStarting("21 01 0a00");
  ASSERT_EQ(commands.size(), 13u);
  EXPECT_EQ(commands[12], "21 01 0a00 0300 0008 00cd0c0008000000");
  EXPECT_EQ(std::string(status.begin() + 24, status.begin() + 31), "KESTRAN");
  EXPECT_TRUE(unit->DevQualify());
}

// Another instance of the tool holds the command lock: nothing is sent, result 1.
TEST_F(ExtUnitTest, SecondProcessWaitsForTheLockAndGivesUp) {
  Open();
  CExtUnit waiting(record.hVxProxyDev, static_cast<std::uint8_t>(record.interfaceNumber),
                   static_cast<std::uint8_t>(record.info->xuUnitId), CommandLock(), 100);
  int held[2];
  int release[2];
  ASSERT_EQ(::pipe(held), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  if (child == 0) {
    CrossProcessLock other(CommandLock().file());
    char c = other.Acquire(1000) ? 'y' : 'n';
    (void)!::write(held[1], &c, 1);
    (void)!::read(release[0], &c, 1);
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(held[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  testing::DebugLines debug;
  std::array<std::uint8_t, 8> out{};
  EXPECT_EQ(waiting.ReadMem(0, out), kResultLockNotTaken);
  EXPECT_FALSE(waiting.DevQualify());
  EXPECT_TRUE(Wire().empty());
  EXPECT_TRUE(Logged(debug, "CExtUnitBase::ReadMem wait time out"));
  (void)!::write(release[1], &c, 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(waiting.ReadMem(0, out), kResultOk) << "free again once the other process let go";
  for (int fd : {held[0], held[1], release[0], release[1]}) ::close(fd);
}

}  // namespace
}  // namespace quillon
