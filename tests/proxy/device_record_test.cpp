// Finding, opening and probing chips on a simulated bus.
#include "proxy/device_record.h"

#include <gtest/gtest.h>

#include "platform/virtual_clock.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "proxy/transfers.h"
#include "sim/sim_bus.h"
#include "support/debug_lines.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

class SimulatedBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto owned = std::make_unique<sim::SimBus>();
    bus = owned.get();
    backend = std::make_unique<ScopedUsbBackend>(std::move(owned));
    SetUseFlagPath(flagDir.path() / "VxtUpx.flag");
    ASSERT_TRUE(LibraryStartup());
  }
  void TearDown() override {
    LibraryShutdown();
    backend.reset();
  }
  sim::SimChip& Add(DeviceKind kind, sim::Transport transport, std::uint16_t productId = 0x0011) {
    sim::ChipConfig config;
    config.kind = kind;
    config.transport = transport;
    config.productId = productId;
    return bus->AddChip(config);
  }
  std::vector<ListEntry> List(DeviceKind kind) {
    std::vector<ListEntry> entries;
    EXPECT_EQ(VxCam_ListDevice(entries, kind), 0u);
    return entries;
  }

  VirtualClock clock;
  ScopedClockOverride useClock{clock};
  testing::TempDir flagDir;
  sim::SimBus* bus = nullptr;
  std::unique_ptr<ScopedUsbBackend> backend;
};

TEST_F(SimulatedBusTest, ListsByKindAndOpensByIndexOrInstance) {
  Add(DeviceKind::kAudio, sim::Transport::kXu, 0x0011);
  Add(DeviceKind::kCamera, sim::Transport::kXu, 0x0022);
  Add(DeviceKind::kAudio, sim::Transport::kVendor, 0x0033);
  auto audio = List(DeviceKind::kAudio);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_EQ(audio[0].name, "VID_3A7C&PID_0011&REV_0001");
  EXPECT_EQ(audio[1].name, "VID_3A7C&PID_0033&REV_0001");
  ASSERT_EQ(List(DeviceKind::kCamera).size(), 1u);

  DeviceRecord second;
  ASSERT_EQ(VxCam_OpenDevice(second, 1, DeviceKind::kAudio), 0u);
  EXPECT_EQ(second.location, audio[1].location);
  EXPECT_NE(second.hVxProxyDev, 0u);
  DeviceRecord first;
  ASSERT_EQ(OpenVxCam(first, audio[0].instance), 0u);
  EXPECT_EQ(first.location, audio[0].location);
  EXPECT_FALSE(IsSameLocation(first, second));

  DeviceRecord none;
  EXPECT_EQ(VxCam_OpenDevice(none, 2, DeviceKind::kAudio), kUsbErrorNoMoreItems);
  EXPECT_EQ(OpenVxCam(none, "no-such-instance"), kUsbErrorNotFound);
  EXPECT_EQ(none.hVxProxyDev, 0u);
  CloseDeviceRecord(first);
  CloseDeviceRecord(second);
  EXPECT_EQ(first.hVxProxyDev, 0u);
}

TEST_F(SimulatedBusTest, ProbeFindsTheTransportsEachChipAnswers) {
  struct Case {
    DeviceKind kind;
    sim::Transport transport;
    std::uint32_t xu, vendor;
  };
  // An audio chip's extension unit counts from its descriptor alone (it is not
  // asked for the signature); a camera's must answer it.
  const Case cases[] = {
      {DeviceKind::kAudio, sim::Transport::kXu, 1, 0},     {DeviceKind::kAudio, sim::Transport::kVendor, 1, 1},
      {DeviceKind::kAudio, sim::Transport::kBoth, 1, 1},   {DeviceKind::kCamera, sim::Transport::kXu, 1, 0},
      {DeviceKind::kCamera, sim::Transport::kVendor, 0, 1}, {DeviceKind::kCamera, sim::Transport::kBoth, 1, 1},
  };
  for (const Case& c : cases) Add(c.kind, c.transport);
  std::size_t audioIndex = 0, cameraIndex = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << int(c.kind) << " transport " << int(c.transport));
    DeviceRecord record;
    int index = static_cast<int>(c.kind == DeviceKind::kAudio ? audioIndex++ : cameraIndex++);
    ASSERT_EQ(VxCam_OpenDevice(record, index, c.kind), 0u);
    ASSERT_TRUE(ProbeDevice(record, false));
    const DeviceInfoRecord& info = *record.info;
    EXPECT_EQ(info.supported, 1u);
    EXPECT_EQ(info.xuTransport, c.xu);
    EXPECT_EQ(info.vendorTransport, c.vendor);
    EXPECT_EQ(info.VendorId(), 0x3A7C);
    EXPECT_EQ(info.configuration.size(), static_cast<std::size_t>(info.configuration[2] | info.configuration[3] << 8));
    if (c.vendor || c.kind == DeviceKind::kCamera) {
      // The status block came through one transport or the other.
      EXPECT_TRUE(std::equal(kChipSignature.begin(), kChipSignature.end(), info.statusBlock.begin() + 24));
    }
    int unit = -1;
    std::uint32_t request6 = 9, vendor = 9;
    EXPECT_TRUE(ProbeTransports(record, unit, request6, vendor));
    EXPECT_EQ(vendor, c.vendor);
    EXPECT_GE(unit, 0) << "every chip describes its extension unit";
    auto* before = record.info.get();
    EXPECT_TRUE(ProbeDevice(record, false));
    EXPECT_EQ(record.info.get(), before) << "no new probe unless forced";
    CloseDeviceRecord(record);
  }
}

TEST_F(SimulatedBusTest, ResetChipComesBackAtTheSameLocationAsANewInstance) {
  sim::ChipConfig config;
  config.transport = sim::Transport::kBoth;
  config.offBusMs = 300;
  config.notReadyMs = 500;
  bus->AddChip(config);
  DeviceRecord before;
  ASSERT_EQ(VxCam_OpenDevice(before, 0, DeviceKind::kAudio), 0u);
  std::array<std::uint8_t, 0> none{};
  ASSERT_TRUE(UsbVendorRequest(before.hVxProxyDev, 0x40, 0x21, 0, 0, none, 0, kControlTimeoutMs).ok);

  clock.Advance(100);
  EXPECT_TRUE(List(DeviceKind::kAudio).empty()) << "off the bus while it resets";
  std::array<std::uint8_t, 18> descriptor{};
  EXPECT_EQ(GetDeviceDescriptor(before.hVxProxyDev, descriptor).error, kUsbErrorDeviceGone);
  clock.Advance(300);
  auto entries = List(DeviceKind::kAudio);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].instance, before.instance);

  testing::DebugLines debug;
  DeviceRecord after;
  ASSERT_EQ(OpenVxCam(after, entries[0].instance), 0u) << "the wake wait rides out \"not ready\"";
  EXPECT_TRUE(IsSameLocation(before, after));
  auto texts = debug.texts();
  EXPECT_GE(std::count(texts.begin(), texts.end(), "VxCam_OpenDevice wait for device to wakeup from SS"), 1);
  std::uint32_t port = 0;
  std::string hub;
  EXPECT_EQ(GetDeviceLocation(after, port, hub), 0u);
  EXPECT_EQ(port, 1u);
  EXPECT_EQ(hub, "usb1");
  EXPECT_EQ(GetDeviceDescriptor(before.hVxProxyDev, descriptor).error, kUsbErrorDeviceGone) << "old handles stay dead";
  CloseDeviceRecord(before);
  CloseDeviceRecord(after);
}

TEST_F(SimulatedBusTest, WakeWaitIsBounded) {
  sim::ChipConfig config;
  config.transport = sim::Transport::kVendor;
  config.offBusMs = 10;
  config.notReadyMs = 60000;
  bus->AddChip(config);
  DeviceRecord record;
  ASSERT_EQ(VxCam_OpenDevice(record, 0, DeviceKind::kAudio), 0u);
  std::array<std::uint8_t, 0> none{};
  ASSERT_TRUE(UsbVendorRequest(record.hVxProxyDev, 0x40, 0x21, 0, 0, none, 0, kControlTimeoutMs).ok);
  clock.Advance(20);
  std::uint64_t start = clock.NowMs();
  DeviceRecord again;
  EXPECT_EQ(VxCam_OpenDevice(again, 0, DeviceKind::kAudio), kUsbErrorNotReady);
  EXPECT_EQ(again.hVxProxyDev, 0u) << "what the failed open took is released";
  EXPECT_LE(clock.NowMs() - start, kWakeWaitLimitMs + kWakeWaitStepMs);
  CloseDeviceRecord(record);
}

}  // namespace
}  // namespace quillon
