// The pure pieces of USB access: locations, device kinds, error codes and setup packets.
#include <gtest/gtest.h>
#include <libusb.h>

#include "proxy/libusb_backend.h"
#include "proxy/transfers.h"
#include "proxy/usb_location.h"

namespace quillon {
namespace {

TEST(UsbLocationTest, TextPortAndHub) {
  struct Case {
    std::uint8_t bus;
    std::vector<std::uint8_t> ports;
    const char* text;
    std::uint32_t port;
    const char* hub;
  };
  const Case cases[] = {
      {3, {1, 4}, "3-1.4", 4, "3-1"},
      {3, {1}, "3-1", 1, "usb3"},
      {1, {2, 3, 12}, "1-2.3.12", 12, "1-2.3"},
      {2, {}, "usb2", 0, ""},
  };
  for (const Case& c : cases) {
    std::string text = LocationText(c.bus, c.ports);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(PortAddress(text), c.port) << text;
    EXPECT_EQ(HubLocation(text), c.hub) << text;
  }
  EXPECT_TRUE(IsSameLocationText("3-1.4", "3-1.4"));
  EXPECT_FALSE(IsSameLocationText("3-1.4", "3-1.5"));
  EXPECT_FALSE(IsSameLocationText("3-1.4", "4-1.4"));
  EXPECT_FALSE(IsSameLocationText("", ""));
  EXPECT_EQ(PortAddress("3-1.x"), 0u);
}

TEST(DeviceKindTest, FirstControlInterfaceDecides) {
  struct Case {
    const char* what;
    std::vector<InterfaceClass> interfaces;
    bool ours;
    DeviceKind kind;
    std::uint8_t number;
  };
  const Case cases[] = {
      {"audio control", {{0, 0x01, 0x01}, {1, 0x01, 0x02}}, true, DeviceKind::kAudio, 0},
      {"video control", {{0, 0x0E, 0x01}, {1, 0x0E, 0x02}}, true, DeviceKind::kCamera, 0},
      {"composite, control second", {{0, 0x03, 0x00}, {2, 0x01, 0x01}}, true, DeviceKind::kAudio, 2},
      {"streaming only", {{1, 0x01, 0x02}, {2, 0x0E, 0x02}}, false, DeviceKind::kAudio, 0},
      {"mass storage", {{0, 0x08, 0x06}}, false, DeviceKind::kAudio, 0},
  };
  for (const Case& c : cases) {
    DeviceKind kind = DeviceKind::kAudio;
    std::uint8_t number = 0;
    EXPECT_EQ(ClassifyInterfaces(c.interfaces, kind, number), c.ours) << c.what;
    if (!c.ours) continue;
    EXPECT_EQ(kind, c.kind) << c.what;
    EXPECT_EQ(number, c.number) << c.what;
  }
}

TEST(UsbErrorTest, LibusbErrorsMapToTheKeptCodes) {
  struct Case {
    int libusb;
    std::uint32_t ours;
  };
  const Case cases[] = {
      {LIBUSB_SUCCESS, 0},           {LIBUSB_ERROR_NO_DEVICE, 1167}, {LIBUSB_ERROR_TIMEOUT, 1460},
      {LIBUSB_ERROR_NOT_FOUND, 2},   {LIBUSB_ERROR_INVALID_PARAM, 87}, {LIBUSB_ERROR_PIPE, 31},
      {LIBUSB_ERROR_IO, 31},         {LIBUSB_ERROR_ACCESS, 5},       {LIBUSB_ERROR_BUSY, 170},
      {LIBUSB_ERROR_OVERFLOW, 31},   {LIBUSB_ERROR_OTHER, 31},       {-1234, 31},
  };
  for (const Case& c : cases) EXPECT_EQ(UsbErrorFromLibusb(c.libusb), c.ours) << c.libusb;
}

TEST(SetupPacketTest, DirectionFollowsTheTransfer) {
  SetupPacket set = UvcControlSetup(0x01, 10, 4, 0, 8, false);
  EXPECT_EQ(set.bmRequestType, 0x21);
  EXPECT_EQ(set.wValue, 0x0A00);
  EXPECT_EQ(set.wIndex, 0x0400);
  SetupPacket get = UvcControlSetup(0x81, 11, 4, 2, 64, true);
  EXPECT_EQ(get.bmRequestType, 0xA1);
  EXPECT_EQ(get.wValue, 0x0B00);
  EXPECT_EQ(get.wIndex, 0x0402);
  EXPECT_EQ(get.wLength, 64);
  // Request 6 is passed as 0x40 with the read flag: on the wire a device-to-host request.
  EXPECT_EQ(VendorSetup(0x40, 6, 0, 0, 1, 1).bmRequestType, 0xC0);
  EXPECT_EQ(VendorSetup(0xC0, 7, 3, 0, 8, 1).bmRequestType, 0xC0);
  EXPECT_EQ(VendorSetup(0x40, 0x20, 0, 0, 0, 0).bmRequestType, 0x40);
}

TEST(ProxyOpenTest, NothingOpensBeforeStartUp) {
  UsbHandle handle = 99;
  EXPECT_EQ(VxProxy_Open("1-1@2", handle), kErrorNotStarted);
  EXPECT_EQ(handle, 0u);
  std::array<std::uint8_t, 18> descriptor{};
  UrbResult result = GetDeviceDescriptor(1, descriptor);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, kErrorNotStarted);
}

}  // namespace
}  // namespace quillon
