// A bulk phase (check empty, write, read back) moves its data in larger
// extension-unit pieces: the data-control size goes up to 64 for the phase and
// back to 8 when the phase ends, on every path out of it.
#pragma once

#include <cstdint>

#include "device/vxcam.h"
#include "proxy/device_record.h"

namespace quillon {

inline constexpr std::uint32_t kBulkPieceSize = 64;

// The size bulk phases ask for: kBulkPieceSize unless set otherwise
// (kPlainPieceSize leaves the size alone, for measuring the difference).
std::uint32_t BulkPieceSize();
void SetBulkPieceSize(std::uint32_t size);

class BulkPhase {
 public:
  // Raises the size when calls with `device.transportFlags` go through the
  // extension unit; a chip that answers another length is used at that length.
  // `extraFlags` for commands that take the extension unit whatever the flags
  // say (kFlagForceUnit: the 16-bit EEPROM and OTP commands).
  explicit BulkPhase(const FlowDevice& device, std::uint32_t extraFlags = 0);
  ~BulkPhase();
  BulkPhase(const BulkPhase&) = delete;
  BulkPhase& operator=(const BulkPhase&) = delete;

  // The piece size in force for the phase.
  std::uint32_t pieceSize() const { return size_; }

 private:
  DeviceHandle handle_;
  bool changed_ = false;
  std::uint32_t size_ = kPlainPieceSize;
};

}  // namespace quillon
