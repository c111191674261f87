// Choosing the target device: port locking, the window listings and the
// accepted-device checks, on simulated chips.
#include <gtest/gtest.h>

#include <functional>

#include "data/settings.h"
#include "device/link_failure.h"
#include "flow/device_selection.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow_fixture.h"

namespace quillon {
namespace {

using testing::OpText;

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
  EXPECT_EQ(flow->chip.portAddress, 1u);
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

// A chip without the extension unit stalls its qualify question; that is the
// chip's answer, so no link failure is left to take the blame for a later
// verdict (a VID/PID refusal reported as "USB Link Fail!").
TEST_F(DiscoveryTest, OpeningLeavesNoLinkFailureOnAnyTransport) {
  std::size_t chip = 0;
  for (sim::Transport transport : {sim::Transport::kXu, sim::Transport::kVendor, sim::Transport::kBoth}) {
    SCOPED_TRACE(static_cast<int>(transport));
    AddChipWith({.transport = transport}, {});
    ASSERT_EQ(flow->DEV_OpenDeviceByICIni(0), 1);
    EXPECT_EQ(PendingLinkFailure().value_or(LinkFailure{}).operation, "");
    flow->MP_CloseDevice();
    ASSERT_TRUE(bus.PullChip(chip++));
  }
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
  EXPECT_EQ(flow->chip.selectedOrdinal, 0);
  EXPECT_EQ(window.list.entries, std::vector<std::string>{"VID_3A7C&PID_0011&REV_0001"});
  EXPECT_EQ(window.Location().portAddress, 1u);
  EXPECT_EQ(LastStatus(), msg::kCheckDeviceInfoSucceed);
}

// A listing that finds a unit at the remembered port judges that unit, not
// whichever unit a listing judged before it (a refused unit of another product).
TEST_F(DiscoveryTest, ListingAtTheRememberedPortJudgesTheUnitThere) {
  UseSettings("CheckVIDPID_INI=1\r\n");
  WindowFrontEnd window;
  SetFrontEnd(&window);
  AddChipWith({.productId = 0x0099}, {});
  AddChipWith({.productId = 0x0011}, {});
  flow->DEV_GetDeviceListForTessaro();
  ASSERT_EQ(window.Location().portAddress, 2u);
  flow->chip.accepted = 0;  // as the listing of a refused unit leaves it
  flow->DEV_GetDeviceListForTessaro();
  EXPECT_EQ(flow->chip.fullIdText, "VID_3A7C&PID_0011&REV_0001");
  EXPECT_EQ(flow->chip.accepted, 1u);
}

TEST_F(DiscoveryTest, ListingWithOnlyRejectedDevicesChoosesNone) {
  UseSettings("CheckVIDPID_INI=1\r\n");
  WindowFrontEnd window;
  SetFrontEnd(&window);
  AddChipWith({.productId = 0x0099}, {});
  AddChipWith({.productId = 0x0098}, {});
  flow->DEV_GetDeviceListForTessaro();
  EXPECT_EQ(flow->chip.selectedOrdinal, -1);
  EXPECT_EQ(window.Location(), RememberedLocation{}) << "no rejected device is remembered";
  EXPECT_EQ(LastStatus(), msg::kDetectDeviceFail);
  EXPECT_EQ(flow->chip.device.handle, 0u) << "the listing leaves no device open";
}

TEST_F(DiscoveryTest, DefaultListingThenReopenByLocationAndAfterReset) {
  WindowFrontEnd window;
  SetFrontEnd(&window);
  UseSettings("CheckVIDPID_INI=1\r\n");
  AddChipWith({}, MakeImage("tq7704"));
  AddChipWith({}, {});
  flow->DEV_GetDefaultDeviceForTessaro();
  EXPECT_EQ(flow->chip.selectedOrdinal, 0);
  EXPECT_EQ(window.list.selected, 0);
  EXPECT_EQ(window.SelectionText(), "VID_3A7C&PID_0011&REV_0001");
  EXPECT_EQ(flow->chip.image.versionDisplay, "Update FW version:4.119.0000-0115.0000");
  EXPECT_EQ(flow->chip.device.handle, 0u);

  EXPECT_EQ(flow->Dev_OpenDeviceForMultiCamera(), 1);
  EXPECT_EQ(flow->chip.portAddress, 1u);
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
  EXPECT_EQ(flow->chip.fullIdText, "VID_3A7C&PID_0011&REV_0001");
  EXPECT_EQ(flow->chip.chipMode, (std::array<std::uint8_t, 2>{0x10, 0xB0}));
  MarkWire();
  flow->DEV_CloseDevice();
  EXPECT_EQ(flow->chip.device.handle, 0u);
  ASSERT_FALSE(WireCommands().empty());
  EXPECT_EQ(WireCommands().back().op, OpText(sim::Op::kResetToRom));
}

// ---- the choices as pure rules, without a bus ----

// Three devices as a walk sees them: the middle one not in the accepted list.
std::vector<SeenDevice> Bus(bool middleAccepted) {
  std::vector<SeenDevice> devices(3);
  for (int i = 0; i < 3; ++i) {
    SeenDevice& d = devices[static_cast<std::size_t>(i)];
    d.index = i;
    d.ordinal = i;
    d.identity = "VID_3A7C&PID_0011&REV_000" + std::to_string(i);
    d.location = {static_cast<std::uint32_t>(i + 1), "1"};
    d.listed = i != 1;
    d.accepted = i != 1 || middleAccepted;
  }
  devices[0].listIndex = 0;
  devices[1].listIndex = 0;  // not listed: the list still ends at the first one's entry
  devices[2].listIndex = 1;
  return devices;
}

TEST(DeviceChoiceTest, EachOperationsRule) {
  struct Case {
    const char* name;
    std::vector<SeenDevice> devices;
    std::function<std::optional<DeviceChoice>(const SeenDevice&)> rule;
    std::optional<DeviceChoice> expected;
  };
  auto firstRejected = Bus(true);
  firstRejected[0].accepted = false;
  const Case cases[] = {
      {"default without a check: the first device, no list entry", Bus(false),
       [](const SeenDevice& d) { return ChooseDefault(d, false); }, DeviceChoice{0, std::nullopt}},
      {"default with a check: the first accepted one and the list's last entry", firstRejected,
       [](const SeenDevice& d) { return ChooseDefault(d, true); }, DeviceChoice{1, 0}},
      {"first pass: the listed device at the remembered location", Bus(true),
       [](const SeenDevice& d) { return ChooseAtLocation(d, {3, "1"}); }, DeviceChoice{2, 1}},
      {"first pass: a device there that is not listed is not taken", Bus(true),
       [](const SeenDevice& d) { return ChooseAtLocation(d, {2, "1"}); }, std::nullopt},
      {"first pass: another hub is another place", Bus(true),
       [](const SeenDevice& d) { return ChooseAtLocation(d, {3, "2"}); }, std::nullopt},
      {"second pass with a check: entry 0", firstRejected,
       [](const SeenDevice& d) { return ChooseFirstAccepted(d, true); }, DeviceChoice{1, 0}},
      {"second pass without a check: entry unchanged", Bus(false),
       [](const SeenDevice& d) { return ChooseFirstAccepted(d, false); }, DeviceChoice{0, std::nullopt}},
      {"after a reset: by the whole identity", Bus(true),
       [](const SeenDevice& d) { return ChooseByIdentity(d, "VID_3A7C&PID_0011&REV_0002"); },
       DeviceChoice{2, std::nullopt}},
      {"after a reset: another revision is another device", Bus(true),
       [](const SeenDevice& d) { return ChooseByIdentity(d, "VID_3A7C&PID_0011&REV_0009"); }, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FirstChoice(std::span<const SeenDevice>(c.devices), c.rule), c.expected);
  }
  EXPECT_TRUE(IsAtLocation(Bus(true)[1], {2, "1"}));
  EXPECT_FALSE(IsAtLocation(Bus(true)[1], {1, "1"}));
}

TEST(DeviceChoiceTest, PortLock) {
  struct Case {
    bool listed;
    std::uint32_t lockPort, portNo, portAddress;
    PortLockDecision expected;
  };
  const Case cases[] = {
      {false, 0, 0, 1, PortLockDecision::Refuse},
      {true, 0, 5, 1, PortLockDecision::Take},
      {true, 1, 0, 1, PortLockDecision::TakeAndRememberPort},
      {true, 1, 1, 1, PortLockDecision::Take},
      {true, 1, 2, 1, PortLockDecision::Refuse},
      {false, 1, 1, 1, PortLockDecision::Refuse},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecidePortLock(c.listed, c.lockPort, c.portNo, c.portAddress), c.expected)
        << c.listed << " " << c.lockPort << " " << c.portNo << " " << c.portAddress;
  }
}

// "-d N" opens that device or none: a device that does not open, or one the
// accepted list refuses, fails without trying the next index.
// A bus of two accepted chips, one outside the accepted list and a camera chip.
const PresentChip kBus[] = {
    {0, "1-1", "VID_3A7C&PID_0011&REV_0001", ""},
    {1, "1-2", "VID_1234&PID_0011&REV_0001", "not in the accepted list"},
    {2, "1-3", "VID_3A7C&PID_0022&REV_0001", ""},
    {-1, "1-4", "VID_3A7C&PID_0099&REV_0001", "a camera chip"},
};

TEST(DeviceChoiceTest, PickByLocation) {
  const struct {
    const char* location;
    std::optional<int> index;
    const char* refusalPart;
  } cases[] = {
      {"1-1", 0, ""},
      {"1-3", 2, ""},
      {"1-2", std::nullopt, "is not accepted: not in the accepted list"},
      {"1-4", std::nullopt, "is not accepted: a camera chip"},
      {"1-5", std::nullopt, "no chip at location 1-5"},
      {"1-", std::nullopt, "no chip at location"},  // a prefix is no location
      {"", std::nullopt, "no chip at location"},
  };
  for (const auto& c : cases) {
    const LocationPick pick = PickByLocation(kBus, c.location);
    EXPECT_EQ(pick.index, c.index) << c.location;
    EXPECT_EQ(pick.refusal.empty(), c.index.has_value()) << c.location;
    EXPECT_NE(pick.refusal.find(c.refusalPart), std::string::npos) << pick.refusal;
  }
}

TEST(DeviceChoiceTest, SeveralAcceptedChipsAreListedInsteadOfPickedByTheRule) {
  EXPECT_EQ(SeveralAcceptedRefusal(kBus),
            "quillon: 2 accepted chips are present: 1-1 VID_3A7C&PID_0011&REV_0001 (-d 0), "
            "1-3 VID_3A7C&PID_0022&REV_0001 (-d 2); nothing was written: pick one with --location LOC or -d N "
            "(quillon --list shows every chip)");
  const PresentChip alone[] = {kBus[0], kBus[1], kBus[3]};
  EXPECT_EQ(SeveralAcceptedRefusal(alone), "") << "chips that are not accepted are no alternative";
  EXPECT_EQ(SeveralAcceptedRefusal({}), "");
}

TEST_F(DiscoveryTest, NamedDeviceIsThatDeviceOrNone) {
  AddChipWith({}, {});
  AddChipWith({.productId = 0x0099}, {});
  AddChipWith({}, {});
  ASSERT_EQ(OpenNamedDevice(*flow, 2), 1);
  EXPECT_EQ(flow->chip.portAddress, 3u);
  flow->MP_CloseDevice();

  UseSettings("CheckVIDPID_INI=0\r\n");
  ASSERT_EQ(OpenNamedDevice(*flow, 1), 1) << "without the check any device at that place";
  EXPECT_EQ(flow->chip.productId, 0x0099);
  flow->MP_CloseDevice();

  UseSettings("CheckVIDPID_INI=1\r\n");
  EXPECT_EQ(OpenNamedDevice(*flow, 1), 0);
  EXPECT_EQ(LastStatus(), msg::kVidPidNotMatch);
  EXPECT_EQ(flow->chip.device.handle, 0u);
  EXPECT_EQ(OpenNamedDevice(*flow, 3), 0);
  EXPECT_EQ(LastStatus(), msg::kDetectDeviceFail);
  EXPECT_EQ(flow->chip.device.handle, 0u);
}

}  // namespace
}  // namespace quillon
