// The chips of a simulated bus shown to libusb as a Linux host shows real ones:
// umockdev's testbed holds their sysfs entries (descriptors, bus and device
// numbers, port paths under a root hub) and their /dev/bus/usb nodes, and every
// usbfs request on a node is answered here, the control transfers by the chip
// model through SimBus (so its resets, faults and transfer log apply as they do
// for the simulator backend).
//
// The process must run with umockdev's preload (see usbfs_main.cpp); child
// processes inherit it and the testbed's directory, and reach the same handler.
#pragma once

#include <umockdev.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/virtual_clock.h"
#include "proxy/usb_backend.h"
#include "sim/sim_bus.h"

namespace quillon::testing {

class EmulatedUsbfs final : public UsbEventListener {
 public:
  // Shows the chips now on `bus`; from then on the bus's arrivals and removals
  // reach the testbed at each Sync().
  explicit EmulatedUsbfs(sim::SimBus& bus);
  ~EmulatedUsbfs() override;
  EmulatedUsbfs(const EmulatedUsbfs&) = delete;
  EmulatedUsbfs& operator=(const EmulatedUsbfs&) = delete;

  // Brings sysfs and /dev in line with the bus; the number of devices added or
  // removed. Never from the ioctl handler's thread.
  std::size_t Sync();

  // The node of the chip at `location` ("/dev/bus/usb/001/002"), empty when
  // none is there.
  std::string DevNode(const std::string& location) const;
  // Interfaces claimed through usbfs on the chip at `location` right now, and
  // claims made there so far.
  std::set<unsigned> Claimed(const std::string& location) const;
  std::size_t ClaimCount(const std::string& location) const;
  // URBs that libusb gave up on (its time-out ran out) and discarded.
  std::size_t Discarded() const { return discarded_.load(); }

  // The chip gets this long for a transfer; one it cannot finish in time (a
  // slow erase) is never answered, as a busy chip would leave it. 0: no limit.
  void SetAnswerLimitMs(std::uint32_t ms) { answerLimitMs_ = ms; }

  // UsbEventListener: what the bus reports, applied to the testbed.
  void OnDeviceArrived(const UsbDeviceInfo& device) override;
  void OnDeviceRemoved(const UsbDeviceInfo& device) override;

 private:
  struct Node {
    std::string location;
    std::string instance;
    std::string sysPath;  // "/sys/devices/.../1-1"
    UsbHandle handle = 0;  // on the SimBus
    bool gone = false;
    std::set<unsigned> claimed;
    std::size_t claims = 0;
    std::deque<unsigned long> reapable;  // client addresses of finished URBs
    std::set<unsigned long> unanswered;  // URBs the chip leaves hanging
  };

  static gboolean OnIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  void HandleIoctl(UMockdevIoctlClient* client);
  void SubmitUrb(Node& node, UMockdevIoctlClient* client);
  void AddRootHub(std::uint8_t bus);
  void AddHubsAbove(const std::string& location);
  // Adds a device record and its node; the node's ioctls come here when
  // `instance` is a chip of the bus (hubs have none).
  std::string AddDevice(const std::string& location, const std::string& descriptors, unsigned speed,
                        const std::string& instance);
  std::string SysPathOf(const std::string& location) const;

  sim::SimBus& bus_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  // Guards the nodes: the handler runs on umockdev's thread.
  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;  // by devnode
  std::map<std::string, std::string> present_;  // location -> devnode of the device there now
  std::set<std::string> hubs_;                  // locations of hubs ("1-2") and root hubs ("usb1")
  std::map<std::uint8_t, std::uint8_t> lastDevnum_;
  std::mutex testbedMutex_;  // one testbed change at a time
  std::atomic<std::uint32_t> answerLimitMs_{0};
  std::atomic<std::size_t> discarded_{0};
};

// A virtual clock for in-process tests: every sleep first brings the testbed in
// line with the bus (when one is attached), then runs `afterSync` (for example
// a hotplug pump), so that
// a chip that comes back after a reset is on the emulated bus when the device
// layer looks again, without waiting in real time.
class SyncingClock final : public Clock {
 public:
  explicit SyncingClock(EmulatedUsbfs* usbfs = nullptr) : usbfs_(usbfs) {}
  void Attach(EmulatedUsbfs* usbfs) { usbfs_ = usbfs; }
  std::uint64_t NowMs() override { return clock_.NowMs(); }
  void SleepMs(std::uint32_t ms) override;
  std::uint64_t SleptMs() const { return clock_.SleptMs(); }

  std::function<void()> afterSync;

 private:
  VirtualClock clock_;
  EmulatedUsbfs* usbfs_;
};

// Keeps the testbed in line with the bus on its own thread, for tests whose
// chips are driven by another process on the real clock.
class UsbfsPump {
 public:
  explicit UsbfsPump(EmulatedUsbfs& usbfs);
  ~UsbfsPump();
  UsbfsPump(const UsbfsPump&) = delete;
  UsbfsPump& operator=(const UsbfsPump&) = delete;

 private:
  EmulatedUsbfs& usbfs_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// True when umockdev's preload is active in this process.
bool PreloadActive();

}  // namespace quillon::testing
