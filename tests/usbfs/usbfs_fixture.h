// Simulated chips behind an emulated usbfs, and the libusb backend on top of
// them installed as the process's backend, on a virtual clock that keeps the
// emulated bus in line with the chips at every sleep.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "proxy/backend_factory.h"
#include "proxy/libusb_backend.h"
#include "sim/sim_bus.h"
#include "usbfs/emulated_usbfs.h"

namespace quillon::testing {

// Records the events a backend delivers.
class EventLog final : public UsbEventListener {
 public:
  void OnDeviceArrived(const UsbDeviceInfo& device) override { lines.push_back("arrived " + Describe(device)); }
  void OnDeviceRemoved(const UsbDeviceInfo& device) override { lines.push_back("removed " + Describe(device)); }
  static std::string Describe(const UsbDeviceInfo& d) {
    char ids[40];
    std::snprintf(ids, sizeof ids, " %04x:%04x kind %d if %d", d.vendorId, d.productId, static_cast<int>(d.kind),
                  d.interfaceNumber);
    return d.location + ids;
  }
  std::vector<std::string> lines;
};

class UsbfsFixture : public ::testing::Test {
 protected:
  // Shows the chips added so far and starts libusb on them.
  void StartLibusb() {
    usbfs = std::make_unique<EmulatedUsbfs>(bus);
    clock.Attach(usbfs.get());
    std::string why;
    std::unique_ptr<UsbBackend> made = MakeLibusbBackend(why);
    ASSERT_TRUE(made) << why;
    libusb = made.get();
    installed = std::make_unique<ScopedUsbBackend>(std::move(made));
  }
  void TearDown() override {
    // libusb goes before the testbed it reads.
    installed.reset();
    clock.Attach(nullptr);
    usbfs.reset();
  }

  // Lets simulated time pass; the emulated bus follows.
  void Pass(std::uint32_t ms) { clock.SleepMs(ms); }

  std::vector<UsbDeviceInfo> List() {
    std::vector<UsbDeviceInfo> out;
    EXPECT_EQ(libusb->ListDevices(out), kUsbOk);
    return out;
  }

  SyncingClock clock;
  ScopedClockOverride clockOverride{clock};
  sim::SimBus bus;
  std::unique_ptr<EmulatedUsbfs> usbfs;
  UsbBackend* libusb = nullptr;
  std::unique_ptr<ScopedUsbBackend> installed;
};

}  // namespace quillon::testing
