#include "flow/flow_factory.h"

#include "flow/eeprom_flow.h"
#include "flow/flash_flow.h"
#include "flow/otp_flow.h"
#include "flow/status.h"

namespace quillon {
namespace {

std::unique_ptr<CDevFlow>& Slot() {
  static std::unique_ptr<CDevFlow> flow;
  return flow;
}

}  // namespace

std::unique_ptr<CDevFlow> MakeFlow(MemoryType memory, BusType bus) {
  if (bus != BusType::Usb) return nullptr;
  switch (memory) {
    case MemoryType::SpiFlash:
      return std::make_unique<CSPIFlashInfo_USB>();
    case MemoryType::NorFlash:
      return std::make_unique<CNORFlashInfo_USB>();
    case MemoryType::Eeprom8:
      return std::make_unique<CEepromInfo8_USB>();
    case MemoryType::Eeprom16:
      return std::make_unique<CEepromInfo16_USB>();
    case MemoryType::Otp:
      return std::make_unique<COTPInfo_USB>();
    default:
      return nullptr;
  }
}

CDevFlow* TheFlow() { return Slot().get(); }

CDevFlow* RecreateFlow(bool keep) {
  std::unique_ptr<CDevFlow>& slot = Slot();
  std::unique_ptr<CDevFlow> made = MakeFlow(CurrentMemoryType(), CurrentBusType());
  if (!made) {
    slot.reset();
    SetLastStatus(0);
    return nullptr;
  }
  if (slot) {
    if (keep) {
      static_cast<CDevFlowData&>(*made) = static_cast<CDevFlowData&>(*slot);
    } else {
      made->settings = slot->settings;
    }
  }
  slot = std::move(made);
  return slot.get();
}

void DestroyFlow() { Slot().reset(); }

}  // namespace quillon
