// The EEPROM sequences: the 8-bit download and update, the 16-bit programming
// core with its wrapper and download, read, erase, the file-driven variants and
// the dumps. Both widths write image byte 1 as 0xFF with the bulk data and put
// the tag 0xA5 there last, so a chip whose write was cut short never starts.
#include "flow/eeprom_flow.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <new>
#include <optional>

#include "data/config_image.h"
#include "data/config_record.h"
#include "data/ic_type_ini.h"
#include "data/image_checks.h"
#include "data/serial_record.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "flow/dump_file.h"
#include "flow/flow_factory.h"
#include "flow/flow_helpers.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/clock.h"

namespace quillon {
namespace {

constexpr TraceScope kEepromScope{"CEepromInfo", 0, kTraceDevice};
constexpr std::uint32_t kEmptyCheckLength = 64;
constexpr std::size_t kTagOffset = 1;
constexpr std::uint8_t kAreaSignature = 0xA5;
constexpr std::size_t kEepromBatchSize = 0x10000;

int Failed(std::uint32_t& failure, const char* line, std::uint32_t id) {
  return RecordStepFailure(kEepromScope, failure, line, id);
}

bool SameBytes(std::span<const std::uint8_t> image, std::span<const std::uint8_t> read) {
  return read.size() >= image.size() && std::equal(image.begin(), image.end(), read.begin());
}

// The tag byte goes to the chip only with the tag write.
void HoldTagBack(std::span<std::uint8_t> image) {
  if (image.size() > kTagOffset) image[kTagOffset] = 0xFF;
}

std::span<std::uint8_t> UpdateImageOf(CFirmwareImage& image) {
  return std::span(image.builtin).first(std::min(image.builtinLength, image.builtin.size()));
}

}  // namespace

// ---- shared ----

int CEepromInfo::DEV_ParseImage(std::span<const std::uint8_t> buffer) {
  if (!LocateConfigArea(CurrentAreaContext(), buffer, image.config)) return 0;
  TakeParsedImage();
  return 1;
}

int CEepromInfo::PreActionForTessaro() {
  if (Setting(key::kSaveSn, 0) == 0) return 1;
  // The rewrite covers "ConfigSize" bytes from "ConfigAddress"; an image that
  // ends before that (EEPROM images are often 16 KB or less) has no such area.
  const AreaContext context = CurrentAreaContext();
  const bool inside = std::uint64_t{context.configAddress} + context.configSize <= image.fileData.size();
  if (!inside || !WriteSerialRecord(image.fileData, serialNumber, nullptr)) {
    TraceFailure(kEepromScope, "Save SN Fail\n");
    PostFlowMessage(WM_FLOW_FAIL, msg::kSaveSnFail);
    return 0;
  }
  return 1;
}

int CEepromInfo::WriteChecked(const std::string& path) {
  image.mainFile = path;
  const CICTypeIni* profile = CurrentProfile();
  const std::uint8_t chipCode = profile != nullptr ? profile->ChipInfo() : 0;
  ImageCheckOptions options;
  options.accept8For9 = true;
  options.writeMemory = memoryType();
  options.romFlag = romFlag != 0;
  const std::uint32_t failure = CheckImageBeforeWrite(image, chipCode, CurrentAreaContext(), options, nullptr);
  if (failure != image_status::kPassed) {
    PostFlowMessage(WM_FLOW_FAIL, failure);
    return 0;
  }
  TakeParsedImage();
  return DEV_Download();
}

int CEepromInfo::VerifyFile(const std::string& path) {
  image.mainFile = path;
  if (!LoadImageFile(image) || image.fileData.empty()) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kLoadFileDataFail);
    TraceFailure(kEepromScope, "Load File Data Fail!\n");
    return 0;
  }
  SetWorkingMemorySize(image.fileData.size());
  // A failed read has reported its own id; there is nothing to compare.
  if (DEV_Read() == 0) return 0;
  if (!SameBytes(image.fileData, readBuffer)) {
    SetLastStatus(msg::kCompareDataFail);
    return 0;
  }
  return 1;
}

void CEepromInfo::TakeDeviceVersion() {
  std::array<std::uint8_t, kDevStatusLength> status{};
  if (VxCam_GetDevStatus(device.handle, status, device.transportFlags) != 0) {
    const std::size_t active = ActiveRecordOf(status).offset;
    std::copy_n(status.begin() + static_cast<std::ptrdiff_t>(active), codeVersion.size(), codeVersion.begin());
  }
  MP_RefreshVersionText();
}

void CEepromInfo::SerialCountdown() {
  if (CommandLine() || Setting(key::kSaveSn, 0) == 0) return;
  PostFlowMessage(WM_FLOW_STEP, 0);
  TheClock().SleepMs(1000);
  PostFlowMessage(WM_FLOW_STEP, 0);
  TheClock().SleepMs(1000);
}

int CEepromInfo::SaveDump(const std::string& path, std::span<const std::uint8_t> bytes) {
  return SaveDumpFile(path, bytes, kEepromScope);
}

int CEepromInfo::DEV_DumpBin(const std::string& path) {
  if (DEV_Read() == 0) return 0;
  return SaveDump(path, readBuffer);
}

int CEepromInfo::DEV_DumpText(const std::string& path) {
  if (DEV_Read() == 0) return 0;
  std::string text;
  text.reserve(readBuffer.size() * 3 + readBuffer.size() / 8);
  char hex[4];
  for (std::size_t i = 0; i < readBuffer.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", readBuffer[i]);
    text += hex;
    if (i % 16 == 15) text += "\r\n";
  }
  return SaveDump(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

int CEepromInfo::ReadAll(bool wide) {
  if (MP_OpenRomDevice() == 0) return 0;
  if (!Allocate(readBuffer, WorkingMemorySize())) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  if ((wide ? MP_ReadEeprom16(readBuffer) : MP_ReadEeprom8(readBuffer)) == 0) {
    // The chip stays where it is after a failure, and the failure stays the last status.
    PostFlowMessage(WM_FLOW_FAIL, msg::kReadEepromFail);
    return 0;
  }
  // A read ends in the new code whatever the reset option says.
  PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
  if (MP_ResetDevice(9, 0) == 0) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
    return 0;
  }
  if (!CommandLine() && !settings.readResultPath.empty()) SaveDump(settings.readResultPath, readBuffer);
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, msg::kReadEepromSucceed);
  return 1;
}

int CEepromInfo::EraseAll(bool wide) {
  if (MP_OpenRomDevice() == 0) return 0;
  std::uint32_t failure = 0;
  if (MP_DisableEepromWriteProtect() == 0) {
    failure = msg::kDisableWriteProtectFail;
  } else {
    const auto length = static_cast<std::uint32_t>(WorkingMemorySize());
    const int erased = wide ? MP_EraseEeprom16(length) : MP_EraseEeprom8(length);
    // Protection goes back on whether or not the erase went through.
    MP_EnableEepromWriteProtect();
    if (erased == 0) failure = msg::kEraseEepromFail;
  }
  if (failure == 0 && (settings.updateOptions & update_option::kResetAfter) != 0) {
    PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
    if (MP_ResetDevice(9, 0) == 0) failure = msg::kResetDeviceFail;
  }
  if (failure != 0) {
    PostFlowMessage(WM_FLOW_FAIL, failure);
    return 0;
  }
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, msg::kEraseEepromSucceed);
  return 1;
}

int CEepromInfo::DEV_EraseEx(int resetAfter) {
  SetResetAfter(resetAfter != 0);
  return DEV_Erase();
}

// ---- 8-bit ----

int CEepromInfo8_USB::DEV_Read() { return ReadAll(false); }
// The pin is released as for every other EEPROM write: with it held, the chip
// acknowledges the erase and keeps its bytes.
int CEepromInfo8_USB::DEV_Erase() { return EraseAll(false); }

std::uint32_t CEepromInfo8_USB::Program8(std::span<std::uint8_t> code, bool checkEmpty) {
  if (MP_DisableEepromWriteProtect() == 0) return msg::kDisableWriteProtectFail;
  // Erasing the head clears the tag first: from here on the chip does not start.
  if (MP_EraseEeprom8(kEmptyCheckLength) == 0) return msg::kEraseEepromFail;
  if (checkEmpty && MP_CheckEeprom8Empty(readBuffer) == 0) return msg::kCheckEmptyFail;
  if ((settings.updateOptions & update_option::kProgram) != 0) {
    HoldTagBack(code);
    if (MP_WriteEeprom8(code) == 0) return msg::kUpdateEepromFail;
    if (MP_ReadEeprom8(std::span(readBuffer).first(code.size())) == 0) return msg::kReadEepromFail;
    if (!SameBytes(code, readBuffer)) return msg::kCompareDataFail;
    if (MP_WriteEeprom8Tag() == 0) return msg::kWriteTagFail;
  }
  if (MP_EnableEepromWriteProtect() == 0) return msg::kEnableWriteProtectFail;
  return 0;
}

int CEepromInfo8_USB::EEU8_Download() {
  std::span<std::uint8_t> code(image.fileData);
  int result = 0;
  std::uint32_t failure = 0;
  if (PreActionForTessaro() != 0) {
    if (!Allocate(readBuffer, code.size())) {
      failure = msg::kMallocDataFail;
    } else if (MP_OpenRomDevice() != 0) {
      failure = Program8(code, (settings.updateOptions & update_option::kCheckEmpty) != 0);
      if (failure == 0 && (settings.updateOptions & update_option::kResetAfter) != 0) {
        PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
        if (MP_ResetDevice(9, 0) == 0) failure = msg::kResetDeviceFail;
      }
      if (failure == 0) {
        SerialCountdown();
        PostFlowMessage(WM_FLOW_PROGRESS, 100);
        PostFlowMessage(WM_FLOW_PASS, msg::kDownloadEepromSucceed);
        result = 1;
      }
    }
    if (failure != 0) PostFlowMessage(WM_FLOW_FAIL, failure);
  }
  TakeDeviceVersion();
  return result;
}

int CEepromInfo8_USB::DEV_Update() {
  if (MP_OpenRomDevice() == 0) return 0;
  std::span<std::uint8_t> code = UpdateImageOf(image);
  std::uint32_t failure = 0;
  if (!Allocate(readBuffer, code.size())) {
    failure = msg::kMallocDataFail;
  } else {
    failure = Program8(code, false);
  }
  if (failure == 0) {
    // The 8-bit update always ends in the new code.
    PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
    if (MP_ResetDevice(9, 0) == 0) failure = msg::kResetDeviceFail;
  }
  if (failure != 0) {
    PostFlowMessage(WM_FLOW_FAIL, failure);
    return 0;
  }
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, msg::kUpdateEepromSucceed);
  return 1;
}

int CEepromInfo8_USB::EEU8_Silence_WriteBin(const std::string& path) { return WriteChecked(path); }

int CEepromInfo8_USB::EEU8_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  serialNumber = serial;
  return WriteChecked(path);
}

int CEepromInfo8_USB::EEU8_Silence_VerifyBin(const std::string& path) { return VerifyFile(path); }

// ---- 16-bit ----

int CEepromInfo16_USB::DEV_Read() { return ReadAll(true); }
int CEepromInfo16_USB::DEV_Erase() { return EraseAll(true); }

int CEepromInfo16_USB::EE16_UpdateEx_Cmd2(std::span<std::uint8_t> code, std::uint32_t& failure) {
  const std::uint32_t options = settings.updateOptions;
  if (MP_DisableEepromWriteProtect() == 0) {
    return Failed(failure, "Disable Write Protect Fail\n", msg::kDisableWriteProtectFail);
  }
  if ((options & update_option::kProgram) != 0) {
    HoldTagBack(code);
    if (MP_WriteEeprom16(code) == 0) return Failed(failure, "Write I2CEEP Fail\n", msg::kUpdateEepromFail);
    if (readBuffer.size() < code.size() || MP_VerifyEeprom16(std::span(readBuffer).first(code.size())) == 0) {
      return Failed(failure, "Read I2CEEP Fail\n", msg::kReadEepromFail);
    }
    if (!SameBytes(code, readBuffer)) return Failed(failure, "Check I2CEEP Fail\n", msg::kCompareDataFail);
    if (MP_WriteEeprom16Tag() == 0) return Failed(failure, "Write I2CEEP Tag Fail\n", msg::kWriteTagFail);
  }
  if (MP_EnableEepromWriteProtect() == 0) {
    return Failed(failure, "Enable Write Protect Fail\n", msg::kEnableWriteProtectFail);
  }
  if ((options & update_option::kResetAfter) != 0) {
    PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
    if (MP_ResetDevice(9, 0) == 0) return Failed(failure, "Device ResetToRom Fail\n", msg::kResetDeviceFail);
  }
  return 1;
}

int CEepromInfo16_USB::EE16_UpdateEx(std::span<std::uint8_t> code) {
  if (!Allocate(readBuffer, code.size())) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  if (FlowCancelled()) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
    return 0;
  }
  std::uint32_t failure = 0;
  if (EE16_UpdateEx_Cmd2(code, failure) != 0) return 1;
  MP_EnableEepromWriteProtect();
  PostFlowMessage(WM_FLOW_FAIL, failure);
  return 0;
}

int CEepromInfo16_USB::EEU16_Download() {
  int result = 0;
  if (PreActionForTessaro() != 0) {
    if (!Allocate(readBuffer, image.fileData.size())) {
      PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    } else if (MP_OpenRomDevice() != 0 && EE16_UpdateEx(image.fileData) != 0) {
      SerialCountdown();
      PostFlowMessage(WM_FLOW_PROGRESS, 100);
      PostFlowMessage(WM_FLOW_PASS, msg::kDownloadEepromSucceed);
      result = 1;
    }
  }
  if (!CommandLine()) MP_RefreshVersionText();
  return result;
}

int CEepromInfo16_USB::DEV_Update() {
  if (MP_OpenRomDevice() == 0) return 0;
  if (EE16_UpdateEx(UpdateImageOf(image)) == 0) return 0;
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, msg::kUpdateEepromSucceed);
  MP_RefreshVersionText();
  return 1;
}

int CEepromInfo16_USB::EEU16_Silence_WriteBin(const std::string& path) { return WriteChecked(path); }

int CEepromInfo16_USB::EEU16_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  serialNumber = serial;
  return WriteChecked(path);
}

int CEepromInfo16_USB::EEU16_Silence_VerifyBin(const std::string& path) { return VerifyFile(path); }

// ---- memory type of a chip without an image ----

namespace {
std::optional<MemoryType> EepromHeaderType(const std::array<std::uint8_t, 2>& head) {
  if (head[1] != kAreaSignature) return std::nullopt;
  if (auto type = MemoryTypeOfTypeByte(head[0]); type == MemoryType::Eeprom8 || type == MemoryType::Eeprom16) {
    return type;
  }
  return std::nullopt;
}
}  // namespace

bool AdoptProbedEepromType() {
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return false;
  if (flow->memoryType() != MemoryType::SpiFlash) return true;
  std::array<std::uint8_t, 2> wide{}, narrow{};
  const bool wideRead = VxCam_I2C_EEP16_Read(flow->device.handle, 0, wide, flow->device.transportFlags) != 0;
  const bool narrowRead = VxCam_I2C_EEP8_Read(flow->device.handle, 0, narrow, flow->device.transportFlags) != 0;
  std::optional<MemoryType> type;
  if (wideRead) type = EepromHeaderType(wide);
  if (!type && narrowRead) type = EepromHeaderType(narrow);
  // A blank chip: only a width that answers alone is taken.
  if (!type && wideRead != narrowRead) type = wideRead ? MemoryType::Eeprom16 : MemoryType::Eeprom8;
  if (!type) return true;
  SetCurrentMemoryType(*type);
  // The erase and the dump cover the code size: for an EEPROM at most the
  // 64 KB that the batch mode gives every other command, not the 128 KB
  // working memory of a flash chip.
  SetWorkingMemorySize(std::min<std::size_t>(WorkingMemorySize(), kEepromBatchSize));
  return RecreateFlow(true) != nullptr;
}

}  // namespace quillon
