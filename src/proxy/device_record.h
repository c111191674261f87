// Finding a chip on the bus, opening it, knowing where it sits, and probing
// which command transports it answers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "proxy/usb_backend.h"
#include "proxy/vendor_wire.h"

namespace quillon {

inline constexpr std::size_t kStatusBlockSize = 96;
inline constexpr std::uint32_t kWakeWaitLimitMs = 10000;
inline constexpr std::uint32_t kWakeWaitStepMs = 200;

struct DeviceInfoRecord {
  std::array<std::uint8_t, 18> deviceDescriptor{};
  std::vector<std::uint8_t> configuration;
  std::uint32_t supported = 0;
  std::uint32_t xuTransport = 0;
  std::uint32_t vendorRequest6 = 0;
  std::uint32_t vendorTransport = 0;
  std::uint32_t specialCamera = 0;
  std::uint32_t irCamera = 0;
  std::uint32_t xuUnitId = 0;
  std::array<std::uint8_t, kStatusBlockSize> statusBlock{};

  std::uint16_t VendorId() const { return static_cast<std::uint16_t>(deviceDescriptor[8] | deviceDescriptor[9] << 8); }
  std::uint16_t ProductId() const {
    return static_cast<std::uint16_t>(deviceDescriptor[10] | deviceDescriptor[11] << 8);
  }
  std::uint16_t BcdDevice() const {
    return static_cast<std::uint16_t>(deviceDescriptor[12] | deviceDescriptor[13] << 8);
  }
};

struct DeviceRecord {
  UsbHandle hVxProxyDev = 0;
  // This enumeration of the device (changes when it re-enumerates).
  std::string instance;
  std::uint32_t rootHubKind = 0;
  std::string friendlyName;
  DeviceKind kind = DeviceKind::kAudio;
  // The physical port ("3-1.4"), the same after a re-enumeration.
  std::string location;
  std::uint32_t interfaceNumber = 0;
  // 1 + the number of hubs between the device and the root.
  std::uint32_t chainCount = 0;
  std::unique_ptr<DeviceInfoRecord> info;
};

struct ListEntry {
  std::string instance;
  std::string name;
  std::string location;
};

// The present devices of `kind`, in location order so that indexes repeat.
// 0 or the backend's error.
std::uint32_t VxCam_ListDevice(std::vector<ListEntry>& out, DeviceKind kind);

// Opens the device listed under `instance` into `record`; 0 or the error.
std::uint32_t OpenVxCam(DeviceRecord& record, const std::string& instance);
// Opens the memberIndex-th present device of `kind`; 0, the error, or 2 when
// it vanished while waking up.
std::uint32_t VxCam_OpenDevice(DeviceRecord& record, int memberIndex, DeviceKind kind);
// Caps, on this thread and while it lives, how long an open waits for a device
// that answers "not ready" (a reset passes what is left of its own limit).
class ScopedWakeWaitLimit {
 public:
  explicit ScopedWakeWaitLimit(std::uint32_t limitMs);
  ~ScopedWakeWaitLimit();
  ScopedWakeWaitLimit(const ScopedWakeWaitLimit&) = delete;
  ScopedWakeWaitLimit& operator=(const ScopedWakeWaitLimit&) = delete;

 private:
  std::uint32_t previous_;
};
// Releases the device and the information record.
void CloseDeviceRecord(DeviceRecord& record);

// Builds the information record; with one present and force false, true at once.
bool ProbeDevice(DeviceRecord& record, bool force);
// The extension unit's pieces on control 11 are this long unless a command changed them.
inline constexpr std::uint32_t kPlainPieceSize = 8;
// A chip left at another data-control size (a bulk phase cut short, a tool that
// ended inside one) refuses 8-byte pieces: when it reports another size, set
// it back to 8. True when it was elsewhere and now is at 8.
bool XuBackToPlainPieces(const DeviceRecord& record, std::uint8_t unitId);
// The lighter probe of the reset sequence: true when a transport answered with
// the signature.
bool ProbeTransports(DeviceRecord& record, int& unitId, std::uint32_t& vendorRequest6, std::uint32_t& vendorTransport);

bool IsSameLocation(const DeviceRecord& a, const DeviceRecord& b);
// The port number on its hub and the hub's location.
std::uint32_t GetDeviceLocation(const DeviceRecord& record, std::uint32_t& address, std::string& hub);

// Vendor request 7 in 8-byte pieces from wValue `first`: 0, the backend's
// error, or 0x80004005 for a piece that is not exactly 8 bytes.
std::uint32_t VendorGetDevStatus(UsbHandle device, std::uint16_t first, std::span<std::uint8_t> buffer);
// The extension unit answers command 0xD0 with the signature.
bool XuQualify(const DeviceRecord& record, std::uint8_t unitId);
// One extension-unit command block on the command control, then one 8-byte
// piece on the data control (to the host when `toHost`, zeroed first); when
// the piece is refused and the chip was at another size, once more at 8. 0 or
// the error of the transfer that failed. Takes no lock.
std::uint32_t XuCommandWithPiece(const DeviceRecord& record, std::uint8_t unitId, const CommandBlock& block,
                                 std::span<std::uint8_t, 8> piece, bool toHost);

// "VID_%04X&PID_%04X&REV_%04X".
std::string FullIdText(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t revision);

}  // namespace quillon
