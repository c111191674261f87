// The three reset functions of the flat interface: reset the current chip,
// find it again, and rebuild its transports on the new device.
#include "device/current_device.h"
#include "device/link_failure.h"
#include "device/result.h"
#include "device/reset_reopen.h"
#include "device/vxcam.h"

namespace quillon {
namespace {

int ResetCurrent(FlowDevice& flow, ResetCode command, std::uint16_t value, std::uint32_t flags,
                 std::uint32_t waitMs) {
  CurrentDevice& current = TheCurrentDevice();
  CVxtCam* cam = current.cam();
  if (cam == nullptr) return 0;
  ResetRequest request;
  request.command = command;
  request.value = value;
  if (command != ResetCode::kToUpdateFW) {
    cam->record().kind = (flags & kFlagAudioSearch) != 0 ? DeviceKind::kAudio : DeviceKind::kCamera;
    if ((flags & kFlagReuseTransports) != 0) {
      request.given = true;
      request.unitId = static_cast<int>(cam->info().xuUnitId);
      request.vendorRequest6 = cam->info().vendorRequest6;
      request.vendorTransport = cam->info().vendorTransport;
    }
  }
  request.forceUnit = (flags & kFlagForceUnit) != 0;
  request.limitMs = kResetLimitMs;
  request.event = &cam->arrival();
  request.waitMs = waitMs;

  if (const std::uint32_t error = ResetAndReopen(cam->record(), request); error != kUsbOk) {
    // The error is already a device result where the sequence decided
    // itself; otherwise the USB error of the transfer that ended it.
    NoteLinkFailure(command == ResetCode::kToUpdateFW ? "reset to the loader and reopen" : "reset to new code and reopen", 0,
                    (error & 0x80000000u) != 0 ? error : ResultFromError(error));
    // No other chip is opened in its place: whatever the caller does next
    // (protection, another reset) must not land on a unit nobody named.
    current.Drop();
    flow.handle = 0;
    return 0;
  }
  cam->RebuildTransports();
  if (cam->SelectTransport() == nullptr) return 0;
  current.handle = current.NewHandle();
  flow.handle = current.handle;
  return 1;
}

}  // namespace

int VxCam_ResetToUpdateFWAndReopen(FlowDevice& flow, std::uint16_t value, std::uint32_t flags, std::uint32_t waitMs) {
  return ResetCurrent(flow, ResetCode::kToUpdateFW, value, flags, waitMs);
}

int VxCam_ResetToRomAndReopen(FlowDevice& flow, std::uint32_t flags, std::uint32_t waitMs) {
  return ResetCurrent(flow, ResetCode::kToRom, 0, flags, waitMs);
}

int VxCam_ResetToRomByRequestAndReopen(FlowDevice& flow, std::uint32_t flags, std::uint32_t waitMs) {
  return ResetCurrent(flow, ResetCode::kToRomByRequest, 0, flags, waitMs);
}

}  // namespace quillon
