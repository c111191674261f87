// Which chip a batch run opens: the one the command line names, or the one
// the settings' rule takes.
#include <cstdio>

#include "app/chip_list.h"
#include "app/parse_arg.h"
#include "data/settings.h"
#include "device/cam_dev.h"
#include "device/vxcam.h"
#include "flow/dev_flow.h"
#include "flow/device_selection.h"
#include "flow/status.h"

namespace quillon {
namespace {

std::string OpenedLocation() {
  CCamDev* object = VxCam_CurrentDevice();
  return object != nullptr ? object->record().location : std::string();
}

}  // namespace

bool CParseArg::OpenTargetChip(CDevFlow& flow) {
  if (!locationSelector.empty()) {
    const auto present = PresentChips();
    const LocationPick pick =
        present ? PickByLocation(*present, locationSelector) : LocationPick{std::nullopt, "the bus could not be read"};
    if (!pick.index) {
      std::fprintf(stderr, "quillon: %s\n", pick.refusal.c_str());
      SetLastStatus(pick.present ? msg::kVidPidNotMatch : msg::kDetectDeviceFail);
      return false;
    }
    if (OpenNamedDevice(flow, *pick.index) == 0) return false;
    // A chip plugged in between the listing and the open shifts the indexes.
    if (OpenedLocation() == locationSelector) return true;
    flow.MP_CloseDevice();
    std::fprintf(stderr, "quillon: the chips changed while the chip at %s was opened; nothing was written\n",
                 locationSelector.c_str());
    SetLastStatus(msg::kDetectDeviceFail);
    return false;
  }
  if (deviceIndexGiven) return OpenNamedDevice(flow, deviceIndex) != 0;
  if (const auto present = PresentChips()) {
    if (const std::string refusal = SeveralAcceptedRefusal(*present); !refusal.empty()) {
      std::fprintf(stderr, "%s\n", refusal.c_str());
      SetLastStatus(msg::kSeveralUnits);
      return false;
    }
  }
  bool opened = false;
  if (Setting(key::kCheckVidPidIni, 0) != 0) {
    openingByRule_ = true;
    opened = flow.DEV_OpenDeviceByVIDPID() != 0;
    openingByRule_ = false;
  } else {
    for (int index = 0; index < 3 && !opened; ++index) opened = flow.DEV_OpenDeviceByICIni(index) != 0;
  }
  return opened;
}

}  // namespace quillon
