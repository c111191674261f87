#include "proxy/location_filter.h"

#include <algorithm>

namespace quillon {
namespace {

class LocationFilter final : public UsbBackend, private UsbEventListener {
 public:
  LocationFilter(std::unique_ptr<UsbBackend> inner, std::string location)
      : inner_(std::move(inner)), location_(std::move(location)) {}
  ~LocationFilter() override { inner_->SetEventListener(nullptr); }

  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override {
    std::vector<UsbDeviceInfo> all;
    const std::uint32_t error = inner_->ListDevices(all);
    out.clear();
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [this](const UsbDeviceInfo& device) { return device.location == location_; });
    return error;
  }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return inner_->Open(instance, out); }
  void Close(UsbHandle handle) override { inner_->Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    return inner_->ControlTransfer(handle, setup, data, timeoutMs);
  }
  void SetEventListener(UsbEventListener* listener) override {
    listener_ = listener;
    inner_->SetEventListener(listener != nullptr ? this : nullptr);
  }
  std::size_t HandleEvents() override { return inner_->HandleEvents(); }
  std::string Problem() const override { return inner_->Problem(); }

 private:
  void OnDeviceArrived(const UsbDeviceInfo& device) override {
    if (listener_ != nullptr && device.location == location_) listener_->OnDeviceArrived(device);
  }
  void OnDeviceRemoved(const UsbDeviceInfo& device) override {
    if (listener_ != nullptr && device.location == location_) listener_->OnDeviceRemoved(device);
  }

  std::unique_ptr<UsbBackend> inner_;
  std::string location_;
  UsbEventListener* listener_ = nullptr;
};

}  // namespace

std::unique_ptr<UsbBackend> FilterToLocation(std::unique_ptr<UsbBackend> inner, std::string location) {
  return std::make_unique<LocationFilter>(std::move(inner), std::move(location));
}

}  // namespace quillon
