// NOR flash: erase, check, program, read back through the SPI read command,
// set the tag flag, reset. No write protection and no tag address.
#include <algorithm>
#include <new>

#include "data/config_image.h"
#include "flow/bulk_phase.h"
#include "flow/flash_flow.h"
#include "flow/status.h"

namespace quillon {

int CNORFlashInfo_USB::DEV_ParseImage(std::span<const std::uint8_t> buffer) {
  if (!LocateConfigArea(CurrentAreaContext(), buffer, image.config)) return 0;
  TakeParsedImage();
  return 1;
}

int CNORFlashInfo_USB::DEV_Download() {
  const auto InBulk = [this](auto&& phase) {
    BulkPhase bulk(device);
    return phase();
  };
  std::span<std::uint8_t> code(image.fileData);
  try {
    readBuffer.assign(code.size(), 0);
  } catch (const std::bad_alloc&) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  const std::uint32_t options = settings.updateOptions;
  std::uint32_t failure = 0;
  int result = 0;
  if (MP_OpenRomDevice() != 0) {
    if (MP_EraseNorFlash() == 0) {
      failure = msg::kEraseFlashFail;
    } else if ((options & update_option::kCheckEmpty) != 0 && InBulk([&] { return MP_CheckNorFlashEmpty(readBuffer); }) == 0) {
      failure = msg::kCheckEmptyFail;
    } else if ((options & update_option::kProgram) != 0) {
      if (InBulk([&] { return MP_WriteNorFlash(code); }) == 0) {
        failure = msg::kUpdateFlashFail;
      } else if (InBulk([&] { return MP_VerifyNorFlash(readBuffer); }) == 0) {
        failure = msg::kReadFlashFail;
      } else if (!std::equal(code.begin(), code.end(), readBuffer.begin())) {
        failure = msg::kCompareDataFail;
      } else if (configAtZero == 0 && MP_WriteNorTag() == 0) {
        failure = msg::kWriteTagFail;
      }
    }
    if (failure == 0 && (options & update_option::kResetAfter) != 0) {
      PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
      if (MP_ResetDevice(9, 0) == 0) failure = msg::kResetDeviceFail;
    }
    if (failure != 0) {
      PostFlowMessage(WM_FLOW_FAIL, failure);
    } else {
      PostFlowMessage(WM_FLOW_PROGRESS, 100);
      PostFlowMessage(WM_FLOW_PASS, msg::kFirmwareUpdateSucceed);
      result = 1;
    }
  }
  std::array<std::uint8_t, kDevStatusLength> status{};
  if (VxCam_GetDevStatus(device.handle, status, device.transportFlags) != 0) {
    const std::size_t active = ActiveRecordOf(status).offset;
    std::copy_n(status.begin() + static_cast<std::ptrdiff_t>(active), codeVersion.size(), codeVersion.begin());
  }
  MP_RefreshVersionText();
  return result;
}

}  // namespace quillon
