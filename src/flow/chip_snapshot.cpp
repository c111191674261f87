#include "flow/chip_snapshot.h"

#include "data/ic_type_ini.h"
#include "device/cam_dev.h"
#include "device/vxcam.h"
#include "flow/dev_flow.h"
#include "flow/flow_factory.h"

namespace quillon {

ChipSnapshot SnapshotOf(const CDevFlow& flow) {
  ChipSnapshot s;
  s.vendorId = flow.chip.vendorId;
  s.productId = flow.chip.productId;
  s.revision = flow.chip.revision;
  s.identity = flow.chip.fullIdText;
  s.deviceName = flow.chip.deviceName;
  s.open = flow.chip.device.handle != 0;
  if (s.open) {
    if (CCamDev* object = VxCam_CurrentDevice()) s.location = object->record().location;
  }
  s.foundAt = flow.chip.foundAt;
  s.versionText = flow.chip.versionText;
  s.versionWords = flow.chip.versionFields;
  s.connectionText = flow.chip.connectionText;
  s.imageFile = flow.chip.image.mainFile;
  s.serial = flow.chip.serialNumber.empty() ? flow.chip.usbSerial : flow.chip.serialNumber;
  s.imageSerial = flow.chip.serialNumber;
  s.chipSerial = flow.chip.usbSerial;
  s.memoryType = flow.memoryType();
  if (const CICTypeIni* profile = CurrentProfile()) s.icFamily = profile->IcName();
  s.otpUsedBytes = flow.OtpBytesInUse();
  s.otpOlderBlocksLive = flow.OtpOlderBlocksLive();
  s.accepted = flow.chip.accepted;
  return s;
}

ChipSnapshot CurrentChipSnapshot() {
  const CDevFlow* flow = TheFlow();
  return flow != nullptr ? SnapshotOf(*flow) : ChipSnapshot{};
}

}  // namespace quillon
