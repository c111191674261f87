// NOR flash: erase, check, program, read back through the SPI read command,
// set the tag flag, reset. No write protection and no tag address.
#include <algorithm>
#include <array>
#include <new>

#include "data/config_image.h"
#include "flow/bulk_phase.h"
#include "flow/flash_flow.h"
#include "flow/flow_helpers.h"
#include "flow/status.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

constexpr TraceScope kNorScope{"CNORFlashInfo_USB", 0, kTraceDevice};

// Records a failing step: its trace line and its id for the caller to post.
int Failed(std::uint32_t& failure, const char* line, std::uint32_t id) {
  return RecordStepFailure(kNorScope, failure, line, id);
}

}  // namespace

int CNORFlashInfo_USB::DEV_ParseImage(std::span<const std::uint8_t> buffer) {
  if (!LocateConfigArea(CurrentAreaContext(), buffer, image.config)) return 0;
  TakeParsedImage();
  return 1;
}

int CNORFlashInfo_USB::DEV_Silence_WriteBin(const std::string& path) {
  return LoadCheckedImage(path, true) != 0 ? DEV_Download() : 0;
}

int CNORFlashInfo_USB::HasNorFlash() {
  std::array<std::uint8_t, 8> probe{};
  for (int attempt = 0; attempt < 8 && !FlowCancelled(); ++attempt) {
    if (VxCam_NorFlash_Read(device.handle, 0, probe, device.transportFlags) != 0) return 1;
    TheClock().SleepMs(128);
  }
  TraceFailure(kNorScope, "No NOR Flash On Chip\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kFirmwareNotForDevice);
  return 0;
}

int CNORFlashInfo_USB::DEV_Download() {
  std::span<std::uint8_t> code(image.fileData);
  if (!FitsCodeMemory(code, kFlashCodeMemory)) return 0;
  try {
    readBuffer.assign(code.size(), 0);
  } catch (const std::bad_alloc&) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  if (HasNorFlash() == 0) return 0;

  int result = 0;
  if (MP_OpenRomDevice() != 0) {
    std::uint32_t failure = 0;
    result = NOR_UpdateSteps(code, failure);
    if (result != 0) {
      PostFlowMessage(WM_FLOW_PROGRESS, 100);
      PostFlowMessage(WM_FLOW_PASS, msg::kFirmwareUpdateSucceed);
    } else {
      PostFlowMessage(WM_FLOW_FAIL, failure);
    }
  }
  ReadCodeVersion();
  MP_RefreshVersionText();
  return result;
}

int CNORFlashInfo_USB::NOR_UpdateSteps(std::span<std::uint8_t> code, std::uint32_t& failure) {
  const std::uint32_t options = settings.updateOptions;
  // The bulk phases go in 64-byte extension-unit pieces.
  const auto InBulk = [this](auto&& phase) {
    BulkPhase bulk(device);
    return phase();
  };
  if (MP_EraseNorFlash() == 0) return Failed(failure, "Erase Flash Fail\n", msg::kEraseFlashFail);
  if ((options & update_option::kCheckEmpty) != 0 && InBulk([&] { return MP_CheckNorFlashEmpty(readBuffer); }) == 0) {
    return Failed(failure, "Check Flash Empty Fail\n", msg::kCheckEmptyFail);
  }
  if ((options & update_option::kProgram) != 0) {
    if (InBulk([&] { return MP_WriteNorFlash(code); }) == 0) return Failed(failure, "Write Flash Code Fail\n", msg::kUpdateFlashFail);
    if (InBulk([&] { return MP_VerifyNorFlash(readBuffer); }) == 0) return Failed(failure, "Read Flash Code Fail\n", msg::kReadFlashFail);
    if (!std::equal(code.begin(), code.end(), readBuffer.begin())) {
      return Failed(failure, "Check Flash Code Fail\n", msg::kCompareDataFail);
    }
    if (configAtZero == 0 && MP_WriteNorTag() == 0) return Failed(failure, "Write Tag Fail\n", msg::kWriteTagFail);
  }
  if ((options & update_option::kResetAfter) != 0) {
    PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
    if (MP_ResetDevice(9, 0) == 0) return Failed(failure, "Devcie ResetToCache Fail\n", msg::kResetDeviceFail);
  }
  return 1;
}

}  // namespace quillon
