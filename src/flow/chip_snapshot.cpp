#include "flow/chip_snapshot.h"

#include "device/cam_dev.h"
#include "device/vxcam.h"
#include "flow/dev_flow.h"
#include "flow/flow_factory.h"

namespace quillon {

ChipSnapshot SnapshotOf(const CDevFlow& flow) {
  ChipSnapshot s;
  s.vendorId = flow.vendorId;
  s.productId = flow.productId;
  s.revision = flow.revision;
  s.identity = flow.fullIdText;
  s.deviceName = flow.deviceName;
  s.open = flow.device.handle != 0;
  if (s.open) {
    if (CCamDev* object = VxCam_CurrentDevice()) s.location = object->record().location;
  }
  s.foundAt = flow.foundAt;
  s.versionText = flow.versionText;
  s.versionWords = flow.versionFields;
  s.connectionText = flow.connectionText;
  s.imageFile = flow.image.mainFile;
  s.serial = flow.serialNumber.empty() ? flow.usbSerial : flow.serialNumber;
  s.otpUsedBytes = flow.OtpBytesInUse();
  s.accepted = flow.accepted;
  return s;
}

ChipSnapshot CurrentChipSnapshot() {
  const CDevFlow* flow = TheFlow();
  return flow != nullptr ? SnapshotOf(*flow) : ChipSnapshot{};
}

}  // namespace quillon
