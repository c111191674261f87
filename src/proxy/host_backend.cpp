#include "proxy/host_backend.h"

#include "proxy/libusb_backend.h"

namespace quillon {
namespace {

class UnavailableBus final : public UsbBackend {
 public:
  explicit UnavailableBus(std::string why) : why_(std::move(why)) {}
  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override {
    out.clear();
    return kUsbErrorNotFound;
  }
  std::uint32_t Open(const std::string&, UsbHandle& out) override {
    out = 0;
    return kUsbErrorNotFound;
  }
  void Close(UsbHandle) override {}
  TransferResult ControlTransfer(UsbHandle, const SetupPacket&, std::span<std::uint8_t>, std::uint32_t) override {
    return {kUsbErrorDeviceGone, 0};
  }
  void SetEventListener(UsbEventListener*) override {}
  std::size_t HandleEvents() override { return 0; }
  bool HotplugAvailable() const override { return false; }
  int HotplugError() const override { return 2; }
  std::string Problem() const override { return why_; }

 private:
  std::string why_;
};

}  // namespace

std::unique_ptr<UsbBackend> MakeHostBackend() {
  std::string why;
  if (auto backend = MakeLibusbBackend(why)) return backend;
  return std::make_unique<UnavailableBus>(why);
}

}  // namespace quillon
