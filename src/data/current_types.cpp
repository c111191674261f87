#include "data/current_types.h"

#include <atomic>

namespace quillon {
namespace {

std::atomic<MemoryType>& Memory() {
  static std::atomic<MemoryType> type{MemoryType::SpiFlash};
  return type;
}

std::atomic<BusType>& Bus() {
  static std::atomic<BusType> type{BusType::Usb};
  return type;
}

}  // namespace

MemoryType CurrentMemoryType() { return Memory().load(); }
void SetCurrentMemoryType(MemoryType type) { Memory().store(type); }

BusType CurrentBusType() { return Bus().load(); }
void SetCurrentBusType(BusType type) { Bus().store(type); }

}  // namespace quillon
