// Modes and resets: a reset drops the chip off the bus for its off-bus time and
// brings it back at the same location as a new instance, in its loader after
// the reset to update and as the loader's start rule says otherwise; the chip-
// mode register names the family in every state.
#include <functional>

#include "sim/chip_model.h"
#include "sim_fixture.h"

namespace quillon::sim::testing {
namespace {

class Resets : public SimFixture {
 protected:
  std::uint32_t Reset(std::uint8_t command, std::uint8_t value = 0) {
    return Command({0x00, command, value, 0, 0, 0, 0, 0});
  }
  // Waits out the off-bus time and opens the chip again.
  void Reopen(const SimChip& chip) {
    clock.Advance(chip.state().config.offBusMs);
    handle = OpenAt(chip.state().location);
    ASSERT_NE(handle, 0u);
  }
  int Where() {
    auto bytes = ReadMem(0xC2A8, 1);
    return bytes.empty() ? -1 : bytes[0];
  }
};

class Events : public UsbEventListener {
 public:
  void OnDeviceArrived(const UsbDeviceInfo& d) override { log.push_back("+" + d.instance); }
  void OnDeviceRemoved(const UsbDeviceInfo& d) override { log.push_back("-" + d.instance); }
  std::vector<std::string> log;
};

TEST_F(Resets, ComesBackAtTheSameLocationAsANewInstance) {
  SimChip& chip = AddAndOpen({.offBusMs = 700});
  Events events;
  bus.SetEventListener(&events);
  ASSERT_EQ(Command({0x00, 0x16, 0, 0, 64, 0, 0, 0}), kUsbOk);
  const UsbHandle old = handle;
  const std::string oldInstance = chip.state().InstanceName();

  ASSERT_EQ(Reset(0x07, 2), kUsbOk);
  std::vector<UsbDeviceInfo> devices;
  bus.ListDevices(devices);
  EXPECT_TRUE(devices.empty());
  EXPECT_EQ(Status(), -1);
  std::vector<std::uint8_t> data(8);
  EXPECT_EQ(bus.ControlTransfer(old, {0xA1, 0x81, 0x0A00, 0x0300, 8}, data, 5000).error, kUsbErrorDeviceGone);

  clock.Advance(699);
  bus.ListDevices(devices);
  EXPECT_TRUE(devices.empty()) << "back before its off-bus time";
  clock.Advance(1);
  bus.ListDevices(devices);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].location, "1-1");
  EXPECT_NE(devices[0].instance, oldInstance);
  EXPECT_EQ(bus.ControlTransfer(old, {0xA1, 0x81, 0x0A00, 0x0300, 8}, data, 5000).error, kUsbErrorDeviceGone);
  EXPECT_EQ(bus.HandleEvents(), 2u);
  EXPECT_EQ(events.log, (std::vector<std::string>{"-" + oldInstance, "+" + devices[0].instance}));

  handle = OpenAt("1-1");
  EXPECT_EQ(GetLen(), 8) << "data-control size after a reset";
  EXPECT_EQ(Where(), 0);
  bus.SetEventListener(nullptr);
}

TEST_F(Resets, LoaderStartRuleDecidesTheModeAfterAResetToNewCode) {
  using Fill = std::function<void(ChipState&)>;
  auto put = [](std::uint32_t address, std::vector<std::uint8_t> bytes) {
    return [=](ChipState& s) {
      std::vector<std::uint8_t> image(s.memory.bytes().begin(), s.memory.bytes().end());
      std::copy(bytes.begin(), bytes.end(), image.begin() + address);
      s.memory.Load(image);
    };
  };
  struct Case {
    const char* name;
    MemoryKind memory;
    std::uint32_t size;
    Fill fill;
    int where;
  };
  const Case cases[] = {
      {"blank flash", MemoryKind::kSpi, 0x10000, [](ChipState&) {}, 0},
      {"tag at 0xEFFE", MemoryKind::kSpi, 0x10000, put(0xEFFE, {0x55, 0xAA}), 8},
      {"header at 0xF000", MemoryKind::kSpi, 0x10000, put(0xF000, {0x55, 0xA5}), 8},
      {"spoiled header and tag", MemoryKind::kSpi, 0x10000, put(0xEFFE, {0x00, 0x00, 0x00, 0xA5}), 0},
      {"flash header at 0", MemoryKind::kSpi, 0x4000, put(0, {0x55, 0xA5, 0xC3}), 32},
      {"EEPROM type byte at 0", MemoryKind::kSpi, 0x4000, put(0, {0x11, 0xA5}), 0},
      {"EEPROM tag", MemoryKind::kEeprom16, 0x8000, put(1, {0xA5}), 8},
      {"EEPROM untagged", MemoryKind::kEeprom8, 256, put(1, {0x5A}), 0},
      {"OTP code block", MemoryKind::kOtp, 0, put(0x3F70, {0x00, 0x00, 0x01, 0x00, 0x55}), 16},
      {"OTP retired block", MemoryKind::kOtp, 0, put(0x3F70, {0x00, 0x00, 0x01, 0x00, 0xFF}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimChip& chip = bus.AddChip({.memory = c.memory, .memorySize = c.size});
    c.fill(chip.state());
    handle = OpenAt(chip.state().location);
    ASSERT_EQ(Reset(0x09), kUsbOk);
    Reopen(chip);
    EXPECT_EQ(Where(), c.where);
    // The reset to update always lands in the loader.
    ASSERT_EQ(Reset(0x07, 6), kUsbOk);
    Reopen(chip);
    EXPECT_EQ(Where(), 0);
  }
}

TEST_F(Resets, ChipModeRegisterNamesTheFamilyInEveryState) {
  const std::pair<IcFamily, std::vector<std::uint8_t>> cases[] = {
      {IcFamily::kTq7702, {0x10, 0x70}}, {IcFamily::kTq7704, {0x10, 0xB0}}, {IcFamily::kTq7724, {0x10, 0xF0}}};
  for (const auto& [ic, mode] : cases) {
    SimChip& chip = AddAndOpen({.ic = ic});
    EXPECT_EQ(ReadMem(0xFE21, 2), mode);
    std::vector<std::uint8_t> tag = {0x55, 0xAA};
    ASSERT_EQ(XuWrite(SpiBlock(0x82, 0xEFFE, 2), tag), kUsbOk);
    ASSERT_EQ(Reset(0x08), kUsbOk);
    Reopen(chip);
    EXPECT_EQ(ReadMem(0xFE21, 2), mode) << "running code";
    auto piece9 = XuRead({0x00, 0xCD, 9, 0, 8, 0, 0, 0}, 8);
    EXPECT_EQ(piece9.at(0), 0x31) << "status byte 72 while running";
  }
}

TEST_F(Resets, StatusBlockCarriesTheRunningImagesVersionRecord) {
  SimChip& chip = AddAndOpen();
  std::vector<std::uint8_t> image(0x10000, 0xFF);
  const std::uint8_t record[8] = {0x41, 0x19, 0x00, 0x00, 0x01, 0x15, 0x00, 0x00};
  std::copy(std::begin(record), std::end(record), image.begin() + 0x100C);
  image[0xF000] = 0x55;
  image[0xF001] = 0xA5;
  chip.state().memory.Load(image);
  ASSERT_EQ(Reset(0x09), kUsbOk);
  Reopen(chip);

  std::vector<std::uint8_t> status;
  for (std::uint8_t piece = 0; piece < 20; ++piece) {
    auto bytes = XuRead({0x00, 0xCD, piece, 0, 8, 0, 0, 0}, 8);
    status.insert(status.end(), bytes.begin(), bytes.end());
  }
  ASSERT_EQ(status.size(), 160u);
  EXPECT_EQ(status[72], 0x31);
  EXPECT_EQ(std::vector<std::uint8_t>(status.begin() + 76, status.begin() + 84),
            (std::vector<std::uint8_t>{0x00, 0x00, 0x19, 0x41, 0x00, 0x00, 0x15, 0x01}));
  EXPECT_EQ(std::vector<std::uint8_t>(status.begin() + 140, status.begin() + 148),
            std::vector<std::uint8_t>(std::begin(record), std::end(record)));
  ASSERT_TRUE(RunningVersion(chip.state()).has_value());
  EXPECT_EQ(VersionText(*RunningVersion(chip.state())), "4.119.0000-0115.0000");
}

TEST_F(Resets, AnswersNotReadyForAWhileAfterComingBack) {
  SimChip& chip = AddAndOpen({.transport = Transport::kBoth, .notReadyMs = 400});
  std::vector<std::uint8_t> none;
  ASSERT_EQ(Transfer(0x40, 0x20, 0, 0, none).error, kUsbOk);  // reset to update by vendor request
  Reopen(chip);
  std::vector<std::uint8_t> descriptor(18);
  EXPECT_EQ(Transfer(0x80, 6, 0x0100, 0, descriptor).error, kUsbErrorNotReady);
  clock.Advance(400);
  EXPECT_EQ(Transfer(0x80, 6, 0x0100, 0, descriptor).error, kUsbOk);
}

TEST_F(Resets, ResetByRequestOneNamesTheCommandInWIndex) {
  SimChip& chip = AddAndOpen({.request6 = true});
  std::vector<std::uint8_t> none;
  EXPECT_EQ(Transfer(0x40, 0x01, 0, 0x0005, none).error, kUsbErrorIo);  // no command 5
  ASSERT_EQ(Transfer(0x40, 0x01, 1, 0x0007, none).error, kUsbOk);
  std::vector<UsbDeviceInfo> devices;
  bus.ListDevices(devices);
  EXPECT_TRUE(devices.empty());
  Reopen(chip);
  EXPECT_EQ(Where(), 0);
}

}  // namespace
}  // namespace quillon::sim::testing
