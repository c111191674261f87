#include "proxy/libusb_backend.h"

#include <libusb.h>

#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/debug_channel.h"
#include "proxy/usb_location.h"

namespace quillon {

std::uint32_t UsbErrorFromLibusb(int libusbError) {
  struct Row {
    int libusb;
    std::uint32_t ours;
  };
  static constexpr Row kTable[] = {
      {LIBUSB_SUCCESS, kUsbOk},
      {LIBUSB_ERROR_IO, kUsbErrorIo},
      {LIBUSB_ERROR_INVALID_PARAM, kUsbErrorInvalidArgument},
      {LIBUSB_ERROR_ACCESS, kUsbErrorAccessDenied},
      {LIBUSB_ERROR_NO_DEVICE, kUsbErrorDeviceGone},
      {LIBUSB_ERROR_NOT_FOUND, kUsbErrorNotFound},
      {LIBUSB_ERROR_BUSY, kUsbErrorBusy},
      {LIBUSB_ERROR_TIMEOUT, kUsbErrorTimeout},
      {LIBUSB_ERROR_OVERFLOW, kUsbErrorIo},
      {LIBUSB_ERROR_PIPE, kUsbErrorIo},
      {LIBUSB_ERROR_INTERRUPTED, kUsbErrorIo},
      {LIBUSB_ERROR_NO_MEM, kUsbErrorIo},
      {LIBUSB_ERROR_NOT_SUPPORTED, kUsbErrorIo},
      {LIBUSB_ERROR_OTHER, kUsbErrorIo},
  };
  for (const Row& row : kTable) {
    if (row.libusb == libusbError) return row.ours;
  }
  return kUsbErrorIo;
}

bool ClassifyInterfaces(std::span<const InterfaceClass> interfaces, DeviceKind& kind, std::uint8_t& interfaceNumber) {
  for (const InterfaceClass& i : interfaces) {
    if (i.subClass != 0x01) continue;
    if (i.cls == 0x01 || i.cls == 0x0E) {
      kind = i.cls == 0x01 ? DeviceKind::kAudio : DeviceKind::kCamera;
      interfaceNumber = i.number;
      return true;
    }
  }
  return false;
}

namespace {

// Fills `info` for a device of ours (an audio or video control interface).
bool Describe(libusb_device* device, UsbDeviceInfo& info) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return false;
  }
  std::vector<InterfaceClass> interfaces;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    if (interface.num_altsetting < 1) continue;
    const libusb_interface_descriptor& alt = interface.altsetting[0];
    interfaces.push_back({alt.bInterfaceNumber, alt.bInterfaceClass, alt.bInterfaceSubClass});
  }
  libusb_free_config_descriptor(config);
  if (!ClassifyInterfaces(interfaces, info.kind, info.interfaceNumber)) return false;

  std::uint8_t ports[8] = {};
  int count = libusb_get_port_numbers(device, ports, sizeof ports);
  if (count < 0) count = 0;
  info.location = LocationText(libusb_get_bus_number(device), std::span(ports, static_cast<std::size_t>(count)));
  // The address changes whenever the device re-enumerates, the location does not.
  info.instance = info.location + "@" + std::to_string(libusb_get_device_address(device));
  info.vendorId = descriptor.idVendor;
  info.productId = descriptor.idProduct;
  info.bcdDevice = descriptor.bcdDevice;
  return true;
}

class LibusbBackend final : public UsbBackend {
 public:
  explicit LibusbBackend(libusb_context* context) : context_(context) {
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
      int rc = libusb_hotplug_register_callback(
          context_,
          static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
          LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
          &LibusbBackend::OnHotplug, this, &hotplug_);
      hotplugRegistered_ = rc == LIBUSB_SUCCESS;
      hotplugError_ = rc;
    } else {
      hotplugError_ = LIBUSB_ERROR_NOT_SUPPORTED;
    }
  }

  ~LibusbBackend() override {
    for (auto& [handle, open] : open_) Release(open);
    if (hotplugRegistered_) libusb_hotplug_deregister_callback(context_, hotplug_);
    libusb_exit(context_);
  }

  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override {
    out.clear();
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) return UsbErrorFromLibusb(static_cast<int>(count));
    for (ssize_t i = 0; i < count; ++i) {
      UsbDeviceInfo info;
      if (Describe(list[i], info)) out.push_back(std::move(info));
    }
    libusb_free_device_list(list, 1);
    std::lock_guard guard(mutex_);
    for (const UsbDeviceInfo& info : out) seen_[info.instance] = info;
    return kUsbOk;
  }

  bool HotplugAvailable() const override { return hotplugRegistered_; }
  int HotplugError() const override { return hotplugError_; }

  // A host with USB lists at least its root hubs; none at all means no USB here.
  std::string Problem() const override {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) return std::string("no USB on this host (libusb: ") + libusb_strerror(static_cast<int>(count)) + ")";
    libusb_free_device_list(list, 1);
    if (count == 0) return "no USB on this host (libusb finds no USB device, not even a root hub)";
    return {};
  }

  std::uint32_t Open(const std::string& instance, UsbHandle& out) override {
    out = 0;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) return UsbErrorFromLibusb(static_cast<int>(count));
    std::uint32_t result = kUsbErrorNotFound;
    for (ssize_t i = 0; i < count; ++i) {
      UsbDeviceInfo info;
      if (!Describe(list[i], info) || info.instance != instance) continue;
      result = OpenDevice(list[i], info.interfaceNumber, out);
      break;
    }
    libusb_free_device_list(list, 1);
    return result;
  }

  void Close(UsbHandle handle) override {
    std::lock_guard guard(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end()) return;
    Release(it->second);
    open_.erase(it);
  }

  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    if (data.size() < setup.wLength) return {kUsbErrorInvalidArgument, 0};
    libusb_device_handle* device = nullptr;
    {
      std::lock_guard guard(mutex_);
      auto it = open_.find(handle);
      if (it == open_.end()) return {kUsbErrorDeviceGone, 0};
      // Requests to an interface (the extension unit's controls) need it claimed;
      // requests to the device (vendor requests) do not, so those leave the
      // kernel's driver in place.
      if ((setup.bmRequestType & 0x1F) == 0x01 && !it->second.claimed) {
        std::uint32_t error = Claim(it->second);
        if (error != kUsbOk) return {error, 0};
      }
      device = it->second.device;
    }
    int rc = libusb_control_transfer(device, setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                                     data.data(), setup.wLength, timeoutMs);
    if (rc < 0) return {UsbErrorFromLibusb(rc), 0};
    return {kUsbOk, static_cast<std::size_t>(rc)};
  }

  void SetEventListener(UsbEventListener* listener) override {
    std::lock_guard guard(mutex_);
    listener_ = listener;
  }

  std::size_t HandleEvents() override {
    timeval zero{0, 0};
    libusb_handle_events_timeout_completed(context_, &zero, nullptr);
    std::deque<std::pair<bool, UsbDeviceInfo>> events;
    UsbEventListener* listener = nullptr;
    {
      std::lock_guard guard(mutex_);
      events.swap(events_);
      listener = listener_;
    }
    if (listener != nullptr) {
      for (const auto& [arrived, info] : events) {
        if (arrived) {
          listener->OnDeviceArrived(info);
        } else {
          listener->OnDeviceRemoved(info);
        }
      }
    }
    return events.size();
  }

 private:
  struct OpenDeviceState {
    libusb_device_handle* device = nullptr;
    int interface = 0;
    bool claimed = false;
  };

  std::uint32_t OpenDevice(libusb_device* device, std::uint8_t interfaceNumber, UsbHandle& out) {
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(device, &handle);
    if (rc != LIBUSB_SUCCESS) {
      DebugPrint("libusb_open failed %s\n", libusb_error_name(rc));
      return UsbErrorFromLibusb(rc);
    }
    // The kernel's audio or camera driver gets the interface back when we release it.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    std::lock_guard guard(mutex_);
    out = next_++;
    open_[out] = {handle, interfaceNumber, false};
    return kUsbOk;
  }

  static std::uint32_t Claim(OpenDeviceState& open) {
    int rc = libusb_claim_interface(open.device, open.interface);
    if (rc != LIBUSB_SUCCESS) {
      DebugPrint("libusb_claim_interface %d failed %s\n", open.interface, libusb_error_name(rc));
      return UsbErrorFromLibusb(rc);
    }
    open.claimed = true;
    return kUsbOk;
  }

  static void Release(OpenDeviceState& open) {
    if (open.claimed) libusb_release_interface(open.device, open.interface);
    libusb_close(open.device);
    open = {};
  }

  // The instance name of a device without reading its descriptors.
  static std::string InstanceOf(libusb_device* device) {
    std::uint8_t ports[8] = {};
    int count = libusb_get_port_numbers(device, ports, sizeof ports);
    if (count < 0) count = 0;
    return LocationText(libusb_get_bus_number(device), std::span(ports, static_cast<std::size_t>(count))) + "@" +
           std::to_string(libusb_get_device_address(device));
  }

  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* self) {
    auto* backend = static_cast<LibusbBackend*>(self);
    const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    UsbDeviceInfo info;
    std::lock_guard guard(backend->mutex_);
    if (arrived) {
      if (!Describe(device, info)) return 0;
      backend->seen_[info.instance] = info;
    } else {
      // A device that has left may no longer describe itself: its kind comes
      // from what was seen while it was there.
      auto known = backend->seen_.find(InstanceOf(device));
      if (known != backend->seen_.end()) {
        info = known->second;
        backend->seen_.erase(known);
      } else if (!Describe(device, info)) {
        return 0;
      }
    }
    backend->events_.emplace_back(arrived, std::move(info));
    return 0;
  }

  libusb_context* context_;
  std::mutex mutex_;
  std::map<UsbHandle, OpenDeviceState> open_;
  UsbHandle next_ = 1;
  UsbEventListener* listener_ = nullptr;
  std::deque<std::pair<bool, UsbDeviceInfo>> events_;
  libusb_hotplug_callback_handle hotplug_ = 0;
  bool hotplugRegistered_ = false;
  int hotplugError_ = 0;
  std::map<std::string, UsbDeviceInfo> seen_;
};

}  // namespace

std::unique_ptr<UsbBackend> MakeLibusbBackend(std::string& why) {
  libusb_context* context = nullptr;
  int rc = libusb_init(&context);
  if (rc != LIBUSB_SUCCESS) {
    why = std::string("no USB on this host (libusb: ") + libusb_strerror(rc) + ")";
    return nullptr;
  }
  return std::make_unique<LibusbBackend>(context);
}

}  // namespace quillon
