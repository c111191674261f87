#include "flow/flow_factory.h"

#include "flow/eeprom_flow.h"
#include "flow/flash_flow.h"
#include "flow/otp_flow.h"
#include "flow/status.h"

namespace quillon {
namespace {

// The session outlives the memory type's object; only the object is swapped.
struct FlowSlot {
  ChipSession session;
  std::unique_ptr<CDevFlow> flow;
};

FlowSlot& Slot() {
  static FlowSlot slot;
  return slot;
}

}  // namespace

std::unique_ptr<CDevFlow> MakeFlow(MemoryType memory, BusType bus, ChipSession& session) {
  if (bus != BusType::Usb) return nullptr;
  switch (memory) {
    case MemoryType::SpiFlash:
      return std::make_unique<CSPIFlashInfo_USB>(session);
    case MemoryType::NorFlash:
      return std::make_unique<CNORFlashInfo_USB>(session);
    case MemoryType::Eeprom8:
      return std::make_unique<CEepromInfo8_USB>(session);
    case MemoryType::Eeprom16:
      return std::make_unique<CEepromInfo16_USB>(session);
    case MemoryType::Otp:
      return std::make_unique<COTPInfo_USB>(session);
    default:
      return nullptr;
  }
}

CDevFlow* TheFlow() { return Slot().flow.get(); }

CDevFlow* RecreateFlow(bool keep) {
  FlowSlot& slot = Slot();
  // The old object goes first: nothing of it may outlive the swap.
  const bool hadFlow = slot.flow != nullptr;
  slot.flow.reset();
  if (!keep || !hadFlow) {
    FlowSettings settings = slot.session.settings;
    slot.session = ChipSession{};
    if (hadFlow) slot.session.settings = std::move(settings);
  }
  slot.flow = MakeFlow(CurrentMemoryType(), CurrentBusType(), slot.session);
  if (!slot.flow) SetLastStatus(0);
  return slot.flow.get();
}

void DestroyFlow() { Slot().flow.reset(); }

}  // namespace quillon
