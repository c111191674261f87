// Choosing the target device: port locking, the window listings and the
// accepted-device checks, on simulated chips.
#include <gtest/gtest.h>

#include "data/settings.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

class ListView final : public DeviceListView {
 public:
  void Clear() override { entries.clear(); }
  void Append(const std::string& text) override { entries.push_back(text); }
  int Count() const override { return static_cast<int>(entries.size()); }
  void Select(int index) override { selected = index; }
  std::string Text(int index) const override {
    return index >= 0 && index < Count() ? entries[static_cast<std::size_t>(index)] : std::string();
  }
  std::vector<std::string> entries;
  int selected = -2;
};

class WindowFrontEnd final : public FlowFrontEnd {
 public:
  DeviceListView* DeviceList() override { return &list; }
  ListView list;
};

class DiscoveryTest : public testing::FlowFixture {
 protected:
  void TearDown() override {
    SetFrontEnd(nullptr);
    FlowFixture::TearDown();
  }
};

// With "PortNo" 0 the first accepted device's port is remembered for the rest
// of the process, so a device at another port is refused afterwards.
TEST_F(DiscoveryTest, LockPortRemembersTheFirstPortInMemory) {
  UseSettings("LockPort=1\r\nPortNo=0\r\n");
  AddChipWith({}, {});
  AddChipWith({}, {});
  ASSERT_EQ(flow->DEV_OpenDeviceByVIDPID(), 1);
  EXPECT_EQ(flow->portAddress, 1u);
  EXPECT_EQ(Setting(key::kPortNo, 0), 1u);
  flow->MP_CloseDevice();

  // Only the chip at the other port is left on the bus.
  hookBus->hide = [](const UsbDeviceInfo& d) { return d.location == "1-1"; };
  EXPECT_EQ(flow->DEV_OpenDeviceByVIDPID(), 0);
  EXPECT_EQ(LastStatus(), msg::kVidPidNotMatch);
}

TEST_F(DiscoveryTest, VidPidOpenWithoutDevicesOrWithoutAcceptedOnes) {
  EXPECT_EQ(flow->DEV_OpenDeviceByVIDPID(), 0);
  EXPECT_EQ(LastStatus(), 0u) << "no device: reported as info, the status cleared";
  AddChipWith({.productId = 0x0099}, {});
  EXPECT_EQ(flow->DEV_OpenDeviceByVIDPID(), 0);
  EXPECT_EQ(LastStatus(), msg::kVidPidNotMatch);
}

// The second pass chooses only a device that passes the configured check.
TEST_F(DiscoveryTest, ListingNeverChoosesARejectedDevice) {
  UseSettings("CheckVIDPID_INI=1\r\n");
  WindowFrontEnd window;
  SetFrontEnd(&window);
  AddChipWith({.productId = 0x0011}, {});
  AddChipWith({.productId = 0x0099}, {});
  window.Location() = {7, "nowhere"};
  flow->DEV_GetDeviceListForTessaro();
  EXPECT_EQ(flow->selectedOrdinal, 0);
  EXPECT_EQ(window.list.entries, std::vector<std::string>{"VID_3A7C&PID_0011&REV_0001"});
  EXPECT_EQ(window.Location().portAddress, 1u);
  EXPECT_EQ(LastStatus(), msg::kCheckDeviceInfoSucceed);
}

TEST_F(DiscoveryTest, ListingWithOnlyRejectedDevicesChoosesNone) {
  UseSettings("CheckVIDPID_INI=1\r\n");
  WindowFrontEnd window;
  SetFrontEnd(&window);
  AddChipWith({.productId = 0x0099}, {});
  AddChipWith({.productId = 0x0098}, {});
  flow->DEV_GetDeviceListForTessaro();
  EXPECT_EQ(flow->selectedOrdinal, -1);
  EXPECT_EQ(window.Location(), RememberedLocation{}) << "no rejected device is remembered";
  EXPECT_EQ(LastStatus(), msg::kDetectDeviceFail);
  EXPECT_EQ(flow->device.handle, 0u) << "the listing leaves no device open";
}

TEST_F(DiscoveryTest, DefaultListingThenReopenByLocationAndAfterReset) {
  WindowFrontEnd window;
  SetFrontEnd(&window);
  UseSettings("CheckVIDPID_INI=1\r\n");
  AddChipWith({}, MakeImage("tq7704"));
  AddChipWith({}, {});
  flow->DEV_GetDefaultDeviceForTessaro();
  EXPECT_EQ(flow->selectedOrdinal, 0);
  EXPECT_EQ(window.list.selected, 0);
  EXPECT_EQ(window.SelectionText(), "VID_3A7C&PID_0011&REV_0001");
  EXPECT_EQ(flow->image.versionDisplay, "Update FW version:4.119.0000-0115.0000");
  EXPECT_EQ(flow->device.handle, 0u);

  EXPECT_EQ(flow->Dev_OpenDeviceForMultiCamera(), 1);
  EXPECT_EQ(flow->portAddress, 1u);
  flow->MP_CloseDevice();
  EXPECT_EQ(flow->DEV_GetDeviceListAfterReset(), 1);
  EXPECT_EQ(LastStatus(), msg::kCheckDeviceInfoSucceed);

  window.SelectionText() = "VID_3A7C&PID_0011&REV_0002";  // came back with another revision
  EXPECT_EQ(flow->DEV_GetDeviceListAfterReset(), 1);
  EXPECT_EQ(LastStatus(), msg::kDetectDeviceFail);
}

TEST_F(DiscoveryTest, VidPidListFileNeedsTheRevision) {
  temp.Write("VidPidList.ini", "  VID_3A7C&PID_0011&REV_0001  \r\nVID_3A7C&PID_0022\r\n//VID_3A7C&PID_0033&REV_0001\r\n");
  EXPECT_TRUE(IsInVidPidListFile("VID_3A7C&PID_0011&REV_0001"));
  EXPECT_FALSE(IsInVidPidListFile("VID_3A7C&PID_0011&REV_0002"));
  EXPECT_FALSE(IsInVidPidListFile("VID_3A7C&PID_0022&REV_0001")) << "a line without REV accepts nothing";
  EXPECT_FALSE(IsInVidPidListFile("VID_3A7C&PID_0033&REV_0001"));
  std::filesystem::remove(temp.path() / "VidPidList.ini");
  EXPECT_FALSE(IsInVidPidListFile("VID_3A7C&PID_0011&REV_0001"));
}

TEST_F(DiscoveryTest, OpenByIndexAndCloseSendsTheResetToRom) {
  AddChipWith({}, MakeImage("tq7704"));
  EXPECT_EQ(flow->DEV_OpenDeviceByICIni(1), 0);
  ASSERT_EQ(flow->DEV_OpenDeviceByICIni(0), 1);
  EXPECT_EQ(flow->fullIdText, "VID_3A7C&PID_0011&REV_0001");
  EXPECT_EQ(flow->chipMode, (std::array<std::uint8_t, 2>{0x10, 0xB0}));
  MarkWire();
  flow->DEV_CloseDevice();
  EXPECT_EQ(flow->device.handle, 0u);
  ASSERT_FALSE(WireCommands().empty());
  EXPECT_EQ(WireCommands().back().op, "0009");
}

}  // namespace
}  // namespace quillon
