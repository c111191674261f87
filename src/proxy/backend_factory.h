// The process's USB backend. The application chooses it once at start-up (the
// host stack, or the simulator when asked for) and installs it here; the device
// layer reaches it through TheUsbBackend(). proxy/ never knows which one it is.
#pragma once

#include <memory>

#include "proxy/usb_backend.h"

namespace quillon {

// The installed backend; the empty host bus until something is installed.
UsbBackend& TheUsbBackend();

// Installs `backend` for the lifetime of this object and destroys it at the end
// (a simulator backend saves its chips then), restoring the previous one.
class ScopedUsbBackend {
 public:
  explicit ScopedUsbBackend(std::unique_ptr<UsbBackend> backend);
  ~ScopedUsbBackend();
  ScopedUsbBackend(const ScopedUsbBackend&) = delete;
  ScopedUsbBackend& operator=(const ScopedUsbBackend&) = delete;

  UsbBackend& backend() { return *backend_; }

 private:
  std::unique_ptr<UsbBackend> backend_;
  UsbBackend* previous_;
};

}  // namespace quillon
