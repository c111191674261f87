// The device object, the flat device functions and the reset sequence on a
// simulated bus: the reset command on each transport, the chip coming back,
// not coming back, and answering "not ready" first.
#include <algorithm>

#include "device/cam_dev.h"
#include "device/reset_reopen.h"
#include "device/vxcam.h"
#include "device_fixture.h"
#include "support/debug_lines.h"

namespace quillon {
namespace {

using testing::DeviceFixture;

bool Logged(testing::DebugLines& debug, const std::string& text) {
  auto texts = debug.texts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class ResetTest : public DeviceFixture {
 protected:
  void TearDown() override {
    VxCam_CloseDevice();
    DeviceFixture::TearDown();
  }
  sim::SimChip& OpenCurrent(const sim::ChipConfig& config = {}) {
    sim::SimChip& chip = bus.AddChip(config);
    EXPECT_EQ(VxCam_Init(0), 1);
    flow.handle = VxCam_OpenDeviceByIndex(0);
    EXPECT_NE(flow.handle, 0u);
    MarkWire();
    return chip;
  }
  FlowDevice flow;
};

TEST_F(ResetTest, UpdateResetThroughTheUnitComesBackAsANewDevice) {
  sim::SimChip& chip = OpenCurrent();
  const DeviceHandle before = flow.handle;
  testing::DebugLines debug;
  EXPECT_EQ(VxCam_ResetToUpdateFWAndReopen(flow, 0, 0, kDefaultResetWaitMs), 1);
  EXPECT_EQ(WireStarting("21 01 0a00 0300 0008 0007"),
            std::vector<std::string>{"21 01 0a00 0300 0008 0007010000000000"})
      << "value 0 goes as 1 on the unit";
  EXPECT_NE(flow.handle, before);
  EXPECT_EQ(flow.handle, VxCam_GetDevInst());
  EXPECT_EQ(chip.state().generation, 2u);
  EXPECT_TRUE(Logged(debug, "Device reset ok"));
  // The rebuilt transports talk to the new device.
  std::array<std::uint8_t, 2> mode{};
  EXPECT_EQ(VxCam_ReadMem(flow.handle, 0xFE21, mode, 0), 1);
  EXPECT_EQ(mode[1], 0xB0);
  EXPECT_EQ(VxCam_DevQualify(flow.handle), 1);
}

TEST_F(ResetTest, FastResetThroughVendorRequestsSkipsTheWait) {
  OpenCurrent({.transport = sim::Transport::kBoth, .offBusMs = 600});
  testing::DebugLines debug;
  const std::uint64_t start = clock.SleptMs();
  EXPECT_EQ(VxCam_ResetToUpdateFWAndReopen(flow, 2, 0, kDefaultResetWaitMs), 1);
  EXPECT_EQ(WireStarting("40 20"), std::vector<std::string>{"40 20 0002 0000 0000 -"});
  auto checks = WireStarting("c0 06 0001 0000 0001");
  EXPECT_FALSE(checks.empty()) << "the new device is asked with value 1";
  EXPECT_LT(clock.SleptMs() - start, std::uint64_t{kDefaultResetWaitMs});
  EXPECT_TRUE(Logged(debug, "Fast reset mode, not checking old device disconnect"));
}

TEST_F(ResetTest, RomResetsOnEachTransport) {
  struct Case {
    const char* what;
    sim::Transport transport;
    bool byRequest;
    std::uint32_t flags;
    const char* resetLine;
  };
  const Case cases[] = {
      {"unit", sim::Transport::kXu, false, kFlagAudioSearch, "21 01 0a00 0300 0008 0009000000000000"},
      {"vendor", sim::Transport::kBoth, false, kFlagAudioSearch, "40 22 0000 0000 0000 -"},
      {"unit forced", sim::Transport::kBoth, false, kFlagAudioSearch | kFlagForceUnit,
       "21 01 0a00 0300 0008 0009000000000000"},
      {"by request, known transports", sim::Transport::kBoth, true, kFlagAudioSearch | kFlagReuseTransports,
       "40 22 0000 0000 0000 -"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // One more chip per case, at the next location: the search must pick this one.
    bus.AddChip({.transport = c.transport});
    VxCam_Init(0);
    flow.handle = VxCam_OpenDeviceByIndex(index++);
    ASSERT_NE(flow.handle, 0u);
    MarkWire();
    const int ok = c.byRequest ? VxCam_ResetToRomByRequestAndReopen(flow, c.flags, 1000)
                               : VxCam_ResetToRomAndReopen(flow, c.flags, 1000);
    EXPECT_EQ(ok, 1);
    auto wire = Wire();
    EXPECT_EQ(std::count(wire.begin(), wire.end(), std::string(c.resetLine)), 1);
    VxCam_CloseDevice();
  }
}

TEST_F(ResetTest, ChipThatNeverComesBackTimesOutAndLeavesNoDevice) {
  OpenCurrent({.offBusMs = 1000000});
  testing::DebugLines debug;
  const std::uint64_t start = clock.NowMs();
  EXPECT_EQ(VxCam_ResetToUpdateFWAndReopen(flow, 0, 0, 1000), 0);
  EXPECT_TRUE(Logged(debug, "Re-open device timeout, return ERROR_TIMEOUT, Old device closed"));
  EXPECT_EQ(VxCam_CurrentDevice(), nullptr);
  EXPECT_EQ(flow.handle, 0u);
  const std::uint64_t spent = clock.NowMs() - start;
  EXPECT_GE(spent, kResetLimitMs);
  EXPECT_LT(spent, kResetLimitMs + 5000);
  auto texts = debug.texts();
  EXPECT_GE(std::count(texts.begin(), texts.end(), std::string("VxCam_OpenDevice return 259")), 70);
}

TEST_F(ResetTest, ResetRefusedAsNotReadyIsRepeated) {
  sim::SimChip& chip = bus.AddChip({.transport = sim::Transport::kBoth});
  ASSERT_EQ(OpenVxCam(record, chip.state().InstanceName()), 0u);
  ResetRequest request;
  request.command = ResetCode::kToUpdateFW;
  request.given = true;
  request.unitId = 3;
  request.vendorTransport = 1;
  request.waitMs = 1000;
  MarkWire();
  chip.state().faults.notReady = 4;  // the chip-mode read and write, then two reset attempts
  EXPECT_EQ(ResetAndReopen(record, request), 0u);
  auto resets = WireStarting("40 20");
  ASSERT_EQ(resets.size(), 3u);
  EXPECT_EQ(resets[0], "40 20 0000 0000 0000 - !21");
  EXPECT_EQ(resets[2], "40 20 0000 0000 0000 -");
  EXPECT_EQ(chip.state().generation, 2u);
  EXPECT_NE(record.hVxProxyDev, 0u);
}

TEST_F(ResetTest, OnlyTheDeviceAtTheOldLocationIsTaken) {
  sim::SimChip& other = bus.AddChip();
  sim::SimChip& chip = bus.AddChip({.offBusMs = 3000});
  ASSERT_EQ(OpenVxCam(record, chip.state().InstanceName()), 0u);
  testing::DebugLines debug;
  ResetRequest request;
  request.waitMs = 500;  // the chip is still away when the search starts
  EXPECT_EQ(ResetAndReopen(record, request), 0u);
  EXPECT_TRUE(Logged(debug, "Close device that is not match"));
  EXPECT_EQ(record.location, chip.state().location);
  EXPECT_EQ(record.instance, chip.state().InstanceName());
  EXPECT_EQ(other.state().generation, 1u);
}

TEST_F(ResetTest, ClosedRecordAndAChipWhoseUnitStalls) {
  ResetRequest request;
  EXPECT_EQ(ResetAndReopen(record, request), kUsbErrorInvalidArgument);
  // The unit stalls, but the vendor-request status block carries the signature.
  bus.AddChip({.transport = sim::Transport::kVendor});
  VxCam_Init(0);
  EXPECT_NE(VxCam_OpenDeviceByIndex(0), 0u) << "qualified through the vendor requests";
  EXPECT_NE(VxCam_CurrentDevice(), nullptr);
  VxCam_CloseDevice();
}

TEST_F(ResetTest, IdentityAndStrings) {
  OpenCurrent({.vendorId = 0x3A7C, .productId = 0x0022, .bcdDevice = 0x0105, .serial = "QS0042"});
  std::uint16_t vid = 0, pid = 0, rev = 0;
  std::string text;
  EXPECT_EQ(VxCam_GetDeviceIdentityEx(flow.handle, vid, pid, rev, text), 1);
  EXPECT_EQ((std::array<unsigned, 3>{vid, pid, rev}), (std::array<unsigned, 3>{0x3A7C, 0x0022, 0x0105}));
  EXPECT_EQ(text, "KESTRAN");
  EXPECT_EQ(VxCam_GetSerialString(flow.handle, text), 1);
  EXPECT_EQ(text, "QS0042");
  EXPECT_EQ(VxCam_GetManufacturerString(text), 0) << "only while no device is open";
  std::array<std::uint8_t, kDevStatusLength> status{};
  EXPECT_EQ(VxCam_GetDevStatus(flow.handle, status, 0), 1);
  EXPECT_EQ(WireStarting("21 01 0a00 0300 0008 00cd").size(), 13u);
  VxCam_CloseDevice();
  EXPECT_EQ(VxCam_GetManufacturerString(text), 1);
  EXPECT_EQ(text, "KESTRAN");
}

}  // namespace
}  // namespace quillon
