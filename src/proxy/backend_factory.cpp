#include "proxy/backend_factory.h"

#include <atomic>

#include "proxy/host_backend.h"

namespace quillon {
namespace {

UsbBackend& DefaultBackend() {
  static std::unique_ptr<UsbBackend> backend = MakeHostBackend();
  return *backend;
}

std::atomic<UsbBackend*>& Current() {
  static std::atomic<UsbBackend*> current{nullptr};
  return current;
}

}  // namespace

UsbBackend& TheUsbBackend() {
  UsbBackend* backend = Current().load();
  return backend != nullptr ? *backend : DefaultBackend();
}

ScopedUsbBackend::ScopedUsbBackend(std::unique_ptr<UsbBackend> backend)
    : backend_(backend ? std::move(backend) : MakeHostBackend()), previous_(Current().exchange(backend_.get())) {}

ScopedUsbBackend::~ScopedUsbBackend() { Current().store(previous_); }

}  // namespace quillon
