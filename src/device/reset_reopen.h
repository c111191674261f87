// Resetting a chip and finding it again: the reset command drops the chip off
// the bus; it comes back as a new device at the same port, possibly in another
// class. The sequence waits for it, finds it by its location, makes sure it is
// not the old device still lingering, waits until it answers, and puts the new
// device in the record's place.
#pragma once

#include <cstdint>

#include "device/arrival_event.h"
#include "device/reset_plan.h"
#include "proxy/device_record.h"

namespace quillon {

inline constexpr std::uint32_t kResetLimitMs = 15000;
inline constexpr std::uint32_t kDefaultResetWaitMs = 5000;
inline constexpr std::uint32_t kExtraResetWaitMs = 2000;
inline constexpr std::uint32_t kResetRetryMs = 300;
inline constexpr std::uint32_t kSearchNoDeviceMs = 200;
inline constexpr std::uint32_t kSearchNotFoundMs = 500;
inline constexpr std::uint32_t kReconnectPollMs = 300;
// How often the wait after a reset looks for the chip on the bus.
inline constexpr std::uint32_t kReturnPollMs = 50;

struct ResetRequest {
  ResetCode command = ResetCode::kToUpdateFW;
  std::uint16_t value = 0;
  // Transports as the caller knows them; otherwise they are probed.
  bool given = false;
  int unitId = -1;
  std::uint32_t vendorRequest6 = 0;
  std::uint32_t vendorTransport = 0;
  // Prefer the extension unit when there is one.
  bool forceUnit = false;
  // 0: no limit.
  std::uint32_t limitMs = kResetLimitMs;
  // Ends the wait after the reset early when set (may be null).
  ArrivalEvent* event = nullptr;
  // The longest wait after the reset ("Wait Time"); it ends once the chip is back.
  std::uint32_t waitMs = kDefaultResetWaitMs;
};

// 0 with `record` now the re-found device; kUsbErrorInvalidArgument for a
// record that is not open; kResultFail when the transport probe fails;
// kUsbErrorTimeout when the chip did not come back in time (the old record is
// then closed); or the USB error of the reset command (the old device stays open).
std::uint32_t ResetAndReopen(DeviceRecord& record, const ResetRequest& request);

}  // namespace quillon
