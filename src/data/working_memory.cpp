#include "data/working_memory.h"

#include <atomic>

namespace quillon {
namespace {
std::atomic<std::size_t>& Size() {
  static std::atomic<std::size_t> size{kDefaultWorkingMemorySize};
  return size;
}
}  // namespace

std::size_t WorkingMemorySize() { return Size().load(); }
void SetWorkingMemorySize(std::size_t size) { Size().store(size); }

}  // namespace quillon
