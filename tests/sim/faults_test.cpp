// Injected faults (counted transfers of a run fail, stall, lose power or find
// the chip not ready; defective OTP cells; corrupted read-back; a slow erase)
// and the bus-time count.
#include "sim/bus_time.h"
#include "sim/chip_model.h"
#include "sim_fixture.h"

namespace quillon::sim::testing {
namespace {

using Faults = SimFixture;

TEST_F(Faults, FailedTransfersNeverReachTheChipAndCountFromOne) {
  SimChip& chip = AddAndOpen();
  // Transfers 2 and 3 fail: the command block (1) arrives, the two data pieces do not.
  chip.state().faults.transfers.push_back({TransferFaultKind::kFail, 2, 2});
  ASSERT_EQ(Command(SpiBlock(0x82, 0, 8)), kUsbOk);
  EXPECT_EQ(DataOut(std::vector<std::uint8_t>(8, 0x00)), kUsbErrorIo);
  EXPECT_EQ(DataOut(std::vector<std::uint8_t>(8, 0x00)), kUsbErrorIo);
  EXPECT_EQ(Status(), kStsDataOut) << "the chip still waits for its data";
  EXPECT_EQ(chip.state().memory.bytes()[0], 0xFF);
  EXPECT_EQ(DataOut(std::vector<std::uint8_t>(8, 0x00)), kUsbOk);
  EXPECT_EQ(chip.state().memory.bytes()[0], 0x00);
}

TEST_F(Faults, AStallEndsTheCommandWithAHardwareError) {
  SimChip& chip = AddAndOpen();
  chip.state().faults.transfers.push_back({TransferFaultKind::kStall, 2, 1});
  ASSERT_EQ(Command(SpiBlock(0xC2, 0, 16)), kUsbOk);
  std::uint32_t error = 0;
  DataIn(8, &error);
  EXPECT_EQ(error, kUsbErrorIo);
  EXPECT_EQ(Status(), kStsHwErr);
  ASSERT_EQ(Abort(), kUsbOk);
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0, 16), 16), std::vector<std::uint8_t>(16, 0xFF));
}

TEST_F(Faults, PowerLossKeepsWhatWasProgrammedAndTheChipComesBackNextRun) {
  SimChip& chip = AddAndOpen();
  ASSERT_EQ(XuWrite(SpiBlock(0x82, 0xEFFE, 2), {0x55, 0xAA}), kUsbOk);  // transfers 1 and 2
  chip.state().faults.transfers.push_back({TransferFaultKind::kPowerLoss, 4, 1});
  ASSERT_EQ(Command(SpiBlock(0x82, 0, 16)), kUsbOk);                 // 3
  EXPECT_EQ(DataOut(std::vector<std::uint8_t>(8, 0)), kUsbErrorDeviceGone);  // 4: power gone
  EXPECT_EQ(Status(), -1);
  std::vector<UsbDeviceInfo> devices;
  clock.Advance(60000);
  bus.ListDevices(devices);
  EXPECT_TRUE(devices.empty()) << "off the bus for the rest of the run";

  SimBus next(bus.EndRun());
  SimChip& back = next.Chip(0);
  EXPECT_TRUE(back.state().faults.transfers.empty()) << "armed faults are spent";
  EXPECT_EQ(back.state().memory.bytes()[0], 0xFF) << "a cut data phase programs nothing";
  EXPECT_EQ(back.state().memory.bytes()[0xEFFE], 0x55);
  EXPECT_EQ(back.state().mode, RunMode::kCode) << "powers up in the mode its memory gives";
  next.ListDevices(devices);
  EXPECT_EQ(devices.size(), 1u);
}

TEST_F(Faults, NotReadyAnswersTheFirstKTransfers) {
  SimChip& chip = AddAndOpen();
  chip.state().faults.notReady = 2;
  std::vector<std::uint8_t> descriptor(18);
  EXPECT_EQ(Transfer(0x80, 6, 0x0100, 0, descriptor).error, kUsbErrorNotReady);
  EXPECT_EQ(Transfer(0x80, 6, 0x0100, 0, descriptor).error, kUsbErrorNotReady);
  EXPECT_EQ(Transfer(0x80, 6, 0x0100, 0, descriptor).error, kUsbOk);
}

TEST_F(Faults, CorruptedReadBackLeavesTheMemoryIntact) {
  SimChip& chip = AddAndOpen();
  chip.state().faults.corruptRead = {0x102};
  const auto read = XuRead(SpiBlock(0xC2, 0x100, 4), 4);
  EXPECT_EQ(read, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFE, 0xFF}));
  EXPECT_EQ(chip.state().memory.bytes()[0x102], 0xFF);
}

TEST_F(Faults, SlowEraseOutlastsItsTimeOutAndKeepsTheFlashBusy) {
  SimChip& chip = AddAndOpen({.transport = Transport::kVendor});
  chip.state().memory.ProgramFlash(0, std::vector<std::uint8_t>{0x00});
  chip.state().faults.slowEraseMs = 3000;
  std::vector<std::uint8_t> none, sr(1), data(1);
  SetupPacket erase{0x40, 0x32, 0, 0, 0};
  EXPECT_EQ(bus.ControlTransfer(handle, erase, none, 1000).error, kUsbErrorTimeout);
  EXPECT_EQ(clock.SleptMs(), 1000u);
  ASSERT_EQ(Transfer(0xC0, 0x30, 0, 0, sr).error, kUsbOk);
  EXPECT_EQ(sr[0] & 0x01, 0x01);
  EXPECT_EQ(Transfer(0xC0, 0x2E, 0, 0, data).error, kUsbErrorIo) << "busy flash";
  clock.Advance(2000);
  ASSERT_EQ(Transfer(0xC0, 0x2E, 0, 0, data).error, kUsbOk);
  EXPECT_EQ(data[0], 0xFF);
  // Within its time-out the erase simply takes its time.
  EXPECT_EQ(bus.ControlTransfer(handle, erase, none, 5000).error, kUsbOk);
  EXPECT_EQ(clock.SleptMs(), 4000u);
}

TEST(BusTime, ModelFromCounts) {
  // Setup and status stages plus one stage per 64-byte packet, and the bits.
  EXPECT_EQ(ControlTransferTimeUs(BusSpeed::kHigh, 0), 2 * 125 + 1);
  EXPECT_EQ(ControlTransferTimeUs(BusSpeed::kHigh, 64), 3 * 125 + 2);
  EXPECT_EQ(ControlTransferTimeUs(BusSpeed::kFull, 65), 4 * 1000 + 49);
}

TEST_F(Faults, RaisingTheDataControlSizeCutsTransfersAndBusTimeByEight) {
  auto readAll = [&](std::size_t size) {
    SimBus local;
    local.AddChip({.speed = BusSpeed::kFull});
    std::vector<UsbDeviceInfo> devices;
    local.ListDevices(devices);
    UsbHandle h = 0;
    local.Open(devices[0].instance, h);
    std::vector<std::uint8_t> block = {0x00, 0x16, 0, 0, static_cast<std::uint8_t>(size), 0, 0, 0};
    local.ControlTransfer(h, {0x21, 0x01, 0x0A00, 0x0300, 8}, block, 5000);
    block = {0x02, 0xC2, 0, 0, 0x00, 0x10, 0, 0};  // 4096 bytes from 0
    local.ControlTransfer(h, {0x21, 0x01, 0x0A00, 0x0300, 8}, block, 5000);
    std::vector<std::uint8_t> piece(size);
    for (std::size_t done = 0; done < 4096; done += size) {
      local.ControlTransfer(h, {0xA1, 0x81, 0x0B00, 0x0300, static_cast<std::uint16_t>(size)}, piece, 5000);
    }
    return local.EndRun().front().lastRun;
  };
  const RunStats small = readAll(8), large = readAll(64);
  EXPECT_EQ(small.transfers, 2u + 512u);
  EXPECT_EQ(large.transfers, 2u + 64u);
  EXPECT_EQ(small.bytes, large.bytes);
  EXPECT_EQ(small.busTimeUs, 2 * ControlTransferTimeUs(BusSpeed::kFull, 8) + 512 * ControlTransferTimeUs(BusSpeed::kFull, 8));
  EXPECT_GT(small.busTimeUs, 7 * large.busTimeUs);
}

}  // namespace
}  // namespace quillon::sim::testing

namespace quillon::sim::testing {
namespace {

struct WpCase {
  const char* name;
  std::uint8_t direction;  // register 0xFEA1
  std::uint8_t level;      // register 0xFEA7
  bool pulledUp;
  bool stored;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const WpCase& c, std::ostream* os) { *os << c.name; }

class EepromWriteProtectLine : public SimFixture, public ::testing::WithParamInterface<WpCase> {};

// A write while the line is asserted is acknowledged and not stored, on both widths.
TEST_P(EepromWriteProtectLine, DecidesWhetherAWriteIsStored) {
  const WpCase& c = GetParam();
  for (auto [memory, opcode] : {std::pair{MemoryKind::kEeprom8, std::uint8_t{0x8B}},
                                std::pair{MemoryKind::kEeprom16, std::uint8_t{0x91}}}) {
    SimChip& chip = AddAndOpen({.memory = memory});
    chip.state().faults.wpPulledUp = c.pulledUp;
    ASSERT_EQ(WriteMem(0xFEA1, c.direction), kUsbOk);
    ASSERT_EQ(WriteMem(0xFEA7, c.level), kUsbOk);
    EXPECT_EQ(XuWrite(SpiBlock(opcode, 0x10, 8), std::vector<std::uint8_t>(8, 0x5A)), kUsbOk);
    EXPECT_EQ(Status(), kStsNoErr) << "acknowledged";
    EXPECT_EQ(chip.state().memory.bytes()[0x10], c.stored ? 0x5A : 0xFF);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pins, EepromWriteProtectLine,
    ::testing::Values(WpCase{"InputNoPullUp", 0x00, 0x00, false, true}, WpCase{"InputPulledUp", 0x00, 0x02, true, false},
                      WpCase{"OutputLowPulledUp", 0x02, 0x00, true, true},
                      WpCase{"OutputHigh", 0x02, 0x02, false, false},
                      WpCase{"OtherBitsOnly", 0xFD, 0xFD, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::sim::testing
