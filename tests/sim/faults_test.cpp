// Injected faults (counted transfers of a run fail, stall, lose power or find
// the chip not ready; defective OTP cells; corrupted read-back; a slow erase)
// and the bus-time count.
#include <algorithm>
#include <functional>

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

TEST_F(Faults, PagesAreProgrammedInOrderAfterTheDataAndFlashCommandsWaitForThem) {
  SimChip& chip = AddAndOpen();
  // Four pages of 0x00 from 0x100 (pages 1..4).
  ASSERT_EQ(XuWrite(SpiBlock(0x82, 0x100, 0x400), std::vector<std::uint8_t>(0x400, 0x00)), kUsbOk);
  // Status register: write in progress while the pages are programmed.
  EXPECT_EQ(XuRead(SpiBlock(0xC3, 0, 1), 1), std::vector<std::uint8_t>{0x01});
  const std::uint64_t before = clock.NowMs();
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0x4FE, 4), 4), (std::vector<std::uint8_t>{0x00, 0x00, 0xFF, 0xFF}))
      << "a read waits for the last page";
  EXPECT_EQ(clock.NowMs() - before, 1u) << "four pages of 250 us";
  EXPECT_EQ(XuRead(SpiBlock(0xC3, 0, 1), 1), std::vector<std::uint8_t>{0x00});
  EXPECT_EQ(chip.Programs().size(), 1u);
}

TEST_F(Faults, PowerLossKeepsThePagesProgrammedSoFarAndThePageUnderWayPartly) {
  // Transfers 1..129 are the write (command and 128 pieces); nothing else
  // lets time pass unless the case does.
  struct Case {
    const char* name;
    std::function<void(SimChip&, std::size_t)> arm;
    std::function<void(SimChip&, std::size_t)> after;
    std::size_t pagesKept;
  };
  auto none = [](SimChip&, std::size_t) {};
  const Case cases[] = {
      {"page-loss fault after 2 pages", [](SimChip& c, std::size_t) { c.state().faults.pageLoss.push_back({1, 2}); },
       none, 2},
      {"page-loss fault before the first page",
       [](SimChip& c, std::size_t) { c.state().faults.pageLoss.push_back({1, 0}); }, none, 0},
      {"page-loss fault for a later write", [](SimChip& c, std::size_t) { c.state().faults.pageLoss.push_back({2, 0}); },
       [this](SimChip&, std::size_t) { clock.Advance(1); }, 4},
      {"power loss at the next transfer",
       [](SimChip& c, std::size_t) {
         c.state().faults.transfers.push_back({TransferFaultKind::kPowerLoss, 130, 1});
       },
       [this](SimChip&, std::size_t) { Abort(); }, 0},
      {"unplugged just after the last piece",
       [](SimChip& c, std::size_t) { c.state().faults.transfers.push_back({TransferFaultKind::kUnplug, 129, 1}); },
       none, 0},
      {"cable pulled 1 ms in, 400 us a page",
       [](SimChip& c, std::size_t) { c.state().config.pageProgramUs = 400; },
       [this](SimChip&, std::size_t index) {
         clock.Advance(1);
         bus.UnplugChip(index);
       },
       2},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    SimChip& chip = AddAndOpen();
    c.arm(chip, i);
    const bool cutAtOnce = !chip.state().faults.pageLoss.empty() && chip.state().faults.pageLoss[0].program == 1;
    EXPECT_EQ(XuWrite(SpiBlock(0x82, 0x100, 0x400), std::vector<std::uint8_t>(0x400, 0x00)), kUsbOk) << "the last piece is answered before the power goes";
    if (cutAtOnce) {
      EXPECT_EQ(Status(), -1) << "off the bus";
    }
    c.after(chip, i);
    EXPECT_TRUE(chip.state().powerLost || !cutAtOnce);
    if (!chip.state().powerLost) bus.UnplugChip(i);
  }
  SimBus next(bus.EndRun());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const auto memory = next.Chip(i).state().memory.bytes();
    const std::size_t end = 0x100 + 0x100 * cases[i].pagesKept;
    EXPECT_EQ(std::count(memory.begin(), memory.end(), 0x00), static_cast<std::ptrdiff_t>(end - 0x100));
    EXPECT_TRUE(std::all_of(memory.begin() + 0x100, memory.begin() + static_cast<std::ptrdiff_t>(end),
                            [](std::uint8_t b) { return b == 0x00; }));
    // The page under way when the power went is neither old (FF) nor new (00).
    const std::size_t partlyEnd = cases[i].pagesKept < 4 ? end + 0x100 : end;
    EXPECT_TRUE(std::all_of(memory.begin() + static_cast<std::ptrdiff_t>(end),
                            memory.begin() + static_cast<std::ptrdiff_t>(partlyEnd),
                            [](std::uint8_t b) { return b == 0x55; }));
    EXPECT_EQ(std::count(memory.begin(), memory.end(), 0xFF),
              static_cast<std::ptrdiff_t>(memory.size() - (partlyEnd - 0x100)));
  }
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

TEST_F(Faults, AFlakyReadCorruptsOneByteOfOneReadOnly) {
  SimChip& chip = AddAndOpen();
  chip.state().faults.flakyRead = 2;
  const std::vector<std::uint8_t> blank(4, 0xFF);
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0x100, 4), 4), blank);
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0x100, 4), 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFE, 0xFF}));
  EXPECT_EQ(XuRead(SpiBlock(0xC2, 0x100, 4), 4), blank) << "read again: correct";
  EXPECT_EQ(chip.state().memory.bytes()[0x102], 0xFF);
  EXPECT_EQ(bus.EndRun()[0].faults.flakyRead, 0u) << "armed for one run";
}

TEST_F(Faults, EepromWritesAreProgrammedPerPage) {
  // 64 bytes of 0xFF over 0x00 from 0x10: pages 0x00, 0x20 and 0x40 of 32 bytes.
  SimChip& chip = AddAndOpen({.memory = MemoryKind::kEeprom8, .memorySize = 0x100});
  chip.state().memory.WriteEeprom(0, std::vector<std::uint8_t>(0x100, 0x00));
  chip.state().faults.pageLoss.push_back({1, 1});
  EXPECT_EQ(XuWrite(SpiBlock(0x8B, 0x10, 0x40), std::vector<std::uint8_t>(0x40, 0xFF)), kUsbOk);
  EXPECT_TRUE(chip.state().powerLost);
  const auto memory = chip.state().memory.bytes();
  for (std::size_t at : {0x0Fu, 0x10u, 0x1Fu, 0x20u, 0x3Fu, 0x40u, 0x4Fu}) {
    SCOPED_TRACE(at);
    const std::uint8_t expected = at < 0x10 || at >= 0x40 ? 0x00 : at < 0x20 ? 0xFF : 0xAA;  // 0xAA: half the bits
    EXPECT_EQ(memory[at], expected);
  }

  // Without the fault the next command waits for the last page.
  SimChip& other = AddAndOpen({.memory = MemoryKind::kEeprom8, .memorySize = 0x100});
  other.state().config.pageProgramUs = 1000;
  ASSERT_EQ(XuWrite(SpiBlock(0x8B, 0x10, 0x40), std::vector<std::uint8_t>(0x40, 0x5A)), kUsbOk);
  const std::uint64_t before = clock.NowMs();
  EXPECT_EQ(XuRead(SpiBlock(0xCB, 0x4F, 1), 1), std::vector<std::uint8_t>{0x5A});
  EXPECT_EQ(clock.NowMs() - before, 3u) << "three pages of 1 ms";
}

// A loaded host: every reading of the clock is 2 ms later than the last.
class CreepingClock final : public Clock {
 public:
  std::uint64_t NowMs() override { return now_ += 2; }
  void SleepMs(std::uint32_t ms) override {
    now_ += ms;
    slept += ms;
  }
  std::uint64_t slept = 0;

 private:
  std::uint64_t now_ = 1000;
};

TEST_F(Faults, AWaitForProgrammingThatEndsMeanwhileSleepsNoLonger) {
  // Whatever the clock reads between the write and the wait, the wait is at
  // most the programming time: never a wrapped, near-endless sleep.
  for (std::uint32_t pageUs = 500; pageUs <= 8000; pageUs += 500) {
    SCOPED_TRACE(pageUs);
    SimChip& chip = AddAndOpen({.memory = MemoryKind::kEeprom8, .memorySize = 0x100});
    chip.state().config.pageProgramUs = pageUs;
    CreepingClock creeping;
    ScopedClockOverride useCreeping(creeping);
    ASSERT_EQ(XuWrite(SpiBlock(0x8B, 0x20, 0x20), std::vector<std::uint8_t>(0x20, 0x5A)), kUsbOk);
    EXPECT_EQ(XuRead(SpiBlock(0xCB, 0x20, 1), 1), std::vector<std::uint8_t>{0x5A});
    EXPECT_LE(creeping.slept, pageUs / 1000 + 1);
  }
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

TEST(BusTime, LatencyIsOneFramePerStageAndOccupancyTheBitsWithTheirOverhead) {
  struct Case {
    BusSpeed speed;
    std::size_t bytes;
    std::uint64_t latencyUs, occupancyNs;
  };
  // Setup and status stages plus one per 64-byte packet; on the wire 99 (full
  // speed) or 440 (high speed) overhead bits per transaction, then 8 setup bytes
  // and the data, at 12 or 480 bits per microsecond (rounded up to the ns).
  for (const Case& c : {Case{BusSpeed::kHigh, 0, 2 * 125, 1967},    // (2 * 440 + 64) bits
                        Case{BusSpeed::kHigh, 64, 3 * 125, 3950},   // (3 * 440 + 72 * 8) bits
                        Case{BusSpeed::kHigh, 65, 4 * 125, 4884},   // (4 * 440 + 73 * 8) bits
                        Case{BusSpeed::kFull, 8, 3 * 1000, 35417},  // (3 * 99 + 16 * 8) bits
                        Case{BusSpeed::kFull, 65, 4 * 1000, 81667}}) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(ControlTransferLatencyUs(c.speed, c.bytes), c.latencyUs);
    EXPECT_EQ(ControlTransferOccupancyNs(c.speed, c.bytes), c.occupancyNs);
    EXPECT_EQ(ControlTransferTimeUs(c.speed, c.bytes), c.latencyUs + (c.occupancyNs + 999) / 1000);
  }
}

TEST(BusTime, ChipsOnOneBusOverlapTheirWaitsButAddUpTheirPackets) {
  // A write's worth of 64-byte transfers, the same on every chip.
  RunStats write;
  for (int i = 0; i < 3000; ++i) {
    write.latencyUs += ControlTransferLatencyUs(BusSpeed::kHigh, 64);
    write.occupancyNs += ControlTransferOccupancyNs(BusSpeed::kHigh, 64);
  }
  const std::vector<RunStats> one(1, write), eight(8, write);
  EXPECT_EQ(SharedBusTimeUs(one), write.BusTimeUs());
  EXPECT_EQ(SharedBusTimeUs(eight), write.latencyUs + (8 * write.occupancyNs + 999) / 1000);
  EXPECT_LE(SharedBusTimeUs(eight) * 2, SharedBusTimeUs(one) * 3) << "a high-speed hub is bound by latency";
  // A bus full of packets: occupancy decides, however short the waits.
  const RunStats busy{.latencyUs = 10, .occupancyNs = 1'000'000};
  EXPECT_EQ(SharedBusTimeUs(std::vector<RunStats>(4, busy)), 10u + 4000u);

  // Separate buses run side by side: the slowest decides.
  std::vector<ChipState> chips;
  for (const char* location : {"1-1", "1-2", "2-1"}) {
    chips.emplace_back(ChipConfig{}, location);
    chips.back().lastRun = busy;
  }
  chips[2].lastRun.latencyUs = 3000;
  EXPECT_EQ(SlowestBusTimeUs(chips), 3000u + 1000u);
  chips[2].lastRun.latencyUs = 500;
  EXPECT_EQ(SlowestBusTimeUs(chips), 10u + 2000u);
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
  EXPECT_EQ(small.latencyUs, 514 * ControlTransferLatencyUs(BusSpeed::kFull, 8));
  EXPECT_EQ(small.occupancyNs, 514 * ControlTransferOccupancyNs(BusSpeed::kFull, 8));
  EXPECT_GT(small.BusTimeUs(), 7 * large.BusTimeUs());
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
