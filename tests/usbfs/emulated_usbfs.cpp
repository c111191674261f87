#include "usbfs/emulated_usbfs.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "sim/descriptors.h"

namespace quillon::testing {
namespace {

thread_local bool onHandlerThread = false;

// A USB 2.0 hub: device descriptor, then one configuration with the hub
// interface and its status endpoint.
std::vector<std::uint8_t> HubDescriptors(bool root) {
  std::vector<std::uint8_t> d = {18, 1, 0x00, 0x02, 9, 0, 1, 64};
  if (root) {
    d.insert(d.end(), {0x6B, 0x1D, 0x02, 0x00, 0x01, 0x06, 3, 2, 1, 1});  // Linux Foundation root hub
  } else {
    d.insert(d.end(), {0xE3, 0x05, 0x08, 0x06, 0x60, 0x00, 0, 1, 0, 1});  // a common external hub
  }
  d.insert(d.end(), {9, 2, 25, 0, 1, 1, 0, 0xE0, 0});
  d.insert(d.end(), {9, 4, 0, 0, 1, 9, 0, 0, 0});
  d.insert(d.end(), {7, 5, 0x81, 3, 4, 0, 12});
  return d;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::uint8_t BusOf(const std::string& location) {
  if (location.rfind("usb", 0) == 0) return static_cast<std::uint8_t>(std::atoi(location.c_str() + 3));
  return static_cast<std::uint8_t>(std::atoi(location.c_str()));
}

// "1-2.3" -> "1-2"; "1-2" -> "usb1".
std::string ParentOf(const std::string& location) {
  std::size_t dot = location.rfind('.');
  if (dot != std::string::npos) return location.substr(0, dot);
  return "usb" + std::to_string(BusOf(location));
}

// What the kernel puts in a finished URB's status for each answer of the bus.
int UrbStatusOf(std::uint32_t error) {
  switch (error) {
    case kUsbOk: return 0;
    case kUsbErrorIo: return -EPIPE;             // the chip stalled the request
    case kUsbErrorDeviceGone: return -ESHUTDOWN;  // it fell off the bus during the transfer
    default: return -EPROTO;                     // "not ready" and the rest: a failed handshake
  }
}

struct DataRef {
  UMockdevIoctlData* data = nullptr;
  explicit DataRef(UMockdevIoctlData* d) : data(d) {}
  ~DataRef() {
    if (data != nullptr) g_object_unref(data);
  }
  DataRef(const DataRef&) = delete;
  DataRef& operator=(const DataRef&) = delete;
};

}  // namespace

bool PreloadActive() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

EmulatedUsbfs::EmulatedUsbfs(sim::SimBus& bus) : bus_(bus) {
  testbed_ = umockdev_testbed_new();
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedUsbfs::OnIoctl), this);
  AddRootHub(1);
  std::vector<UsbDeviceInfo> devices;
  bus_.ListDevices(devices);
  for (const UsbDeviceInfo& device : devices) OnDeviceArrived(device);
  bus_.SetEventListener(this);
}

EmulatedUsbfs::~EmulatedUsbfs() {
  bus_.SetEventListener(nullptr);
  {
    std::lock_guard lock(mutex_);
    for (auto& [devnode, node] : nodes_) {
      if (node.handle != 0) bus_.Close(node.handle);
      node.handle = 0;
      node.gone = true;
    }
  }
  g_object_unref(handler_);
  g_object_unref(testbed_);
}

std::size_t EmulatedUsbfs::Sync() { return bus_.HandleEvents(); }

std::string EmulatedUsbfs::DevNode(const std::string& location) const {
  std::lock_guard lock(mutex_);
  auto it = present_.find(location);
  return it == present_.end() ? std::string() : it->second;
}

std::set<unsigned> EmulatedUsbfs::Claimed(const std::string& location) const {
  std::lock_guard lock(mutex_);
  auto it = present_.find(location);
  return it == present_.end() ? std::set<unsigned>() : nodes_.at(it->second).claimed;
}

std::size_t EmulatedUsbfs::ClaimCount(const std::string& location) const {
  std::lock_guard lock(mutex_);
  std::size_t claims = 0;
  for (const auto& [devnode, node] : nodes_) {
    if (node.location == location) claims += node.claims;
  }
  return claims;
}

std::string EmulatedUsbfs::SysPathOf(const std::string& location) const {
  std::string path = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(BusOf(location));
  if (location.rfind("usb", 0) == 0) return path;
  // Every hub on the way is a directory level: 1-2/1-2.3/1-2.3.1.
  std::vector<std::string> chain;
  for (std::string at = location; at.rfind("usb", 0) != 0; at = ParentOf(at)) chain.insert(chain.begin(), at);
  for (const std::string& level : chain) path += "/" + level;
  return path;
}

void EmulatedUsbfs::AddRootHub(std::uint8_t bus) {
  const std::string location = "usb" + std::to_string(bus);
  if (hubs_.count(location) != 0) return;
  hubs_.insert(location);
  AddDevice(location, Hex(HubDescriptors(true)), 480, "");
}

void EmulatedUsbfs::AddHubsAbove(const std::string& location) {
  AddRootHub(BusOf(location));
  const std::string parent = ParentOf(location);
  if (parent.rfind("usb", 0) == 0 || hubs_.count(parent) != 0) return;
  AddHubsAbove(parent);
  hubs_.insert(parent);
  AddDevice(parent, Hex(HubDescriptors(false)), 480, "");
}

std::string EmulatedUsbfs::AddDevice(const std::string& location, const std::string& descriptors, unsigned speed,
                                     const std::string& instance) {
  const std::uint8_t bus = BusOf(location);
  // Root hubs are device 1; the others count up from 2 as the kernel numbers them.
  std::uint8_t& last = lastDevnum_[bus];
  if (last == 0) last = 1;
  const std::uint8_t devnum = location.rfind("usb", 0) == 0 ? 1 : ++last;
  char devnode[32];
  std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", bus, devnum);
  const std::string sysPath = SysPathOf(location);

  Node node;
  node.location = location;
  node.instance = instance;
  node.sysPath = sysPath;
  if (!instance.empty() && bus_.Open(instance, node.handle) != kUsbOk) node.gone = true;
  {
    std::lock_guard lock(mutex_);
    nodes_[devnode] = node;
    if (!instance.empty()) present_[location] = devnode;
  }

  char numbers[128];
  std::snprintf(numbers, sizeof numbers,
                "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\\n\nA: devnum=%u\\n\nA: speed=%u\\n\n", bus, devnum, bus,
                devnum, speed);
  // The configuration value is byte 5 of the configuration descriptor, after the 18-byte device descriptor.
  const std::string configurationValue = descriptors.substr(36 + 10, 2);
  std::string record = "P: " + sysPath.substr(4) + "\nN: " + std::string(devnode + 5) +
                       "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=" + devnode + "\n" +
                       numbers + "A: bConfigurationValue=" + std::to_string(std::stoi(configurationValue, nullptr, 16)) +
                       "\\n\nH: descriptors=" + descriptors + "\n";

  std::lock_guard lock(testbedMutex_);
  // The handler first, so the node answers as soon as libusb hears of it.
  if (!instance.empty()) umockdev_testbed_attach_ioctl(testbed_, devnode, handler_, nullptr);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
    std::fprintf(stderr, "usbfs: cannot add %s: %s\n", location.c_str(), error != nullptr ? error->message : "?");
    g_clear_error(&error);
  }
  return devnode;
}

void EmulatedUsbfs::OnDeviceArrived(const UsbDeviceInfo& device) {
  // A chip's configuration never changes after it is made, so reading it while
  // the handler serves transfers is safe.
  const sim::ChipConfig* config = nullptr;
  for (std::size_t i = 0; i < bus_.ChipCount(); ++i) {
    const sim::ChipState& state = bus_.Chip(i).state();
    if (state.InstanceName() == device.instance) config = &state.config;
  }
  if (config == nullptr) return;
  // A device still shown at that port has left, whether or not we were told.
  if (std::string old = DevNode(device.location); !old.empty()) {
    UsbDeviceInfo gone = device;
    {
      std::lock_guard lock(mutex_);
      gone.instance = nodes_.at(old).instance;
    }
    OnDeviceRemoved(gone);
  }
  AddHubsAbove(device.location);
  std::vector<std::uint8_t> descriptors = sim::DeviceDescriptor(*config);
  const std::vector<std::uint8_t> configuration = sim::ConfigurationDescriptor(*config);
  descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
  AddDevice(device.location, Hex(descriptors), config->speed == sim::BusSpeed::kHigh ? 480 : 12, device.instance);
}

void EmulatedUsbfs::OnDeviceRemoved(const UsbDeviceInfo& device) {
  std::string sysPath;
  UsbHandle handle = 0;
  {
    std::lock_guard lock(mutex_);
    auto at = present_.find(device.location);
    if (at == present_.end()) return;
    Node& node = nodes_.at(at->second);
    if (node.instance != device.instance) return;
    node.gone = true;
    handle = node.handle;
    node.handle = 0;
    sysPath = node.sysPath;
    present_.erase(at);
  }
  if (handle != 0) bus_.Close(handle);
  // The handler stays attached: libusb may still hold the node open, and its
  // requests then fail as they do on a device that has left.
  std::lock_guard lock(testbedMutex_);
  umockdev_testbed_uevent(testbed_, sysPath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, sysPath.c_str());
}

gboolean EmulatedUsbfs::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  onHandlerThread = true;
  static_cast<EmulatedUsbfs*>(self)->HandleIoctl(client);
  return TRUE;
}

void EmulatedUsbfs::HandleIoctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const std::string devnode = umockdev_ioctl_client_get_devnode(client);

  std::unique_lock lock(mutex_);
  auto it = nodes_.find(devnode);
  if (it == nodes_.end()) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  Node& node = it->second;

  // Finished URBs can be reaped even after the device has gone.
  if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
    if (node.reapable.empty()) {
      umockdev_ioctl_client_complete(client, -1, node.gone ? ENODEV : EAGAIN);
      return;
    }
    const unsigned long urb = node.reapable.front();
    node.reapable.pop_front();
    DataRef target(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr));
    std::memcpy(target.data->data, &urb, sizeof urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  if (request == USBDEVFS_DISCARDURB) {
    unsigned long urb = 0;
    std::memcpy(&urb, arg->data, sizeof urb);
    if (node.unanswered.erase(urb) == 0) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);  // already finished
      return;
    }
    DataRef data(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
    auto* u = reinterpret_cast<usbdevfs_urb*>(data.data->data);
    u->status = -ENOENT;
    u->actual_length = 0;
    node.reapable.push_back(urb);
    ++discarded_;
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  if (node.gone) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }

  switch (request) {
    case USBDEVFS_SUBMITURB:
      lock.unlock();
      SubmitUrb(node, client);
      return;
    case USBDEVFS_GET_CAPABILITIES: {
      DataRef caps(umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr));
      const std::uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      std::memcpy(caps.data->data, &value, sizeof value);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_RELEASEINTERFACE: {
      // All three start with the interface number.
      DataRef which(umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr));
      unsigned interface = 0;
      std::memcpy(&interface, which.data->data, sizeof interface);
      if (request == USBDEVFS_RELEASEINTERFACE) {
        if (node.claimed.erase(interface) == 0) {
          umockdev_ioctl_client_complete(client, -1, EINVAL);
          return;
        }
      } else {
        if (node.claimed.count(interface) != 0) {
          umockdev_ioctl_client_complete(client, -1, EBUSY);
          return;
        }
        node.claimed.insert(interface);
        ++node.claims;
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      // No kernel driver holds any interface here.
      umockdev_ioctl_client_complete(client, -1, ENODATA);
      return;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    default:
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return;
  }
}

void EmulatedUsbfs::SubmitUrb(Node& node, UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  DataRef urbData(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
  if (urbData.data == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData.data->data);
  if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  DataRef buffer(umockdev_ioctl_data_resolve(urbData.data, offsetof(usbdevfs_urb, buffer),
                                             static_cast<std::size_t>(urb->buffer_length), nullptr));
  if (buffer.data == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  std::uint8_t* bytes = buffer.data->data;
  SetupPacket setup;
  setup.bmRequestType = bytes[0];
  setup.bRequest = bytes[1];
  setup.wValue = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
  setup.wIndex = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
  setup.wLength = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
  if (8 + static_cast<int>(setup.wLength) > urb->buffer_length) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }

  UsbHandle handle = 0;
  {
    std::lock_guard lock(mutex_);
    handle = node.handle;
  }
  // The chip works outside our lock: a slow erase may keep it a while.
  const TransferResult result =
      bus_.ControlTransfer(handle, setup, std::span<std::uint8_t>(bytes + 8, setup.wLength), answerLimitMs_.load());

  std::lock_guard lock(mutex_);
  if (result.error == kUsbErrorTimeout) {
    // Never finished: libusb's own time-out runs out and it discards the URB.
    node.unanswered.insert(urbData.data->client_addr);
  } else {
    urb->status = UrbStatusOf(result.error);
    urb->actual_length = result.ok() ? static_cast<int>(std::min<std::size_t>(result.length, setup.wLength)) : 0;
    node.reapable.push_back(urbData.data->client_addr);
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void SyncingClock::SleepMs(std::uint32_t ms) {
  clock_.SleepMs(ms);
  // The chip model sleeps on the handler's thread too (a slow erase, a write
  // still being programmed), and inside the bus on the test's thread: the
  // testbed is changed from the test's side only, outside a transfer.
  if (onHandlerThread || sim::SimBus::InTransferOnThisThread()) return;
  if (usbfs_ != nullptr) usbfs_->Sync();
  if (afterSync) afterSync();
}

UsbfsPump::UsbfsPump(EmulatedUsbfs& usbfs) : usbfs_(usbfs) {
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      usbfs_.Sync();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
}

UsbfsPump::~UsbfsPump() {
  stop_ = true;
  thread_.join();
}

}  // namespace quillon::testing
