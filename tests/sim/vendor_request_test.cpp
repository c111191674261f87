// The chip's side of the vendor requests: the packing of address, length and
// selector into wValue and wIndex, and which requests a chip without the
// vendor transport still answers.
#include "sim_fixture.h"

namespace quillon::sim::testing {
namespace {

using VendorRequests = SimFixture;

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

TEST_F(VendorRequests, GeneralFormCarriesAddressBits16To19AndSelectorInWValue) {
  SimChip& chip = AddAndOpen({.transport = Transport::kVendor, .memorySize = 0x40000});
  const auto image = Pattern(0x40000);
  chip.state().memory.Load(image);

  std::vector<std::uint8_t> data(16);
  ASSERT_EQ(Transfer(0xC0, 0x2E, 0x0103, 0x2345, data).error, kUsbOk);  // SPI read at 0x12345, select 3
  EXPECT_EQ(data, std::vector<std::uint8_t>(image.begin() + 0x12345, image.begin() + 0x12355));

  std::vector<std::uint8_t> piece(4096);
  ASSERT_EQ(Transfer(0xC0, 0x2E, 0x0200, 0x0000, piece).error, kUsbOk);  // the piece at 0x20000
  EXPECT_EQ(piece, std::vector<std::uint8_t>(image.begin() + 0x20000, image.begin() + 0x21000));

  // Length bits 16..19 that wLength cannot carry are refused.
  std::vector<std::uint8_t> small(8);
  EXPECT_EQ(Transfer(0xC0, 0x2E, 0x1000, 0, small).error, kUsbErrorIo);
}

TEST_F(VendorRequests, EepromWriteTagIsOneByteAtAddressOne) {
  SimChip& chip = AddAndOpen({.transport = Transport::kBoth, .memory = MemoryKind::kEeprom8, .memorySize = 256});
  std::vector<std::uint8_t> tag = {0xA5};
  ASSERT_EQ(Transfer(0x40, 0x36, 0x0000, 0x0001, tag).error, kUsbOk);
  EXPECT_EQ(chip.state().memory.bytes()[1], 0xA5);
  EXPECT_EQ(chip.state().memory.bytes()[0], 0xFF);
}

TEST_F(VendorRequests, StatusPiecesOfEightBytes) {
  AddAndOpen({.transport = Transport::kVendor});
  std::vector<std::uint8_t> piece0(8), piece3(8), wide(12);
  ASSERT_EQ(Transfer(0xC0, 0x07, 0, 0, piece0).error, kUsbOk);
  ASSERT_EQ(Transfer(0xC0, 0x07, 3, 0, piece3).error, kUsbOk);
  EXPECT_EQ(std::string(piece3.begin(), piece3.begin() + 7), "KESTRAN");
  // One request answers one piece, however much was asked for.
  EXPECT_EQ(Transfer(0xC0, 0x07, 0, 0, wide).length, 8u);
}

TEST_F(VendorRequests, RegisterReadAndWriteThroughRequests25And24) {
  AddAndOpen({.transport = Transport::kVendor, .ic = IcFamily::kTq7702});
  std::vector<std::uint8_t> mode(2);
  ASSERT_EQ(Transfer(0xC0, 0x25, 0x0000, 0xFE21, mode).error, kUsbOk);
  EXPECT_EQ(mode, (std::vector<std::uint8_t>{0x10, 0x70}));
  std::vector<std::uint8_t> value = {0x5A};
  ASSERT_EQ(Transfer(0x40, 0x24, 0x0000, 0xFEA0, value).error, kUsbOk);
  std::vector<std::uint8_t> back(1);
  ASSERT_EQ(Transfer(0xC0, 0x25, 0x0000, 0xFEA0, back).error, kUsbOk);
  EXPECT_EQ(back[0], 0x5A);
}

TEST_F(VendorRequests, WhichRequestsAChipWithoutTheVendorTransportAnswers) {
  struct Case {
    ChipConfig config;
    bool status7, request6, reset22;
  };
  const Case cases[] = {
      {{.transport = Transport::kXu}, false, false, false},
      {{.transport = Transport::kXu, .request6 = true}, false, true, false},
      {{.transport = Transport::kBoth}, true, true, true},
  };
  for (const Case& c : cases) {
    SimBus local;
    local.AddChip(c.config);
    std::vector<UsbDeviceInfo> devices;
    local.ListDevices(devices);
    UsbHandle h = 0;
    ASSERT_EQ(local.Open(devices[0].instance, h), kUsbOk);
    std::vector<std::uint8_t> eight(8), one(1), none;
    EXPECT_EQ(local.ControlTransfer(h, {0xC0, 0x07, 0, 0, 8}, eight, 5000).ok(), c.status7);
    EXPECT_EQ(local.ControlTransfer(h, {0xC0, 0x06, 0, 0, 1}, one, 5000).ok(), c.request6);
    EXPECT_EQ(local.ControlTransfer(h, {0x40, 0x22, 0, 0, 0}, none, 5000).ok(), c.reset22);
  }
}

}  // namespace
}  // namespace quillon::sim::testing
