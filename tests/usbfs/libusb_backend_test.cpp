// The libusb backend on the Linux usbfs path, against simulated chips: what it
// lists, the transfers it makes, and how it reports stalls, time-outs, chips
// that leave, come back after a reset, or arrive.
#include <gmock/gmock.h>

#include <algorithm>
#include <array>

#include "sim/descriptors.h"
#include "usbfs/usbfs_fixture.h"

namespace quillon::testing {
namespace {

using ::testing::ElementsAre;

constexpr std::uint32_t kTimeoutMs = 1000;

class LibusbOnUsbfsTest : public UsbfsFixture {
 protected:
  UsbHandle OpenAt(const std::string& location) {
    for (const UsbDeviceInfo& device : List()) {
      if (device.location != location) continue;
      UsbHandle handle = 0;
      EXPECT_EQ(libusb->Open(device.instance, handle), kUsbOk);
      return handle;
    }
    ADD_FAILURE() << "nothing listed at " << location;
    return 0;
  }
  TransferResult Vendor(UsbHandle handle, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                        std::span<std::uint8_t> data, std::uint32_t timeoutMs = kTimeoutMs) {
    SetupPacket setup{type, request, value, 0, static_cast<std::uint16_t>(data.size())};
    return libusb->ControlTransfer(handle, setup, data, timeoutMs);
  }
  // Vendor request 7, piece 3: bytes 24..31 of the status block, the signature.
  TransferResult ReadSignature(UsbHandle handle, std::array<std::uint8_t, 8>& out) {
    return Vendor(handle, 0xC0, 0x07, 3, out);
  }
};

sim::ChipConfig Audio() { return {}; }
sim::ChipConfig VendorCamera() {
  sim::ChipConfig c;
  c.kind = DeviceKind::kCamera;
  c.transport = sim::Transport::kVendor;
  c.productId = 0x0099;
  c.bcdDevice = 0x0102;
  return c;
}

TEST_F(LibusbOnUsbfsTest, ListsEveryChipAsTheSimulatorDoesAndNoHub) {
  bus.AddChip(Audio());
  bus.AddChip(VendorCamera());
  StartLibusb();
  std::vector<UsbDeviceInfo> simulated;
  bus.ListDevices(simulated);
  std::vector<UsbDeviceInfo> listed = List();
  ASSERT_EQ(listed.size(), 2u) << "the root hub is no chip of ours";
  std::sort(listed.begin(), listed.end(), [](auto& a, auto& b) { return a.location < b.location; });
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(EventLog::Describe(listed[i]), EventLog::Describe(simulated[i]));
    EXPECT_EQ(listed[i].bcdDevice, simulated[i].bcdDevice);
  }
  // The address the kernel gave it names this enumeration.
  EXPECT_EQ(listed[0].instance, "1-1@2");
  EXPECT_EQ(listed[1].instance, "1-2@3");
  EXPECT_EQ(usbfs->ClaimCount("1-1") + usbfs->ClaimCount("1-2"), 0u) << "listing claims nothing";
}

TEST_F(LibusbOnUsbfsTest, LocationsFollowThePortChainBehindHubs) {
  // Chips loaded at any port: one on the root hub of bus 2, two behind hubs.
  std::vector<sim::ChipState> chips;
  chips.emplace_back(Audio(), "2-4");
  chips.emplace_back(Audio(), "2-1.3");
  chips.emplace_back(VendorCamera(), "2-1.2.7");
  sim::SimBus placed(std::move(chips));
  EmulatedUsbfs shown(placed);
  std::string why;
  std::unique_ptr<UsbBackend> backend = MakeLibusbBackend(why);
  ASSERT_TRUE(backend) << why;
  std::vector<UsbDeviceInfo> listed;
  ASSERT_EQ(backend->ListDevices(listed), kUsbOk);
  std::vector<std::string> locations;
  for (const UsbDeviceInfo& d : listed) locations.push_back(d.location);
  std::sort(locations.begin(), locations.end());
  EXPECT_THAT(locations, ElementsAre("2-1.2.7", "2-1.3", "2-4"));
}

TEST_F(LibusbOnUsbfsTest, ControlTransfersInBothDirections) {
  sim::SimChip& chip = bus.AddChip(VendorCamera());
  StartLibusb();
  UsbHandle handle = OpenAt("1-1");
  ASSERT_NE(handle, 0u);

  std::array<std::uint8_t, 18> device{};
  TransferResult r = libusb->ControlTransfer(handle, {0x80, 6, 0x0100, 0, 18}, device, kTimeoutMs);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.length, 18u);
  const std::vector<std::uint8_t> expected = sim::DeviceDescriptor(chip.state().config);
  EXPECT_TRUE(std::equal(device.begin(), device.end(), expected.begin()));

  // A string read that asks for more than there is returns what there is.
  std::array<std::uint8_t, 255> text{};
  r = libusb->ControlTransfer(handle, {0x80, 6, 0x0301, 0x0409, 255}, text, kTimeoutMs);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.length, text[0]);
  EXPECT_LT(r.length, 255u);

  std::array<std::uint8_t, 8> signature{};
  r = ReadSignature(handle, signature);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::string(signature.begin(), signature.end()), std::string("KESTRAN\0", 8));

  // Host to device: a register write lands in the chip.
  std::array<std::uint8_t, 1> one = {0x5A};
  r = libusb->ControlTransfer(handle, {0x40, 0x24, 0, 0xFF92, 1}, one, kTimeoutMs);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.length, 1u);
  EXPECT_EQ(chip.state().registers[0xFF92], 0x5A);

  EXPECT_TRUE(usbfs->Claimed("1-1").empty()) << "requests to the device leave the interface to its driver";
  libusb->Close(handle);
}

TEST_F(LibusbOnUsbfsTest, ClaimsTheControlInterfaceForItsRequestsOnceAndGivesItBack) {
  bus.AddChip(Audio());
  StartLibusb();
  UsbHandle handle = OpenAt("1-1");
  // GET_LEN of the extension unit's data control, twice.
  for (int i = 0; i < 2; ++i) {
    std::array<std::uint8_t, 2> length{};
    TransferResult r = libusb->ControlTransfer(
        handle, {0xA1, 0x85, 11 << 8, static_cast<std::uint16_t>(sim::kExtensionUnitId << 8), 2}, length, kTimeoutMs);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(length[0], 8);
  }
  EXPECT_EQ(usbfs->Claimed("1-1"), std::set<unsigned>{sim::kControlInterface});
  EXPECT_EQ(usbfs->ClaimCount("1-1"), 1u);
  libusb->Close(handle);
  EXPECT_TRUE(usbfs->Claimed("1-1").empty());
}

TEST_F(LibusbOnUsbfsTest, AStallIsAnIoErrorAndTheChipAnswersTheNextRequest) {
  bus.AddChip(Audio());  // no vendor-request transport: it stalls them
  StartLibusb();
  UsbHandle handle = OpenAt("1-1");
  std::array<std::uint8_t, 8> signature{};
  TransferResult r = ReadSignature(handle, signature);
  EXPECT_EQ(r.error, kUsbErrorIo);
  EXPECT_EQ(r.length, 0u);
  std::array<std::uint8_t, 18> device{};
  EXPECT_TRUE(libusb->ControlTransfer(handle, {0x80, 6, 0x0100, 0, 18}, device, kTimeoutMs).ok());
}

TEST_F(LibusbOnUsbfsTest, InjectedFailuresReachTheCallerAsIoErrors) {
  sim::SimChip& chip = bus.AddChip(VendorCamera());
  chip.state().faults.transfers.push_back({sim::TransferFaultKind::kFail, 2, 1});
  StartLibusb();
  UsbHandle handle = OpenAt("1-1");
  std::array<std::uint8_t, 8> signature{};
  EXPECT_TRUE(ReadSignature(handle, signature).ok());
  EXPECT_EQ(ReadSignature(handle, signature).error, kUsbErrorIo);
  EXPECT_TRUE(ReadSignature(handle, signature).ok());
}

TEST_F(LibusbOnUsbfsTest, ARequestTheChipNeverFinishesTimesOut) {
  sim::ChipConfig config = VendorCamera();
  sim::SimChip& chip = bus.AddChip(config);
  chip.state().faults.slowEraseMs = 60000;
  StartLibusb();
  usbfs->SetAnswerLimitMs(5000);
  UsbHandle handle = OpenAt("1-1");
  std::array<std::uint8_t, 0> none{};
  TransferResult r = Vendor(handle, 0x40, 0x32, 0, none, 50);  // chip erase
  EXPECT_EQ(r.error, kUsbErrorTimeout);
  EXPECT_EQ(usbfs->Discarded(), 1u);
  std::array<std::uint8_t, 8> signature{};
  EXPECT_TRUE(ReadSignature(handle, signature).ok()) << "the device is still there";
}

TEST_F(LibusbOnUsbfsTest, AChipThatLeavesFailsItsTransfersAndCannotBeOpenedAgain) {
  bus.AddChip(Audio());
  bus.AddChip(VendorCamera());
  StartLibusb();
  UsbHandle handle = OpenAt("1-2");
  std::string instance;
  for (const UsbDeviceInfo& device : List()) {
    if (device.location == "1-2") instance = device.instance;
  }
  bus.UnplugChip(1);
  Pass(1);
  std::array<std::uint8_t, 8> signature{};
  EXPECT_EQ(ReadSignature(handle, signature).error, kUsbErrorDeviceGone);
  libusb->Close(handle);
  std::vector<UsbDeviceInfo> listed = List();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].location, "1-1");
  UsbHandle again = 0;
  EXPECT_EQ(libusb->Open(instance, again), kUsbErrorNotFound);
  EXPECT_EQ(again, 0u);
}

TEST_F(LibusbOnUsbfsTest, PowerLostDuringATransferIsDeviceGone) {
  sim::SimChip& chip = bus.AddChip(VendorCamera());
  chip.state().faults.transfers.push_back({sim::TransferFaultKind::kPowerLoss, 2, 1000});
  StartLibusb();
  UsbHandle handle = OpenAt("1-1");
  std::array<std::uint8_t, 8> signature{};
  EXPECT_TRUE(ReadSignature(handle, signature).ok());
  EXPECT_EQ(ReadSignature(handle, signature).error, kUsbErrorDeviceGone) << "the transfer under way";
  Pass(1);
  EXPECT_EQ(ReadSignature(handle, signature).error, kUsbErrorDeviceGone) << "and the next, on the vanished node";
  EXPECT_TRUE(List().empty());
}

TEST_F(LibusbOnUsbfsTest, AResetComesBackAtTheSamePortWithANewAddress) {
  sim::ChipConfig config = VendorCamera();
  config.offBusMs = 300;
  bus.AddChip(config);
  StartLibusb();
  UsbHandle handle = OpenAt("1-1");
  const std::string before = List().at(0).instance;
  std::array<std::uint8_t, 0> none{};
  ASSERT_TRUE(Vendor(handle, 0x40, 0x21, 0, none).ok());  // reset into the code
  Pass(10);
  EXPECT_TRUE(List().empty()) << "off the bus";
  std::array<std::uint8_t, 8> signature{};
  EXPECT_EQ(ReadSignature(handle, signature).error, kUsbErrorDeviceGone);
  Pass(300);
  std::vector<UsbDeviceInfo> listed = List();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].location, "1-1");
  EXPECT_NE(listed[0].instance, before);
  EXPECT_EQ(listed[0].instance, "1-1@3");
  libusb->Close(handle);
  UsbHandle again = OpenAt("1-1");
  EXPECT_TRUE(ReadSignature(again, signature).ok());
  libusb->Close(again);
}

TEST_F(LibusbOnUsbfsTest, HotplugEventsNameTheChipThatCameAndWent) {
  bus.AddChip(Audio());
  StartLibusb();
  EventLog events;
  libusb->SetEventListener(&events);
  bus.PlugChip(VendorCamera());
  Pass(1);
  List();  // libusb takes in what the kernel announced
  libusb->HandleEvents();
  bus.UnplugChip(0);
  Pass(1);
  List();
  libusb->HandleEvents();
  EXPECT_THAT(events.lines, ElementsAre("arrived 1-2 3a7c:0099 kind 1 if 0", "removed 1-1 3a7c:0011 kind 0 if 0"));
  libusb->SetEventListener(nullptr);
}

}  // namespace
}  // namespace quillon::testing
