// The process-wide memory type and bus type of the current device and profile.
#pragma once

#include <cstdint>

namespace quillon {

enum class MemoryType : std::uint32_t {
  SpiFlash = 0,
  NorFlash = 1,
  Eeprom8 = 2,
  Eeprom16 = 3,
  Mtp = 4,
  Otp = 6,
};

enum class BusType : std::uint32_t { Usb = 0, Pcie = 1, Mipi = 2 };

MemoryType CurrentMemoryType();
void SetCurrentMemoryType(MemoryType type);

BusType CurrentBusType();
void SetCurrentBusType(BusType type);

}  // namespace quillon
