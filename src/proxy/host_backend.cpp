#include "proxy/host_backend.h"

namespace quillon {
namespace {

class EmptyBus final : public UsbBackend {
 public:
  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override {
    out.clear();
    return kUsbOk;
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
};

}  // namespace

std::unique_ptr<UsbBackend> MakeHostBackend() { return std::make_unique<EmptyBus>(); }

}  // namespace quillon
