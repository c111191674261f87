// SPI flash: the full download (serial number, preserved record, ROM entry,
// programming, reset into the new code), the two programming cores, read,
// erase, update, verify and the dumps.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>

#include "data/config_image.h"
#include "data/ic_type_ini.h"
#include "data/image_checks.h"
#include "data/serial_record.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "flow/bulk_phase.h"
#include "device/cam_dev.h"
#include "flow/dump_file.h"
#include "flow/first_mismatch.h"
#include "flow/flash_flow.h"
#include "flow/flash_image_parts.h"
#include "flow/flow_helpers.h"
#include "flow/step_list.h"
#include "flow/step_runner.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

constexpr TraceScope kSpiScope{"CSPIFlashInfo_USB", 0, kTraceDevice};
constexpr std::size_t kSimulatedOtpLength = 0x4000;

std::string HexBytes(const char* label, std::span<const std::uint8_t> bytes) {
  std::string text = label;
  char one[8];
  for (std::uint8_t b : bytes) {
    std::snprintf(one, sizeof one, " 0x%02x", b);
    text += one;
  }
  return text;
}

}  // namespace

std::uint32_t CSPIFlashInfo_USB::AreaAddress() const {
  return chip.configAtZero != 0 ? 0 : CurrentAreaContext().configAddress;
}

// ---- the preserved record ----

int CSPIFlashInfo_USB::PreservedRecordFail(const char* line, std::uint32_t status) {
  TraceFailure(kSpiScope, line);
  PostFlowMessage(WM_FLOW_FAIL, status);
  return 0;
}

UnitIdentity CSPIFlashInfo_USB::ThisUnit() const {
  UnitIdentity unit;
  CCamDev* object = VxCam_CurrentDevice();
  if (object != nullptr) unit.location = object->record().location;
  unit.idText = chip.fullIdText;
  unit.usbSerial = chip.usbSerial;
  std::array<std::uint8_t, 8> id{};
  if (VxCam_SPI_SF_ReadID(chip.device.handle, id, chip.device.transportFlags) != 0) {
    char hex[3];
    for (std::uint8_t b : id) {
      std::snprintf(hex, sizeof hex, "%02X", b);
      unit.flashId += hex;
    }
  }
  return unit;
}

// Before the erase: the record goes from the chip (or from the copy the
// operator names) into the new image, with a durable copy kept until a write
// passes.
int CSPIFlashInfo_USB::CarryPreservedRecord() {
  if (chip.vendorId != kPreservedRecordVid || chip.productId != kPreservedRecordPid) return 1;
  std::vector<std::uint8_t> area(kPreservedAreaSize, 0xFF);
  const bool read = Retried(StepOf(Step::kReadSPIFlash).attempts, [&] {
    return VxCam_SPI_SF_Read(chip.device.handle, kPreservedArea, area, chip.device.transportFlags);
  });
  if (!read) return PreservedRecordFail("Read Preserved Record Fail\n", msg::kReadFlashFail);
  const UnitIdentity unit = ThisUnit();
  if (unit.location.empty()) return PreservedRecordFail("Keep Preserved Record Fail\n", msg::kReadFlashFail);
  const std::uint32_t refused = preservedRecord_.Prepare(area, unit, chip.image.mainFile, chip.image.fileData);
  return refused == 0 ? 1 : PreservedRecordFail("Keep Preserved Record Fail\n", refused);
}

// ---- the full download ----

int CSPIFlashInfo_USB::HasSpiFlash() {
  std::uint8_t status = 0;
  const auto probe = [&] { return VxCam_SPI_SF_ReadSr(chip.device.handle, status, chip.device.transportFlags) != 0; };
  if (Retried(kProbeAttempts, probe) || ProbeOnceMoreIfChipAnswers(chip.device.handle, chip.device.transportFlags, probe)) {
    return 1;
  }
  TraceFailure(kSpiScope, "No SPI Flash On Chip\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kFirmwareNotForDevice);
  return 0;
}

int CSPIFlashInfo_USB::FFU_Download() {
  ReadIdentity();
  DebugPrint("Start Download VID is %04x PID is %04x RevID is %04x", unsigned{chip.vendorId}, unsigned{chip.productId},
             unsigned{chip.revision});
  preservedRecord_ = PreservedRecordRun();
  if (!FitsCodeMemory(chip.image.fileData, kFlashCodeMemory)) return 0;
  if (PreActionForTessaro() == 0) return 0;
  if (HasSpiFlash() == 0) return 0;
  if (CarryPreservedRecord() == 0) return 0;

  int result = 0;
  if (MP_OpenRomDevice() != 0) {
    result = FF_UpdateEx(chip.image.fileData);
    SerialCountdown();
    if (result != 0) {
      // The record is in the chip now; the copy has done its job.
      preservedRecord_.Passed();
      ReadIdentity();
      PostFlowMessage(WM_FLOW_PROGRESS, 100);
      PostFlowMessage(WM_FLOW_PASS, msg::kFirmwareUpdateSucceed);
    }
  }
  ReadIdentity();
  DebugPrint("After Download VID is %04x PID is %04x RevID is %04x", unsigned{chip.vendorId}, unsigned{chip.productId},
             unsigned{chip.revision});
  if (!CommandLine()) {
    ReadCodeVersion();
    MP_RefreshVersionText();
  }
  return result;
}

int CSPIFlashInfo_USB::FF_UpdateEx(std::span<std::uint8_t> code) {
  const bool simulatedOtp = code.size() == kSimulatedOtpLength && chip.romFlag != 0;
  const auto rebuild = [&]() -> std::uint32_t {
    const std::uint8_t chipCode = code.size() > 2 ? static_cast<std::uint8_t>(code[2] >> 3) : 0;
    return RebuildForSimulatedOtp(code, chipCode) ? 0 : msg::kGetCodeSizeFail;
  };
  return RunProgrammingCore(
      code.size(), simulatedOtp ? std::function<std::uint32_t()>(rebuild) : nullptr,
      [&] {
        std::uint32_t failure = 0;
        if (simulatedOtp) {
          FF_UpdateEx_ForSimulateOTP(code, failure);
        } else {
          FF_UpdateEx_Standard(code, failure);
        }
        return failure;
      },
      [&] { MP_EnableWriteProtect(); });
}

int CSPIFlashInfo_USB::FF_UpdateEx_Standard(std::span<std::uint8_t> code, std::uint32_t& failure) {
  const std::uint32_t options = chip.settings.updateOptions;
  const bool program = (options & update_option::kProgram) != 0;
  const std::uint32_t tag = CurrentAreaContext().tagAddress;
  const bool tagInside = std::size_t{tag} + 2 <= code.size();
  if (chip.romFlag != 0 && tagInside) code[tag] = code[tag + 1] = 0xFF;
  // The tag, or without one the area's signature that alone starts the chip,
  // goes in last.
  const bool writesTag = chip.configAtZero == 0 && chip.romFlag == 0 && tagInside;
  std::array<std::uint8_t, 2> saved{0xFF, 0xFF};
  std::optional<HeldAreaSignature> signature;
  const auto holdBackAndWrite = [&] {
    if (tagInside) {
      saved = {code[tag], code[tag + 1]};
      code[tag] = code[tag + 1] = 0xFF;
    }
    signature.emplace(code, AreaAddress(), !writesTag);
    return WriteInBulk(code) != 0;
  };
  // Without a tag the loader starts whatever configuration area it finds, so
  // an image that did not read back right must lose its area first.
  const auto orSpoil = [&](bool passed) {
    if (!passed && !writesTag) SpoilArea(AreaAddress());
    return passed;
  };
  failure = RunSteps(kSpiScope, {
      {"Disable Write Protect Fail\n", msg::kDisableWriteProtectFail, [&] { return MP_DisableWriteProtect() != 0; }},
      {"Erase Flash Fail\n", msg::kEraseFlashFail, [&] { return MP_EraseSPIFlash() != 0; }},
      {"Check Flash Empty Fail\n", msg::kCheckEmptyFail, [&] { return CheckEmptyInBulk() != 0 || LogNotEmpty(); },
       (options & update_option::kCheckEmpty) != 0},
      {"Write Flash Code Fail\n", msg::kUpdateFlashFail, holdBackAndWrite, program},
      {"Read Flash Code Fail\n", msg::kReadFlashFail, [&] { return orSpoil(VerifyInBulk() != 0); }, program},
      {"Check Flash Code Fail\n", msg::kCompareDataFail, [&] { return orSpoil(SameOrReported(code, chip.readBuffer)); },
       program},
      {"Write Tag Fail\n", msg::kWriteTagFail, [&] { return WriteHeldSignature(*signature); }, program},
      {"Write Tag Fail\n", msg::kWriteTagFail,
       [&] {
         code[tag] = saved[0];
         code[tag + 1] = saved[1];
         return WriteFlashBytes(tag, saved) != 0;
       },
       program && writesTag},
      {"Enable Write Protect Fail\n", msg::kEnableWriteProtectFail, [&] { return MP_EnableWriteProtect() != 0; }},
      {"Devcie ResetToCache Fail\n", msg::kResetDeviceFail, [&] { return ResetIntoNewCode() != 0; },
       (options & update_option::kResetAfter) != 0},
      {"Device is not in cache mode\n", msg::kResetDeviceFail,
       [&] {
         if (IsInCacheMode()) return true;
         PostFlowMessage(WM_FLOW_FAIL, msg::kNotInCacheMode);
         return false;
       },
       (options & update_option::kResetAfter) != 0 && program},
  });
  return failure == 0 ? 1 : 0;
}

int CSPIFlashInfo_USB::FF_UpdateEx_ForSimulateOTP(std::span<std::uint8_t> code, std::uint32_t& failure) {
  // The rebuilt image starts with its area: ROM code would start a partial one.
  HeldAreaSignature signature(code, 0, true);
  // This layout is never tagged: the ROM starts it from its header at 0, so an
  // image that did not read back right loses that header first.
  const auto orSpoil = [&](bool passed) {
    if (!passed) SpoilArea(0);
    return passed;
  };
  failure = RunSteps(kSpiScope, {
      {"Disable Write Protect Fail\n", msg::kDisableWriteProtectFail, [&] { return MP_DisableWriteProtect() != 0; }},
      {"Erase Flash Fail\n", msg::kEraseFlashFail, [&] { return MP_EraseSPIFlash() != 0; }},
      {"Write Flash Code Fail\n", msg::kUpdateFlashFail, [&] { return WriteInBulk(code) != 0; }},
      {"Read Flash Code Fail\n", msg::kReadFlashFail, [&] { return orSpoil(VerifyInBulk() != 0); }},
      {"Check Flash Code Fail\n", msg::kCompareDataFail, [&] { return orSpoil(SameOrReported(code, chip.readBuffer)); }},
      {"Write Tag Fail\n", msg::kWriteTagFail, [&] { return WriteHeldSignature(signature); }},
      {"Enable Write Protect Fail\n", msg::kEnableWriteProtectFail, [&] { return MP_EnableWriteProtect() != 0; }},
      {"Devcie ResetToCache Fail\n", msg::kResetDeviceFail, [&] { return ResetIntoNewCode(chip.notRunningFlag == 1) != 0; },
       (chip.settings.updateOptions & update_option::kResetAfter) != 0},
  });
  return failure == 0 ? 1 : 0;
}

bool CSPIFlashInfo_USB::LogNotEmpty() {
  std::span<const std::uint8_t> seen(chip.readBuffer);
  if (seen.size() >= 16) {
    DebugPrint("Fail %s\n", HexBytes("Byte0~8", seen.first(8)).c_str());
    DebugPrint("Fail %s\n", HexBytes("Byte9~16", seen.subspan(8, 8)).c_str());
  }
  return false;
}

bool CSPIFlashInfo_USB::WriteHeldSignature(const HeldAreaSignature& signature) {
  return !signature.held() || WriteFlashBytes(signature.address(), signature.bytes()) != 0;
}

// The bulk phases of both cores, each in 64-byte pieces.
int CSPIFlashInfo_USB::CheckEmptyInBulk() {
  BulkPhase bulk(chip.device);
  return MP_CheckSPIFlashEmpty(chip.readBuffer);
}

int CSPIFlashInfo_USB::WriteInBulk(std::span<const std::uint8_t> code) {
  BulkPhase bulk(chip.device);
  return MP_WriteSPIFlash(code);
}

int CSPIFlashInfo_USB::VerifyInBulk() {
  BulkPhase bulk(chip.device);
  return MP_VerifySPIFlash(chip.readBuffer);
}

int CSPIFlashInfo_USB::SpoilArea(std::uint32_t address) {
  DebugPrint("Spoil the configuration area at 0x%X\n", address);
  return WriteFlashBytes(address, std::array<std::uint8_t, 1>{0x00});
}

// ---- read, erase, update, dumps ----

int CSPIFlashInfo_USB::DEV_Read() {
  const std::size_t codeSize = WorkingMemorySize();
  if (!Allocate(chip.readBuffer, codeSize)) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  int result = 0;
  {
    ScopedTransportFlags unit(chip.device, kFlagForceUnit);
    BulkPhase bulk(chip.device);
    result = MP_ReadSPIFlash(chip.readBuffer);
    if (result == 0) {
      PostFlowMessage(WM_FLOW_FAIL, msg::kReadFlashFail);
    } else if (codeSize == kSimulatedOtpLength && chip.romFlag != 0 && chip.notRunningFlag != 0) {
      if (ResetIntoNewCode(true) == 0) {
        PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
        result = 0;
      }
    }
  }
  if (result == 0) return 0;
  if (SaveReadResult() == 0) return 0;
  return Finish(0, msg::kReadFlashSucceed);
}

int CSPIFlashInfo_USB::DEV_Erase() {
  if (HasSpiFlash() == 0) return 0;
  if (MP_OpenRomDevice() == 0) return 0;
  const bool resetAfter = (chip.settings.updateOptions & update_option::kResetAfter) != 0;
  const std::uint32_t failure = RunSteps(Scope(), {
      {nullptr, msg::kDisableWriteProtectFail, [&] { return MP_DisableWriteProtect() != 0; }},
      {nullptr, msg::kEraseFlashFail,
       [&] {
         if (MP_EraseSPIFlash() != 0) return true;
         MP_EnableWriteProtect();
         return false;
       }},
      {nullptr, msg::kEnableWriteProtectFail, [&] { return MP_EnableWriteProtect() != 0; }},
      {nullptr, msg::kResetDeviceFail, [&] { return ResetIntoNewCode() != 0; }, resetAfter},
  });
  // An erase that leaves the chip in its loader is the first part of a
  // longer job: it posts no PASS of its own.
  if (failure == 0 && !resetAfter) return 1;
  return Finish(failure, msg::kEraseFlashSucceed);
}

int CSPIFlashInfo_USB::DEV_EraseEx(int resetAfter) {
  SetResetAfter(resetAfter != 0);
  return DEV_Erase();
}

int CSPIFlashInfo_USB::DEV_Update() {
  const std::size_t length = std::min(chip.image.builtinLength, chip.image.builtin.size());
  const std::span<std::uint8_t> code = std::span(chip.image.builtin).first(length);
  if (!FitsCodeMemory(code, kFlashCodeMemory) || HasSpiFlash() == 0) return 0;
  if (MP_OpenRomDevice() == 0) return 0;
  if (FF_UpdateEx(code) == 0) return 0;
  return Finish(0, msg::kUpdateFlashSucceed);
}

}  // namespace quillon
