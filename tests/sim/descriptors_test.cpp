// The chip's descriptors as the tool's own searches read them: the audio
// extension unit with the maker's vendor id behind the first interface, and the
// camera's interface-association device with a valid extension unit.
#include "proxy/backend_factory.h"
#include "proxy/device_record.h"
#include "proxy/library.h"
#include "proxy/xu_search.h"
#include "sim/descriptors.h"
#include "sim_fixture.h"
#include "support/temp_dir.h"

namespace quillon::sim::testing {
namespace {

class Descriptors : public SimFixture {
 protected:
  std::vector<std::uint8_t> ReadConfiguration() {
    std::vector<std::uint8_t> head(9);
    if (!Transfer(0x80, 6, 0x0200, 0, head).ok()) return {};
    std::vector<std::uint8_t> all(head[2] | head[3] << 8);
    if (Transfer(0x80, 6, 0x0200, 0, all).length != all.size()) return {};
    return all;
  }
};

TEST_F(Descriptors, AudioExtensionUnitCarriesTheMakersVendorId) {
  AddAndOpen({.kind = DeviceKind::kAudio});
  auto config = ReadConfiguration();
  ASSERT_FALSE(config.empty());
  EXPECT_EQ(FindAudioExtensionUnit(config), kExtensionUnitId);
}

TEST_F(Descriptors, CameraIsAnAssociationDeviceWithValidControls10And11) {
  AddAndOpen({.kind = DeviceKind::kCamera});
  std::vector<std::uint8_t> device(18);
  ASSERT_EQ(Transfer(0x80, 6, 0x0100, 0, device).length, 18u);
  EXPECT_EQ(device[4], 0xEF);
  EXPECT_EQ(device[5], 0x02);
  EXPECT_EQ(device[6], 0x01);
  auto config = ReadConfiguration();
  ASSERT_FALSE(config.empty());
  std::uint32_t ir = 7;
  EXPECT_EQ(FindUvcExtensionUnit(config, kControlInterface, ir), kExtensionUnitId);
  EXPECT_EQ(ir, 0u) << "the association names our interface: no IR camera";
  EXPECT_EQ(FindAudioExtensionUnit(config), -1);
}

TEST_F(Descriptors, StringsAndAShortAnswerToALongRequest) {
  AddAndOpen({.serial = "SN42"});
  std::vector<std::uint8_t> text(255);
  TransferResult r = Transfer(0x80, 6, 0x0303, 0x0409, text);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.length, 10u);
  EXPECT_EQ(std::vector<std::uint8_t>(text.begin(), text.begin() + 10),
            (std::vector<std::uint8_t>{10, 3, 'S', 0, 'N', 0, '4', 0, '2', 0}));
  std::vector<std::uint8_t> missing(255);
  EXPECT_EQ(Transfer(0x80, 6, 0x0309, 0x0409, missing).error, kUsbErrorIo);
}

// The device layer's probe finds each transport the chip is built with.
TEST(DescriptorsProbe, ProbeSeesTheTransportsTheChipHas) {
  struct Case {
    ChipConfig config;
    std::uint32_t xu, vendor, request6;
  };
  const Case cases[] = {
      {{.kind = DeviceKind::kAudio, .transport = Transport::kXu}, 1, 0, 0},
      {{.kind = DeviceKind::kAudio, .transport = Transport::kBoth}, 1, 1, 0},
      {{.kind = DeviceKind::kAudio, .transport = Transport::kXu, .request6 = true}, 1, 0, 1},
      {{.kind = DeviceKind::kCamera, .transport = Transport::kXu}, 1, 0, 0},
      {{.kind = DeviceKind::kCamera, .transport = Transport::kVendor}, 0, 1, 0},
  };
  quillon::testing::TempDir dir;
  SetUseFlagPath(dir.path() / "use.flag");
  for (const Case& c : cases) {
    VirtualClock clock;
    ScopedClockOverride clockOverride(clock);
    auto owned = std::make_unique<SimBus>();
    owned->AddChip(c.config);
    ScopedUsbBackend installed(std::move(owned));
    ASSERT_TRUE(LibraryStartup());
    std::vector<UsbDeviceInfo> devices;
    TheUsbBackend().ListDevices(devices);
    ASSERT_EQ(devices.size(), 1u);
    DeviceRecord record;
    ASSERT_EQ(OpenVxCam(record, devices[0].instance), 0u);
    ASSERT_TRUE(ProbeDevice(record, true));
    ASSERT_NE(record.info, nullptr);
    EXPECT_EQ(record.info->supported, 1u);
    EXPECT_EQ(record.info->xuTransport, c.xu);
    EXPECT_EQ(record.info->vendorTransport, c.vendor);
    EXPECT_EQ(record.info->vendorRequest6, c.request6);
    CloseDeviceRecord(record);
    LibraryShutdown();
  }
}

}  // namespace
}  // namespace quillon::sim::testing
