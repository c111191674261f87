// The flow base: the operation table's defaults, the command-line entry, the
// update options, and how the flow reads the chip's mode and version and
// brings it into its ROM loader and back.
#include "flow/dev_flow.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "data/config_image.h"
#include "data/ic_type_ini.h"
#include "data/image_checks.h"
#include "data/flow_set_bytes.h"
#include "data/serial_record.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "device/cam_dev.h"
#include "flow/dump_file.h"
#include "flow/first_mismatch.h"
#include "flow/flow_helpers.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow/step_runner.h"
#include "flow/wait_limits.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

constexpr TraceScope kFlowScope{"CDevFlow", 0, kTraceDevice};
constexpr TraceScope kSpiScope{"CSPIFlashInfo_USB", 0, kTraceDevice};
constexpr TraceScope kNorScope{"CNORFlashInfo_USB", 0, kTraceDevice};
constexpr TraceScope kEepromScope{"CEepromInfo", 0, kTraceDevice};
constexpr TraceScope kOtpScope{"COTPInfo", 0, kTraceDevice};
constexpr std::size_t kExtendedVersionOffset = 128;

std::string Format(const char* format, auto... values) {
  char text[96];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string WithIds(std::string text, const VidPid* ids) {
  if (ids != nullptr) text += Format("-VID%04X&&PID%04X", unsigned{ids->vid}, unsigned{ids->pid});
  return text;
}

}  // namespace

ExtendedMode ExtendedModeOf(std::uint8_t value) {
  switch (value) {
    case 0:
    case 8:
    case 16:
    case 24:
    case 32:
      return static_cast<ExtendedMode>(value);
    default:
      return ExtendedMode::kUnknown;
  }
}

std::string_view ExtendedModeText(ExtendedMode mode) {
  switch (mode) {
    case ExtendedMode::kRom:
      return "ROM";
    case ExtendedMode::kSpi:
      return "SPI";
    case ExtendedMode::kRomOtp:
      return "ROM&&OTP";
    case ExtendedMode::kSpiOtp:
      return "SPI&&OTP";
    case ExtendedMode::kRomSpi:
      return "ROM&&SPI";
    case ExtendedMode::kUnknown:
      break;
  }
  return "Unknown";
}

std::string_view ExtendedModeText(std::uint8_t value) { return ExtendedModeText(ExtendedModeOf(value)); }

ActiveCodeRecord ActiveRecordOf(std::span<const std::uint8_t, kDevStatusLength> status) {
  const std::uint8_t low64 = status[64] & 0x0F;
  const std::uint8_t low72 = status[72] & 0x0F;
  ActiveCodeRecord active;
  active.offset = (low64 == 0 && low72 != 0 && low72 != 0x0B) ? 72 : 64;
  switch (status[active.offset] >> 4) {
    case 2:
      active.versionKind = 1;
      break;
    case 3:
      active.versionKind = 2;
      break;
    default:
      active.versionKind = 0;
      break;
  }
  return active;
}

bool StatusSaysCacheMode(std::span<const std::uint8_t, kDevStatusLength> status) {
  return (status[ActiveRecordOf(status).offset] & 0x0F) == 1;
}

std::string StatusVersionText(std::span<const std::uint8_t, kDevStatusLength> s, const VidPid* ids,
                              VersionFields* fields) {
  const ActiveCodeRecord active = ActiveRecordOf(s);
  switch (active.versionKind) {
    case 1:
      return WithIds(Format("0x%02X%02X-%02X%02X", s[77], s[76], s[79], s[78]), ids);
    case 2: {
      VersionFields f{static_cast<std::uint32_t>(s[79] >> 4), static_cast<std::uint32_t>(s[79] & 0x0F), s[78],
                      static_cast<std::uint32_t>(s[77] * 256 + s[76]), static_cast<std::uint32_t>(s[83] * 256 + s[82]),
                      static_cast<std::uint32_t>(s[81] * 256 + s[80])};
      if (fields != nullptr) *fields = f;
      return WithIds(VersionText(f), ids);
    }
    default: {
      const std::size_t r = active.offset;
      return WithIds(Format("0x%02X-%02X%02X-%02X%02X", s[r + 3], s[r + 6], s[r + 7], s[5], s[4]), ids);
    }
  }
}

std::string ExtendedVersionText(std::span<const std::uint8_t, 32> b, const VidPid* ids, VersionFields* fields) {
  VersionFields f{static_cast<std::uint32_t>(b[12] >> 4), static_cast<std::uint32_t>(b[12] & 0x0F), b[13],
                  static_cast<std::uint32_t>(b[14] * 256 + b[15]), static_cast<std::uint32_t>(b[16] * 256 + b[17]),
                  static_cast<std::uint32_t>(b[18] * 256 + b[19])};
  if (fields != nullptr) *fields = f;
  return WithIds(VersionText(f), ids);
}

// ---- operation table defaults ----

int CDevFlow::NotSupported() {
  SetLastStatus(msg::kNotSupport);
  return 0;
}

const TraceScope& CDevFlow::Scope() const {
  switch (memoryType_) {
    case MemoryType::SpiFlash:
      return kSpiScope;
    case MemoryType::NorFlash:
      return kNorScope;
    case MemoryType::Eeprom8:
    case MemoryType::Eeprom16:
      return kEepromScope;
    case MemoryType::Otp:
      return kOtpScope;
    default:
      return kFlowScope;
  }
}

int CDevFlow::DEV_ParseImage(std::span<const std::uint8_t> buffer) {
  if (!LocateConfigArea(CurrentAreaContext(), buffer, chip.image.config)) return 0;
  TakeParsedImage();
  return 1;
}

int CDevFlow::DEV_Silence_WriteBin(const std::string& path) {
  return LoadCheckedImage(path, false) != 0 ? DEV_Download() : 0;
}

int CDevFlow::DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  chip.serialNumber = serial;
  return LoadCheckedImage(path, true) != 0 ? DEV_Download() : 0;
}

int CDevFlow::DEV_DumpBin(const std::string& path) {
  if (DEV_Read() == 0) return 0;
  return SaveDumpFile(path, chip.readBuffer, Scope());
}

int CDevFlow::DEV_DumpText(const std::string& path) {
  if (DEV_Read() == 0) return 0;
  std::string text;
  text.reserve(chip.readBuffer.size() * 3 + chip.readBuffer.size() / 8);
  char hex[4];
  for (std::size_t i = 0; i < chip.readBuffer.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", chip.readBuffer[i]);
    text += hex;
    if (i % 16 == 15) text += "\r\n";
  }
  return SaveDumpFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), Scope());
}

int CDevFlow::DEV_Silence_VerifyBin(const std::string& path) {
  chip.image.mainFile = path;
  if (!LoadImageFile(chip.image) || chip.image.fileData.empty()) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kLoadFileDataFail);
    TraceFailure(Scope(), "Load File Data Fail!\n");
    return 0;
  }
  // A write with "SaveSN" put the unit's serial number into the area: the
  // chip is compared with the file as that write made it.
  if (!chip.serialNumber.empty() && PreActionForTessaro() == 0) return 0;
  SetWorkingMemorySize(chip.image.fileData.size());
  // A failed read has reported its own id; there is nothing to compare.
  if (DEV_Read() == 0) return 0;
  if (!SameOrReported(chip.image.fileData, chip.readBuffer)) {
    SetLastStatus(msg::kCompareDataFail);
    return 0;
  }
  return 1;
}

int CDevFlow::DEV_EraseEx(int) { return NotSupported(); }
int CDevFlow::OTP_UsageText(std::string&) { return NotSupported(); }

bool CDevFlow::PutSerialNumber(std::vector<std::uint8_t>& bytes) const {
  AreaContext context = CurrentAreaContext();
  // An EEPROM chip reads its area at offset 0, whatever the profile says of flash.
  if (memoryType_ == MemoryType::Eeprom8 || memoryType_ == MemoryType::Eeprom16) context.configAddress = 0;
  // An image that ends before the whole area has no area to write it into.
  const bool fits =
      context.configAddress == 0 || std::uint64_t{context.configAddress} + context.configSize <= bytes.size();
  if (chip.serialNumber.empty() || !fits || !WriteSerialRecord(context, bytes, chip.serialNumber, nullptr)) return false;
  // The rebuilt area comes with a tag word that a family which never tags
  // does not get: the image says what the chip will hold.
  FlowWriteFacts facts;
  facts.memory = memoryType_;
  facts.length = bytes.size();
  facts.romFlag = chip.romFlag != 0;
  facts.areaAtZero = chip.image.config.areaAtZero;
  facts.tagAddress = context.tagAddress;
  PutFlowSetBytes(bytes, BytesTheFlowSets(facts));
  return true;
}

int CDevFlow::PreActionForTessaro() {
  if (Setting(key::kSaveSn, 0) == 0) return 1;
  // An empty number would replace the record's text with nothing: the unit
  // must not pass without the number it was given.
  if (chip.serialNumber.empty()) DebugPrint("No serial number to save\n");
  // A serial the chip would show otherwise than it is recorded is refused
  // before the chip is touched.
  if (auto problem = SerialTextProblem(chip.serialNumber)) {
    DebugPrint("%s\n", problem->c_str());
    ThePrompt().Show(*problem, "Error");
  } else if (PutSerialNumber(chip.image.fileData)) {
    return 1;
  }
  TraceFailure(Scope(), "Save SN Fail\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kSaveSnFail);
  return 0;
}

void CDevFlow::SerialCountdown() {
  if (CommandLine() || Setting(key::kSaveSn, 0) == 0) return;
  PostFlowMessage(WM_FLOW_STEP, 0);
  TheClock().SleepMs(1000);
  PostFlowMessage(WM_FLOW_STEP, 0);
  TheClock().SleepMs(1000);
}

int CDevFlow::SaveReadResult() {
  if (CommandLine() || chip.settings.readResultPath.empty()) return 1;
  return SaveDumpFile(chip.settings.readResultPath, chip.readBuffer, Scope());
}

int CDevFlow::LoadCheckedImage(const std::string& path, bool withSerial) {
  chip.image.mainFile = path;
  const CICTypeIni* profile = CurrentProfile();
  const std::uint8_t chipCode = profile != nullptr ? profile->ChipInfo() : 0;
  const bool flash = memoryType_ == MemoryType::SpiFlash || memoryType_ == MemoryType::NorFlash;
  ImageCheckOptions options;
  options.keepHeldFullImage = flash && !withSerial;
  options.accept8For9 = memoryType_ != MemoryType::Otp;
  if (memoryType_ != MemoryType::Otp) options.writeMemory = memoryType_;
  options.romFlag = chip.romFlag != 0;
  const std::uint32_t failure = CheckImageBeforeWrite(chip.image, chipCode, CurrentAreaContext(), options, nullptr);
  if (failure != image_status::kPassed) {
    PostFlowMessage(WM_FLOW_FAIL, failure);
    return 0;
  }
  TakeParsedImage();
  return 1;
}

bool CDevFlow::FitsCodeMemory(std::span<const std::uint8_t> code, std::size_t capacity) {
  if (code.size() <= capacity) return true;
  DebugPrint("Image of %zu bytes is larger than the code memory of %zu bytes\n", code.size(), capacity);
  TraceFailure(kFlowScope, "Image Larger Than Code Memory\n");
  PostFlowMessage(WM_FLOW_FAIL, msg::kFirmwareNotForDevice);
  return false;
}

void CDevFlow::StoreCodeVersion(std::span<const std::uint8_t, kDevStatusLength> status) {
  const std::size_t active = ActiveRecordOf(status).offset;
  std::copy_n(status.begin() + static_cast<std::ptrdiff_t>(active), chip.codeVersion.size(), chip.codeVersion.begin());
}

bool CDevFlow::ReadCodeVersion() {
  std::array<std::uint8_t, kDevStatusLength> status{};
  if (!ReadDevStatus(chip.device.handle, status, chip.device.transportFlags)) return false;
  StoreCodeVersion(status);
  return true;
}

void CDevFlow::TakeParsedImage() {
  chip.configAtZero = chip.image.config.areaAtZero ? 1 : 0;
  chip.firmwareIcId = chip.image.config.imageChipCode;
  // The image's own vendor/product record says which devices it is made for.
  chip.settings.firmwareVidPidText = chip.image.config.texts.vidPid;
}

int CDevFlow::DEV_RunCommand(char letter, const std::string& text) {
  SetLastStatus(0);
  switch (std::toupper(static_cast<unsigned char>(letter))) {
    case 'E':
      return DEV_EraseEx(1);
    case 'R':
    case 'Y':
    case 'Z':
      return DEV_DumpBin(text);
    case 'T':
      return DEV_DumpText(text);
    case 'V':
      return DEV_Silence_VerifyBin(text);
    case 'W':
      return DEV_Silence_WriteBin(text);
    case 'C': {
      chip.image.mainFile = text;
      if (!LoadImageFile(chip.image)) return 0;
      std::string usage;
      if (OTP_UsageText(usage) == 0) return 0;
      chip.connectionText = usage;
      return 1;
    }
    default:
      SetLastStatus(msg::kNotSupport);
      return 0;
  }
}

void CDevFlow::SetUpdateOptions() {
  chip.settings.updateOptions = update_option::kInitial;
  if (Setting(key::kResetToCache, 1) == 0) chip.settings.updateOptions &= ~update_option::kResetAfter;
  if (Setting(key::kNormalReset, 1) == 0) {
    chip.settings.updateOptions |= update_option::kRomSubMode2;
    chip.settings.resetModeByte = 5;
  } else {
    chip.settings.resetModeByte = 6;
  }
}

// ---- modes ----

std::function<bool(std::span<std::uint8_t>)> CDevFlow::ChipModeReader() {
  return [this](std::span<std::uint8_t> out) {
    return ReadRegister(chip.device.handle, kChipModeRegister, out, chip.device.transportFlags);
  };
}

std::uint16_t CDevFlow::StepChipMode(std::uint16_t* raw, bool* read) {
  // Within a step an unreadable chip counts as 00 00: no loader state, no special variant.
  const ChipModeReading mode = ReadChipModeWith(ChipModeReader(), 0x00, ChipModeBits::kFamily);
  if (raw != nullptr) *raw = mode.RawWord();
  if (read != nullptr) *read = mode.read;
  return mode.value;
}

bool CDevFlow::IsInCacheMode() {
  std::array<std::uint8_t, kDevStatusLength> status{};
  const bool statusRead = ReadDevStatus(chip.device.handle, status, chip.device.transportFlags);
  const std::uint16_t mode = StepChipMode();
  if (mode != 0x0000 && mode != 0x7010) {
    std::array<std::uint8_t, 1> extended{};
    if (!ReadRegister(chip.device.handle, kExtendedModeRegister, extended, chip.device.transportFlags)) return false;
    return extended[0] != 0;
  }
  return statusRead && StatusSaysCacheMode(status);
}

void CDevFlow::GetDeviceInfo(bool internalTool) {
  if (chip.device.handle == 0) {
    chip.connectionText = "No USB Audio";
    chip.versionText = "N/A";
    chip.deviceName = "N/A";
    return;
  }
  chip.connectionText = "USB Audio Connected";
  std::array<std::uint8_t, kDevStatusLength> status{};
  ReadDevStatus(chip.device.handle, status, chip.device.transportFlags);
  std::array<std::uint8_t, 1> extended{};
  chip.modeReadFailure.reset();
  const auto noteModeRead = [&](bool read) {
    if (!read && !chip.modeReadFailure) chip.modeReadFailure = PendingLinkFailure();
  };
  noteModeRead(ReadRegister(chip.device.handle, kExtendedModeRegister, extended, chip.device.transportFlags));
  DebugPrint("modeEx is %d\n", extended[0]);

  ReadIdentity();
  const VidPid ids{chip.vendorId, chip.productId};
  const VidPid* suffix = internalTool ? &ids : nullptr;
  StoreCodeVersion(status);
  // A unit whose status carries no version words (a blank one in its loader)
  // must not be compared by the words of the unit before it.
  chip.versionFields = {};
  std::string text;
  if (extended[0] == 16 || extended[0] == 24 || extended[0] == 32) {
    std::array<std::uint8_t, 32> more{};
    RetriedLink(LinkStep::kStatusRead, [&] {
      return VxCam_ReadStatus(chip.device.handle, kExtendedVersionOffset / 8, more, chip.device.transportFlags);
    });
    text = ExtendedVersionText(more, suffix, &chip.versionFields);
  } else {
    text = StatusVersionText(status, suffix, &chip.versionFields);
  }
  if (internalTool) {
    chip.internalVersionText = text;
  } else {
    chip.versionText = text;
  }

  chip.usbSerial.clear();
  VxCam_GetSerialString(chip.device.handle, chip.usbSerial);
  if (CCamDev* object = VxCam_CurrentDevice()) chip.locationIdText = object->record().instance + "&" + chip.fullIdText;

  chip.notRunningFlag = IsInCacheMode() ? 0 : 1;
  ReadLocation();
  noteModeRead(ReadChipMode());
  const std::uint16_t mode = ChipModeWord(chip.chipMode[0], chip.chipMode[1], ChipModeBits::kFamily);
  if (mode == 0x0010) chip.plainRomFlag = 1;
  if (IsRomLoaderState(mode)) {
    chip.romFlag = 1;
    chip.extendedMode = ExtendedModeOf(extended[0]);
    chip.modeText = ExtendedModeText(chip.extendedMode);
  } else {
    chip.romFlag = 0;
  }
}

void CDevFlow::MP_GetDeviceInfo() { GetDeviceInfo(false); }
void CDevFlow::MP_GetDeviceInfoForInternalTool() { GetDeviceInfo(true); }

void CDevFlow::MP_RefreshVersionText() {
  if (chip.device.handle == 0) return;
  std::array<std::uint8_t, kDevStatusLength> status{};
  if (!ReadDevStatus(chip.device.handle, status, chip.device.transportFlags)) return;
  const VidPid ids{chip.vendorId, chip.productId};
  chip.internalVersionText = StatusVersionText(status, &ids, nullptr);
}

int CDevFlow::MP_ResetDevice(int code, std::uint16_t argument) {
  switch (code) {
    case 7:
    case 9:
    case 10:
      return MP_ResetDevice(static_cast<ResetCode>(code), argument);
    default:
      return 0;
  }
}

int CDevFlow::MP_ResetDevice(ResetCode code, std::uint16_t argument) {
  if (FlowCancelled()) return 0;
  const std::uint32_t waitMs = SettingWaitMs(kWaitTimeRange);
  switch (code) {
    case ResetCode::kToUpdateFW:
      return VxCam_ResetToUpdateFWAndReopen(chip.device, argument, chip.device.transportFlags, waitMs);
    case ResetCode::kToRom:
      if (chip.romFlag != 0 && memoryType() == MemoryType::Otp &&
          (chip.extendedMode == ExtendedMode::kRom || chip.extendedMode == ExtendedMode::kRomOtp)) {
        const std::array<std::uint8_t, 1> value{kOtpResetValue};
        WriteRegister(chip.device.handle, kOtpResetRegister, value, chip.device.transportFlags);
      }
      return VxCam_ResetToRomAndReopen(chip.device, chip.device.transportFlags, waitMs);
    case ResetCode::kToRomByRequest:
      return VxCam_ResetToRomByRequestAndReopen(chip.device, chip.device.transportFlags, waitMs);
    default:
      return 0;
  }
}

int CDevFlow::ResetIntoNewCode(bool reuseTransports) {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepResetToNewCode);
  ScopedTransportFlags reuse(chip.device, reuseTransports ? kFlagReuseTransports : 0);
  return MP_ResetDevice(ResetCode::kToRom, 0);
}

int CDevFlow::Finish(std::uint32_t failure, std::uint32_t passId) {
  if (failure != 0) {
    PostFlowMessage(WM_FLOW_FAIL, failure);
    return 0;
  }
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, passId);
  return 1;
}

int CDevFlow::RunProgrammingCore(std::size_t length, const std::function<std::uint32_t()>& prepare,
                                 const std::function<std::uint32_t()>& core,
                                 const std::function<void()>& protectOn) {
  if (!Allocate(chip.readBuffer, length)) return Finish(msg::kMallocDataFail, 0);
  if (FlowCancelled()) return Finish(msg::kRunCancelled, 0);
  if (const std::uint32_t failure = prepare ? prepare() : 0; failure != 0) return Finish(failure, 0);
  const std::uint32_t failure = core();
  if (failure == 0) return 1;
  protectOn();
  return Finish(failure, 0);
}

int CDevFlow::MP_ResetToRomCode() {
  const bool running = IsInCacheMode();
  std::uint16_t raw = 0;
  std::uint16_t mode = StepChipMode(&raw);
  if (IsRomLoaderState(mode)) {
    if (chip.settings.resetModeByte == 0) return 1;
    chip.notRunningFlag = 0;
    if (IsSpecialVariant(raw) && chip.extendedMode == ExtendedMode::kRomSpi) {
      {
        // Spoil the configuration header at 0 so that ROM code no longer takes it.
        ScopedTransportFlags unit(chip.device, kFlagForceUnit);
        MP_DisableWriteProtect();
        WriteFlashBytes(0, std::array<std::uint8_t, 1>{0x00});
      }
      return MP_ResetDevice(ResetCode::kToRomByRequest, 0);
    }
    if (IsSpecialVariant(raw)) return MP_ResetDevice(ResetCode::kToRom, 0);
    return MP_ResetDevice(ResetCode::kToUpdateFW, chip.settings.resetModeByte);
  }
  if (!running) {
    chip.notRunningFlag = 1;
    mode = StepChipMode();
    if (mode != 0x3000) return 1;
  }
  chip.notRunningFlag = 0;
  if ((chip.settings.updateOptions & update_option::kRomSubMode2) != 0 || chip.settings.resetModeByte == 5) {
    return MP_ResetDevice(ResetCode::kToUpdateFW, 2);
  }
  return MP_ResetDevice(ResetCode::kToUpdateFW, static_cast<std::uint16_t>(memoryType()));
}

int CDevFlow::MP_OpenRomDevice() {
  // How the chip is entered and which layout goes in follow from its mode;
  // an unread mode is no ROM loader, and a guess can write the wrong layout.
  if (chip.modeReadFailure) {
    RestoreLinkFailure(chip.modeReadFailure);
    TraceFailure(kFlowScope, "Read Chip Mode Fail\n");
    PostFlowMessage(WM_FLOW_FAIL, msg::kLinkFail);
    return 0;
  }
  if (chip.romFlag != 0 && (chip.extendedMode == ExtendedMode::kRom || chip.extendedMode == ExtendedMode::kRomOtp)) {
    chip.notRunningFlag = 1;
    return 1;
  }
  if (chip.romFlag != 0 && chip.extendedMode == ExtendedMode::kSpi) {
    ScopedTransportFlags unit(chip.device, kFlagForceUnit);
    std::uint16_t raw = 0;
    StepChipMode(&raw);
    if (IsSpecialVariant(raw)) {
      // Spoil the old code's configuration byte and tag so the loader stops starting it.
      MP_DisableWriteProtect();
      WriteFlashBytes(0xF000, std::array<std::uint8_t, 1>{0x00});
      WriteFlashBytes(0xEFFE, std::array<std::uint8_t, 2>{0x00, 0x00});
      MP_EnableWriteProtect();
    }
  }
  PostFlowMessage(WM_FLOW_STEP, msg::kStepWaitReset);
  const int result = MP_ResetToRomCode();
  if (result == 0) {
    TraceFailure(kFlowScope, "Device ResetToUpdateFW Fail\n");
    PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
    return 0;
  }
  return result;
}

}  // namespace quillon
