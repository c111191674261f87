// NOR flash: erase, check, program, read back through the SPI read command,
// set the tag flag, reset. No write protection and no tag address.
#include <algorithm>
#include <array>

#include "data/config_image.h"
#include "flow/bulk_phase.h"
#include "flow/first_mismatch.h"
#include "flow/flash_flow.h"
#include "flow/flow_helpers.h"
#include "flow/status.h"
#include "flow/step_list.h"
#include "flow/step_runner.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"

namespace quillon {

int CNORFlashInfo_USB::HasNorFlash() {
  std::array<std::uint8_t, 8> head{};
  const auto probe = [&] { return VxCam_NorFlash_Read(chip.device.handle, 0, head, chip.device.transportFlags) != 0; };
  if (Retried(kProbeAttempts, probe) || ProbeOnceMoreIfChipAnswers(chip.device.handle, chip.device.transportFlags, probe)) {
    return 1;
  }
  TraceFailure(Scope(), "No NOR Flash On Chip\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kFirmwareNotForDevice);
  return 0;
}

int CNORFlashInfo_USB::DEV_Download() {
  std::span<std::uint8_t> code(chip.image.fileData);
  if (!FitsCodeMemory(code, kFlashCodeMemory)) return 0;
  if (!Allocate(chip.readBuffer, code.size())) return Finish(msg::kMallocDataFail, 0);
  if (HasNorFlash() == 0) return 0;

  int result = 0;
  if (MP_OpenRomDevice() != 0) {
    std::uint32_t failure = 0;
    NOR_UpdateSteps(code, failure);
    result = Finish(failure, msg::kFirmwareUpdateSucceed);
  }
  ReadCodeVersion();
  MP_RefreshVersionText();
  return result;
}

int CNORFlashInfo_USB::NOR_UpdateSteps(std::span<std::uint8_t> code, std::uint32_t& failure) {
  const std::uint32_t options = chip.settings.updateOptions;
  const bool program = (options & update_option::kProgram) != 0;
  // The bulk phases go in 64-byte extension-unit pieces.
  const auto InBulk = [this](auto&& phase) {
    BulkPhase bulk(chip.device);
    return phase() != 0;
  };
  failure = RunSteps(Scope(), {
      {"Erase Flash Fail\n", msg::kEraseFlashFail, [&] { return MP_EraseNorFlash() != 0; }},
      {"Check Flash Empty Fail\n", msg::kCheckEmptyFail,
       [&] { return InBulk([&] { return MP_CheckNorFlashEmpty(chip.readBuffer); }); },
       (options & update_option::kCheckEmpty) != 0},
      {"Write Flash Code Fail\n", msg::kUpdateFlashFail, [&] { return InBulk([&] { return MP_WriteNorFlash(code); }); },
       program},
      {"Read Flash Code Fail\n", msg::kReadFlashFail,
       [&] { return InBulk([&] { return MP_VerifyNorFlash(chip.readBuffer); }); }, program},
      {"Check Flash Code Fail\n", msg::kCompareDataFail, [&] { return SameOrReported(code, chip.readBuffer); }, program},
      {"Write Tag Fail\n", msg::kWriteTagFail, [&] { return MP_WriteNorTag() != 0; }, program && chip.configAtZero == 0},
      {"Devcie ResetToCache Fail\n", msg::kResetDeviceFail, [&] { return ResetIntoNewCode() != 0; },
       (options & update_option::kResetAfter) != 0},
  });
  return failure == 0 ? 1 : 0;
}

}  // namespace quillon
