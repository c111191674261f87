// SPI flash: the full download (serial number, preserved record, ROM entry,
// programming, reset into the new code), the two programming cores, read,
// erase, update, verify and the dumps.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <new>

#include "data/config_image.h"
#include "data/ic_type_ini.h"
#include "data/image_checks.h"
#include "data/serial_record.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "flow/bulk_phase.h"
#include "device/cam_dev.h"
#include "flow/dump_file.h"
#include "flow/flash_flow.h"
#include "flow/flash_image_parts.h"
#include "flow/flow_helpers.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

constexpr TraceScope kSpiScope{"CSPIFlashInfo_USB", 0, kTraceDevice};
constexpr std::uint32_t kPreservedArea = 0xF000;
constexpr std::uint32_t kPreservedAreaSize = 4096;
constexpr std::size_t kSimulatedOtpLength = 0x4000;

int Failed(std::uint32_t& failure, const char* line, std::uint32_t id) {
  return RecordStepFailure(kSpiScope, failure, line, id);
}

bool SaveBytes(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

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

int CSPIFlashInfo_USB::DEV_ParseImage(std::span<const std::uint8_t> buffer) {
  if (!LocateConfigArea(CurrentAreaContext(), buffer, image.config)) return 0;
  TakeParsedImage();
  return 1;
}

std::uint32_t CSPIFlashInfo_USB::AreaAddress() const {
  return configAtZero != 0 ? 0 : CurrentAreaContext().configAddress;
}

// ---- the full download ----

int CSPIFlashInfo_USB::PreActionForTessaro() {
  if (Setting(key::kSaveSn, 0) == 0) return 1;
  // An empty serial number would replace the manufacturer text (or the serial
  // text) with nothing: the unit must not pass without the number it was given.
  if (serialNumber.empty()) DebugPrint("No serial number to save\n");
  if (!serialNumber.empty() && WriteSerialRecord(image.fileData, serialNumber, nullptr)) return 1;
  TraceFailure(kSpiScope, "Save SN Fail\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kSaveSnFail);
  return 0;
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
  unit.idText = fullIdText;
  unit.usbSerial = usbSerial;
  std::array<std::uint8_t, 8> id{};
  if (VxCam_SPI_SF_ReadID(device.handle, id, device.transportFlags) != 0) {
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
  if (vendorId != kPreservedRecordVid || productId != kPreservedRecordPid) return 1;
  std::vector<std::uint8_t> area(kPreservedAreaSize, 0xFF);
  bool read = false;
  for (int attempt = 0; attempt < 8 && !read && !FlowCancelled(); ++attempt) {
    read = VxCam_SPI_SF_Read(device.handle, kPreservedArea, area, device.transportFlags) != 0;
    if (!read) TheClock().SleepMs(128);
  }
  if (!read) return PreservedRecordFail("Read Preserved Record Fail\n", msg::kReadFlashFail);
  const UnitIdentity unit = ThisUnit();
  if (unit.location.empty()) return PreservedRecordFail("Keep Preserved Record Fail\n", msg::kReadFlashFail);
  const std::uint32_t refused = preservedRecord_.Prepare(area, unit, image.mainFile, image.fileData);
  return refused == 0 ? 1 : PreservedRecordFail("Keep Preserved Record Fail\n", refused);
}

// ---- the full download ----

int CSPIFlashInfo_USB::HasSpiFlash() {
  std::uint8_t status = 0;
  for (int attempt = 0; attempt < 8 && !FlowCancelled(); ++attempt) {
    if (VxCam_SPI_SF_ReadSr(device.handle, status, device.transportFlags) != 0) return 1;
    TheClock().SleepMs(128);
  }
  TraceFailure(kSpiScope, "No SPI Flash On Chip\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kFirmwareNotForDevice);
  return 0;
}

int CSPIFlashInfo_USB::FFU_Download() {
  ReadIdentity();
  DebugPrint("Start Download VID is %04x PID is %04x RevID is %04x", unsigned{vendorId}, unsigned{productId},
             unsigned{revision});
  preservedRecord_ = PreservedRecordRun();
  if (!FitsCodeMemory(image.fileData, kFlashCodeMemory)) return 0;
  if (PreActionForTessaro() == 0) return 0;
  if (HasSpiFlash() == 0) return 0;
  if (CarryPreservedRecord() == 0) return 0;

  int result = 0;
  if (MP_OpenRomDevice() != 0) {
    result = FF_UpdateEx(image.fileData);
    if (!CommandLine() && Setting(key::kSaveSn, 0) != 0) {
      PostFlowMessage(WM_FLOW_STEP, 0);
      TheClock().SleepMs(1000);
      PostFlowMessage(WM_FLOW_STEP, 0);
      TheClock().SleepMs(1000);
    }
    if (result != 0) {
      // The record is in the chip now; the copy has done its job.
      preservedRecord_.Passed();
      ReadIdentity();
      PostFlowMessage(WM_FLOW_PROGRESS, 100);
      PostFlowMessage(WM_FLOW_PASS, msg::kFirmwareUpdateSucceed);
    }
  }
  ReadIdentity();
  DebugPrint("After Download VID is %04x PID is %04x RevID is %04x", unsigned{vendorId}, unsigned{productId},
             unsigned{revision});
  if (!CommandLine()) {
    ReadCodeVersion();
    MP_RefreshVersionText();
  }
  return result;
}

int CSPIFlashInfo_USB::FF_UpdateEx(std::span<std::uint8_t> code) {
  if (!Allocate(readBuffer, code.size())) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  if (FlowCancelled()) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
    return 0;
  }
  std::uint32_t failure = 0;
  int result = 0;
  if (code.size() == kSimulatedOtpLength && romFlag != 0) {
    const std::uint8_t chipCode = code.size() > 2 ? static_cast<std::uint8_t>(code[2] >> 3) : 0;
    if (!RebuildForSimulatedOtp(code, chipCode)) {
      PostFlowMessage(WM_FLOW_FAIL, msg::kGetCodeSizeFail);
      return 0;
    }
    result = FF_UpdateEx_ForSimulateOTP(code, failure);
  } else {
    result = FF_UpdateEx_Standard(code, failure);
  }
  if (result != 0) return result;
  MP_EnableWriteProtect();
  PostFlowMessage(WM_FLOW_FAIL, failure);
  return 0;
}

int CSPIFlashInfo_USB::FF_UpdateEx_Standard(std::span<std::uint8_t> code, std::uint32_t& failure) {
  const std::uint32_t options = settings.updateOptions;
  const std::uint32_t tag = CurrentAreaContext().tagAddress;
  const bool tagInside = std::size_t{tag} + 2 <= code.size();
  if (romFlag != 0 && tagInside) code[tag] = code[tag + 1] = 0xFF;

  if (MP_DisableWriteProtect() == 0) return Failed(failure, "Disable Write Protect Fail\n", msg::kDisableWriteProtectFail);
  if (MP_EraseSPIFlash() == 0) return Failed(failure, "Erase Flash Fail\n", msg::kEraseFlashFail);
  if ((options & update_option::kCheckEmpty) != 0 && CheckEmptyInBulk() == 0) {
    std::span<const std::uint8_t> seen(readBuffer);
    if (seen.size() >= 16) {
      DebugPrint("Fail %s\n", HexBytes("Byte0~8", seen.first(8)).c_str());
      DebugPrint("Fail %s\n", HexBytes("Byte9~16", seen.subspan(8, 8)).c_str());
    }
    return Failed(failure, "Check Flash Empty Fail\n", msg::kCheckEmptyFail);
  }
  if ((options & update_option::kProgram) != 0) {
    std::array<std::uint8_t, 2> saved{0xFF, 0xFF};
    if (tagInside) {
      saved = {code[tag], code[tag + 1]};
      code[tag] = code[tag + 1] = 0xFF;
    }
    // Without a tag the area's signature alone starts the chip: it goes in last.
    const bool writesTag = configAtZero == 0 && romFlag == 0 && tagInside;
    HeldAreaSignature signature(code, AreaAddress(), !writesTag);
    if (WriteInBulk(code) == 0) return Failed(failure, "Write Flash Code Fail\n", msg::kUpdateFlashFail);
    // Without a tag the loader starts whatever configuration area it finds, so
    // an image that did not read back right must lose its area first.
    const auto spoilArea = [&] {
      if (!writesTag) SpoilArea(AreaAddress());
    };
    if (VerifyInBulk() == 0) {
      spoilArea();
      return Failed(failure, "Read Flash Code Fail\n", msg::kReadFlashFail);
    }
    if (!std::equal(code.begin(), code.end(), readBuffer.begin())) {
      spoilArea();
      return Failed(failure, "Check Flash Code Fail\n", msg::kCompareDataFail);
    }
    if (signature.held() && WriteFlashBytes(signature.address(), signature.bytes()) == 0) {
      return Failed(failure, "Write Tag Fail\n", msg::kWriteTagFail);
    }
    if (writesTag) {
      code[tag] = saved[0];
      code[tag + 1] = saved[1];
      if (WriteFlashBytes(tag, saved) == 0) return Failed(failure, "Write Tag Fail\n", msg::kWriteTagFail);
    }
  }
  if (MP_EnableWriteProtect() == 0) return Failed(failure, "Enable Write Protect Fail\n", msg::kEnableWriteProtectFail);
  if ((options & update_option::kResetAfter) != 0) {
    PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
    if (MP_ResetDevice(9, 0) == 0) return Failed(failure, "Devcie ResetToCache Fail\n", msg::kResetDeviceFail);
    if ((options & update_option::kProgram) != 0 && !IsInCacheMode()) {
      TraceFailure(kSpiScope, "Device is not in cache mode\n");
      PostFlowMessage(WM_FLOW_FAIL, msg::kNotInCacheMode);
      failure = msg::kResetDeviceFail;
      return 0;
    }
  }
  return 1;
}

int CSPIFlashInfo_USB::FF_UpdateEx_ForSimulateOTP(std::span<std::uint8_t> code, std::uint32_t& failure) {
  if (MP_DisableWriteProtect() == 0) return Failed(failure, "Disable Write Protect Fail\n", msg::kDisableWriteProtectFail);
  if (MP_EraseSPIFlash() == 0) return Failed(failure, "Erase Flash Fail\n", msg::kEraseFlashFail);
  // The rebuilt image starts with its area: ROM code would start a partial one.
  HeldAreaSignature signature(code, 0, true);
  if (WriteInBulk(code) == 0) return Failed(failure, "Write Flash Code Fail\n", msg::kUpdateFlashFail);
  // This layout is never tagged: the ROM starts it from its header at 0, so an
  // image that did not read back right loses that header first.
  if (VerifyInBulk() == 0) {
    SpoilArea(0);
    return Failed(failure, "Read Flash Code Fail\n", msg::kReadFlashFail);
  }
  if (!std::equal(code.begin(), code.end(), readBuffer.begin())) {
    SpoilArea(0);
    return Failed(failure, "Check Flash Code Fail\n", msg::kCompareDataFail);
  }
  if (signature.held() && WriteFlashBytes(signature.address(), signature.bytes()) == 0) {
    return Failed(failure, "Write Tag Fail\n", msg::kWriteTagFail);
  }
  if (MP_EnableWriteProtect() == 0) return Failed(failure, "Enable Write Protect Fail\n", msg::kEnableWriteProtectFail);
  if ((settings.updateOptions & update_option::kResetAfter) != 0) {
    PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
    int reset = 0;
    {
      ScopedTransportFlags reuse(device, notRunningFlag == 1 ? kFlagReuseTransports : 0);
      reset = MP_ResetDevice(9, 0);
    }
    if (reset == 0) return Failed(failure, "Devcie ResetToCache Fail\n", msg::kResetDeviceFail);
  }
  return 1;
}

// The bulk phases of both cores, each in 64-byte pieces.
int CSPIFlashInfo_USB::CheckEmptyInBulk() {
  BulkPhase bulk(device);
  return MP_CheckSPIFlashEmpty(readBuffer);
}

int CSPIFlashInfo_USB::WriteInBulk(std::span<const std::uint8_t> code) {
  BulkPhase bulk(device);
  return MP_WriteSPIFlash(code);
}

int CSPIFlashInfo_USB::VerifyInBulk() {
  BulkPhase bulk(device);
  return MP_VerifySPIFlash(readBuffer);
}

int CSPIFlashInfo_USB::SpoilArea(std::uint32_t address) {
  DebugPrint("Spoil the configuration area at 0x%X\n", address);
  return WriteFlashBytes(address, std::array<std::uint8_t, 1>{0x00});
}

// ---- the file-driven variants ----

int CSPIFlashInfo_USB::FFU_Silence_WriteBin(const std::string& path) {
  return LoadCheckedImage(path, true) != 0 ? FFU_Download() : 0;
}

int CSPIFlashInfo_USB::FFU_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  serialNumber = serial;
  return LoadCheckedImage(path, false) != 0 ? FFU_Download() : 0;
}

int CSPIFlashInfo_USB::FFU_Silence_VerifyBin(const std::string& path) {
  image.mainFile = path;
  if (!LoadImageFile(image)) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kLoadFileDataFail);
    TraceFailure(kSpiScope, "Load File Data Fail!\n");
    return 0;
  }
  SetWorkingMemorySize(image.fileData.size());
  if (DEV_Read() == 0) return 0;
  if (readBuffer.size() < image.fileData.size() ||
      !std::equal(image.fileData.begin(), image.fileData.end(), readBuffer.begin())) {
    SetLastStatus(msg::kCompareDataFail);
    return 0;
  }
  return 1;
}

// ---- read, erase, update, dumps ----

int CSPIFlashInfo_USB::DEV_Read() {
  const std::size_t codeSize = WorkingMemorySize();
  if (!Allocate(readBuffer, codeSize)) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
    return 0;
  }
  int result = 0;
  {
    ScopedTransportFlags unit(device, kFlagForceUnit);
    BulkPhase bulk(device);
    result = MP_ReadSPIFlash(readBuffer);
    if (result == 0) {
      PostFlowMessage(WM_FLOW_FAIL, msg::kReadFlashFail);
    } else if (codeSize == kSimulatedOtpLength && romFlag != 0 && notRunningFlag != 0) {
      PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
      ScopedTransportFlags reuse(device, kFlagReuseTransports);
      if (MP_ResetDevice(9, 0) == 0) {
        PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
        result = 0;
      }
    }
  }
  if (result == 0) return 0;
  if (!CommandLine() && !settings.readResultPath.empty()) SaveBytes(settings.readResultPath, readBuffer);
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, msg::kReadFlashSucceed);
  return 1;
}

int CSPIFlashInfo_USB::DEV_Erase() {
  if (HasSpiFlash() == 0) return 0;
  if (MP_OpenRomDevice() == 0) return 0;
  std::uint32_t failure = 0;
  if (MP_DisableWriteProtect() == 0) {
    failure = msg::kDisableWriteProtectFail;
  } else if (MP_EraseSPIFlash() == 0) {
    MP_EnableWriteProtect();
    failure = msg::kEraseFlashFail;
  } else if (MP_EnableWriteProtect() == 0) {
    failure = msg::kEnableWriteProtectFail;
  }
  if (failure != 0) {
    PostFlowMessage(WM_FLOW_FAIL, failure);
    return 0;
  }
  if ((settings.updateOptions & update_option::kResetAfter) == 0) return 1;
  PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
  if (MP_ResetDevice(9, 0) == 0) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
    return 0;
  }
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, msg::kEraseFlashSucceed);
  return 1;
}

int CSPIFlashInfo_USB::DEV_EraseEx(int resetAfter) {
  SetResetAfter(resetAfter != 0);
  return DEV_Erase();
}

int CSPIFlashInfo_USB::DEV_Update() {
  const std::size_t length = std::min(image.builtinLength, image.builtin.size());
  const std::span<std::uint8_t> code = std::span(image.builtin).first(length);
  if (!FitsCodeMemory(code, kFlashCodeMemory) || HasSpiFlash() == 0) return 0;
  if (MP_OpenRomDevice() == 0) return 0;
  if (FF_UpdateEx(code) == 0) return 0;
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, msg::kUpdateFlashSucceed);
  return 1;
}

int CSPIFlashInfo_USB::DEV_DumpBin(const std::string& path) {
  if (DEV_Read() == 0) return 0;
  return SaveDumpFile(path, readBuffer, kSpiScope);
}

int CSPIFlashInfo_USB::DEV_DumpText(const std::string& path) {
  if (DEV_Read() == 0) return 0;
  std::string text;
  text.reserve(readBuffer.size() * 3 + readBuffer.size() / 8);
  char hex[4];
  for (std::size_t i = 0; i < readBuffer.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", readBuffer[i]);
    text += hex;
    if (i % 16 == 15) text += "\r\n";
  }
  return SaveDumpFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), kSpiScope);
}

}  // namespace quillon
