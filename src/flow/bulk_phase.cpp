#include "flow/bulk_phase.h"

#include <atomic>

#include "flow/step_runner.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

std::atomic<std::uint32_t>& Requested() {
  static std::atomic<std::uint32_t> size{kBulkPieceSize};
  return size;
}

// The same size asked for again: a stalled change leaves the unit as it was.
bool ChangeSize(DeviceHandle handle, std::uint32_t& size) {
  const std::uint32_t wanted = size;
  return RetriedLink(LinkStep::kDataControlSize, [&] {
    size = wanted;
    return VxCam_ChangeDataControlSize(handle, size);
  });
}

}  // namespace

std::uint32_t BulkPieceSize() { return Requested().load(); }
void SetBulkPieceSize(std::uint32_t size) { Requested().store(size); }

BulkPhase::BulkPhase(const FlowDevice& device, std::uint32_t extraFlags) : handle_(device.handle) {
  const std::uint32_t wanted = BulkPieceSize();
  if (wanted == kPlainPieceSize || VxCam_UsesExtensionUnit(handle_, device.transportFlags | extraFlags) == 0) return;
  std::uint32_t size = wanted;
  if (!ChangeSize(handle_, size)) {
    // The unit now uses what the chip reported, or kept its size when the
    // chip could not be asked.
    DebugPrint("Bulk phase: data-control size %u instead of %u\n", size, wanted);
  }
  size_ = size;
  changed_ = size != kPlainPieceSize;
}

BulkPhase::~BulkPhase() {
  if (!changed_) return;
  std::uint32_t size = kPlainPieceSize;
  if (!ChangeSize(handle_, size)) {
    DebugPrint("Bulk phase: data-control size not set back to %u (now %u)\n", kPlainPieceSize, size);
  }
}

}  // namespace quillon
