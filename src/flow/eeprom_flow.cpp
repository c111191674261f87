// The EEPROM sequences: one programming core over the width's differences,
// the 8-bit download and update, the 16-bit wrapper and download, read, erase,
// the file-driven variants and the dumps. Both widths write image byte 1 as
// 0xFF with the bulk data and put the tag 0xA5 there last, so a chip whose
// write was cut short never starts.
#include "flow/eeprom_flow.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>

#include "data/config_image.h"
#include "data/config_record.h"
#include "data/ic_type_ini.h"
#include "data/image_checks.h"
#include "data/serial_record.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "flow/first_mismatch.h"
#include "flow/flow_factory.h"
#include "flow/flow_helpers.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow/step_runner.h"
#include "flow/step_list.h"
#include "platform/clock.h"

namespace quillon {
namespace {

constexpr std::uint32_t kEmptyCheckLength = 64;
constexpr std::size_t kTagOffset = 1;

// The tag byte goes to the chip only with the tag write.
void HoldTagBack(std::span<std::uint8_t> image) {
  if (image.size() > kTagOffset) image[kTagOffset] = 0xFF;
}

std::span<std::uint8_t> UpdateImageOf(CFirmwareImage& image) {
  return std::span(image.builtin).first(std::min(image.builtinLength, image.builtin.size()));
}

}  // namespace

// ---- shared ----

void CEepromInfo::TakeDeviceVersion() {
  std::array<std::uint8_t, kDevStatusLength> status{};
  if (ReadDevStatus(chip.device.handle, status, chip.device.transportFlags)) {
    const std::size_t active = ActiveRecordOf(status).offset;
    std::copy_n(status.begin() + static_cast<std::ptrdiff_t>(active), chip.codeVersion.size(), chip.codeVersion.begin());
  }
  MP_RefreshVersionText();
}


int CEepromInfo::DEV_Read() {
  if (MP_OpenRomDevice() == 0) return 0;
  if (!Allocate(chip.readBuffer, WorkingMemorySize())) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  if (MP_ReadEeprom(chip.readBuffer) == 0) {
    // The chip stays where it is after a failure, and the failure stays the last status.
    PostFlowMessage(WM_FLOW_FAIL, msg::kReadEepromFail);
    return 0;
  }
  // A read ends in the new code whatever the reset option says.
  if (ResetIntoNewCode() == 0) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
    return 0;
  }
  if (SaveReadResult() == 0) return 0;
  return Finish(0, msg::kReadEepromSucceed);
}

// The pin is released as for every other EEPROM write: with it held, the chip
// acknowledges the erase and keeps its bytes.
int CEepromInfo::DEV_Erase() {
  if (MP_OpenRomDevice() == 0) return 0;
  const auto length = static_cast<std::uint32_t>(WorkingMemorySize());
  const std::uint32_t failure = RunSteps(Scope(), {
      {nullptr, msg::kDisableWriteProtectFail, [&] { return MP_DisableEepromWriteProtect() != 0; }},
      {nullptr, msg::kEraseEepromFail,
       [&] {
         const bool erased = MP_EraseEeprom(length) != 0;
         // Protection goes back on whether or not the erase went through.
         MP_EnableEepromWriteProtect();
         return erased;
       }},
      {nullptr, msg::kResetDeviceFail, [&] { return ResetIntoNewCode() != 0; },
       (chip.settings.updateOptions & update_option::kResetAfter) != 0},
  });
  return Finish(failure, msg::kEraseEepromSucceed);
}

int CEepromInfo::DEV_EraseEx(int resetAfter) {
  SetResetAfter(resetAfter != 0);
  return DEV_Erase();
}

std::uint32_t CEepromInfo::ProgramCore(std::span<std::uint8_t> code, bool checkEmpty) {
  const EepromProgramming& how = width_.programming;
  const auto traced = [&](const char* line) { return how.traceSteps ? line : nullptr; };
  const std::uint32_t options = chip.settings.updateOptions;
  const bool program = (options & update_option::kProgram) != 0;
  return RunSteps(Scope(), {
      {traced("Disable Write Protect Fail\n"), msg::kDisableWriteProtectFail,
       [&] { return MP_DisableEepromWriteProtect() != 0; }},
      // Erasing the head clears the tag first: from here on the chip does not start.
      {nullptr, msg::kEraseEepromFail, [&] { return MP_EraseEeprom(kEmptyCheckLength) != 0; }, how.eraseHead},
      {nullptr, msg::kCheckEmptyFail, [&] { return MP_CheckEepromEmpty(chip.readBuffer) != 0; },
       how.eraseHead && checkEmpty},
      {traced("Write I2CEEP Fail\n"), msg::kUpdateEepromFail,
       [&] {
         HoldTagBack(code);
         return MP_WriteEeprom(code) != 0;
       },
       program},
      {traced("Read I2CEEP Fail\n"), msg::kReadEepromFail,
       [&] {
         if (chip.readBuffer.size() < code.size()) return false;
         const std::span<std::uint8_t> back = std::span(chip.readBuffer).first(code.size());
         return (how.verifyOnChip ? MP_VerifyEeprom(back) : MP_ReadEeprom(back)) != 0;
       },
       program},
      {traced("Check I2CEEP Fail\n"), msg::kCompareDataFail, [&] { return SameOrReported(code, chip.readBuffer); },
       program},
      {traced("Write I2CEEP Tag Fail\n"), msg::kWriteTagFail, [&] { return MP_WriteEepromTag() != 0; }, program},
      {traced("Enable Write Protect Fail\n"), msg::kEnableWriteProtectFail,
       [&] { return MP_EnableEepromWriteProtect() != 0; }},
      {traced("Device ResetToRom Fail\n"), msg::kResetDeviceFail, [&] { return ResetIntoNewCode() != 0; },
       how.resetInCore && (options & update_option::kResetAfter) != 0},
  });
}

// ---- 8-bit ----

int CEepromInfo8_USB::EEU8_Download() {
  std::span<std::uint8_t> code(chip.image.fileData);
  int result = 0;
  if (PreActionForTessaro() != 0) {
    if (!Allocate(chip.readBuffer, code.size())) {
      result = Finish(msg::kMallocDataFail, 0);
    } else if (MP_OpenRomDevice() != 0) {
      std::uint32_t failure = ProgramCore(code, (chip.settings.updateOptions & update_option::kCheckEmpty) != 0);
      if (failure == 0 && (chip.settings.updateOptions & update_option::kResetAfter) != 0 && ResetIntoNewCode() == 0) {
        failure = msg::kResetDeviceFail;
      }
      if (failure == 0) SerialCountdown();
      result = Finish(failure, msg::kDownloadEepromSucceed);
    }
  }
  TakeDeviceVersion();
  return result;
}

int CEepromInfo8_USB::DEV_Update() {
  if (MP_OpenRomDevice() == 0) return 0;
  std::span<std::uint8_t> code = UpdateImageOf(chip.image);
  std::uint32_t failure = Allocate(chip.readBuffer, code.size()) ? ProgramCore(code, false) : msg::kMallocDataFail;
  // The 8-bit update always ends in the new code.
  if (failure == 0 && ResetIntoNewCode() == 0) failure = msg::kResetDeviceFail;
  return Finish(failure, msg::kUpdateEepromSucceed);
}

// ---- 16-bit ----

int CEepromInfo16_USB::EE16_UpdateEx_Cmd2(std::span<std::uint8_t> code, std::uint32_t& failure) {
  failure = ProgramCore(code, false);
  return failure == 0 ? 1 : 0;
}

int CEepromInfo16_USB::EE16_UpdateEx(std::span<std::uint8_t> code) {
  return RunProgrammingCore(
      code.size(), nullptr,
      [&] {
        std::uint32_t failure = 0;
        EE16_UpdateEx_Cmd2(code, failure);
        return failure;
      },
      [&] { MP_EnableEepromWriteProtect(); });
}

int CEepromInfo16_USB::EEU16_Download() {
  int result = 0;
  if (PreActionForTessaro() != 0) {
    if (!Allocate(chip.readBuffer, chip.image.fileData.size())) {
      Finish(msg::kMallocDataFail, 0);
    } else if (MP_OpenRomDevice() != 0 && EE16_UpdateEx(chip.image.fileData) != 0) {
      SerialCountdown();
      result = Finish(0, msg::kDownloadEepromSucceed);
    }
  }
  if (!CommandLine()) MP_RefreshVersionText();
  return result;
}

int CEepromInfo16_USB::DEV_Update() {
  if (MP_OpenRomDevice() == 0) return 0;
  if (EE16_UpdateEx(UpdateImageOf(chip.image)) == 0) return 0;
  Finish(0, msg::kUpdateEepromSucceed);
  MP_RefreshVersionText();
  return 1;
}

}  // namespace quillon
