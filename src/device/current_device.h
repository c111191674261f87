// The process's current device: the one object the flat device functions act
// on, its handle, and the "Lib Type" given at start-up.
#pragma once

#include <cstdint>
#include <memory>

#include "device/cam_dev.h"

namespace quillon {

struct CurrentDevice {
  std::unique_ptr<CCamDev> object;
  std::uint32_t handle = 0;
  std::uint32_t libType = 0;
  std::uint32_t lastHandle = 0;
  // The open found the extension unit silent and qualified the chip through
  // its vendor requests: calls that ask for the unit go there instead.
  bool unitSilent = false;
  // Why the last VxCam_OpenDeviceByIndex did not open its device (kResultOk when it did).
  std::uint32_t lastOpenFailure = 0;

  // A fresh handle for a device just opened (never 0).
  std::uint32_t NewHandle() {
    if (++lastHandle == 0) lastHandle = 1;
    return lastHandle;
  }
  CVxtCam* cam() { return dynamic_cast<CVxtCam*>(object.get()); }
  void Drop() {
    object.reset();
    handle = 0;
    unitSilent = false;
  }
};

CurrentDevice& TheCurrentDevice();

}  // namespace quillon
