// Which connected device is the target: opening by index, by the IC profile,
// by the accepted list with port locking, the window's listings, finding the
// device again after a reset, and closing it.
#include <algorithm>
#include <array>
#include <fstream>

#include "data/accepted_devices.h"
#include "data/ic_type_ini.h"
#include "data/image_match.h"
#include "data/settings.h"
#include "flow/dev_flow.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/prompt.h"
#include "device/cam_dev.h"
#include "proxy/device_record.h"

namespace quillon {
namespace {

constexpr std::uint32_t kOpenFailPauseMs = 128;
constexpr TraceScope kOpenScope{"CDevFlow::MP_OpenDevice", 0, kTraceDevice};
constexpr TraceScope kVidPidScope{"CDevFlow::DEV_OpenDeviceByVIDPID", 0, kTraceDevice};
constexpr const char* kVidPidListFile = "VidPidList.ini";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  return ToUpperAscii(text).find(ToUpperAscii(part)) != std::string::npos;
}

}  // namespace

bool IsInVidPidListFile(std::string_view text) {
  const auto path = ProgramDir() / kVidPidListFile;
  if (!std::filesystem::exists(path)) {
    ThePrompt().Show(path.string() + " does not exist", "");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ThePrompt().Show("Fail to open file " + path.string(), "");
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    const std::string_view entry = Trim(line);
    if (entry.empty()) continue;
    if (ContainsIgnoreCase(text, entry) && ContainsIgnoreCase(entry, "REV")) return true;
  }
  return false;
}

bool CDevFlow::MatchesFirmwareVidPid() const { return EqualsIgnoreCase(idText, settings.firmwareVidPidText); }

void CDevFlow::ApplyConfiguredCheck(bool afterReset) {
  const std::uint32_t ini = Setting(key::kCheckVidPidIni, 0);
  if (ini == 2) {
    accepted = IsInVidPidListFile(fullIdText) ? 1 : 0;
  } else if (ini != 0) {
    accepted = IsInBuiltInVidPidList(afterReset ? idText : fullIdText) ? 1 : 0;
  } else if (Setting(key::kCheckVidPidBin, 0) != 0) {
    accepted = MatchesFirmwareVidPid() ? 1 : 0;
  } else {
    accepted = 1;
  }
}

namespace {
bool NoCheckConfigured() {
  return Setting(key::kCheckVidPidIni, 0) == 0 && Setting(key::kCheckVidPidBin, 0) == 0;
}
}  // namespace

bool CDevFlow::ReadIdentity() {
  std::uint16_t vid = 0, pid = 0, rev = 0;
  std::string name;
  if (VxCam_GetDeviceIdentityEx(device.handle, vid, pid, rev, name) == 0 &&
      VxCam_GetDeviceIdentity(device.handle, vid, pid, rev) == 0) {
    return false;
  }
  vendorId = vid;
  productId = pid;
  revision = rev;
  if (!name.empty()) deviceName = name;
  char text[32];
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", unsigned{vid}, unsigned{pid});
  idText = text;
  fullIdText = FullIdText(vid, pid, rev);
  return true;
}

void CDevFlow::ReadLocation() {
  CCamDev* object = VxCam_CurrentDevice();
  if (object == nullptr) {
    portAddress = 0;
    return;
  }
  std::uint32_t address = 0;
  std::string hub;
  if (GetDeviceLocation(object->record(), address, hub) != 0) {
    portAddress = 0;
    return;
  }
  portAddress = address;
  hubInstance = hub;
}

void CDevFlow::ReadChipMode() {
  std::array<std::uint8_t, 2> bytes{0xFF, 0xFF};
  if (VxCam_ReadMem(device.handle, kChipModeRegister, bytes, device.transportFlags) == 0) bytes = {0xFF, 0xFF};
  chipModeRaw = bytes;
  chipMode = {static_cast<std::uint8_t>(bytes[0] & 0xF0), static_cast<std::uint8_t>(bytes[1] & 0xF0)};
}

void CDevFlow::RefreshProfileHeader() {
  // "Customize Silence" has no reader in this build; the header read gives bus type and IC name.
  if (CICTypeIni* profile = CurrentProfile()) profile->ReadProfileHeader();
}

int CDevFlow::MP_OpenDevice(int index) {
  if (FlowCancelled()) return 0;
  MP_CloseDevice();
  device.handle = VxCam_OpenDeviceByIndex(index);
  if (device.handle == 0) {
    TraceFailure(kOpenScope, ("MP_OpenDevice Fail " + std::to_string(index) + "\n").c_str());
    TheClock().SleepMs(kOpenFailPauseMs);
    return 0;
  }
  return 1;
}

void CDevFlow::MP_CloseDevice() {
  if (VxCam_GetDevInst() != 0) VxCam_CloseDevice();
  device.handle = 0;
}

int CDevFlow::DEV_OpenDevice() {
  if (device.handle != 0) return 1;
  for (int index = 0; index < 3; ++index) {
    if (MP_OpenDevice(index) != 0) return 1;
  }
  PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
  SetLastStatus(msg::kDetectDeviceFail);
  return 0;
}

namespace {
void AfterProfileOpen(CDevFlow& flow) {
  FlowFrontEnd& front = TheFrontEnd();
  front.Location() = {flow.portAddress, flow.hubInstance};
  PostFlowMessage(WM_FLOW_OPENED, 0);
  SetLastStatus(0);
}
}  // namespace

int CDevFlow::DEV_OpenDeviceByICIni() {
  if (device.handle != 0) return 1;
  if (DEV_OpenDevice() == 0) return 0;
  ReadIdentity();
  ReadLocation();
  ReadChipMode();
  RefreshProfileHeader();
  AfterProfileOpen(*this);
  return 1;
}

int CDevFlow::DEV_OpenDeviceByICIni(int index) {
  if (device.handle != 0) return 1;
  if (MP_OpenDevice(index) == 0) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    return 0;
  }
  ReadIdentity();
  ReadLocation();
  ReadChipMode();
  RefreshProfileHeader();
  AfterProfileOpen(*this);
  return 1;
}

int CDevFlow::DEV_OpenDeviceByVIDPID() {
  if (device.handle != 0) return 1;
  const std::uint32_t lockPort = Setting(key::kLockPort, 0);
  const std::uint32_t portNo = Setting(key::kPortNo, 0);
  FlowFrontEnd& front = TheFrontEnd();
  const int count = VxCam_GetDeviceCount();
  if (count == 0) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    TraceFailure(kVidPidScope, "Cannot find Norvane USB Audio!\n");
    if (front.CommandLineMode()) front.ConsoleWrite("Cannot find Norvane USB Audio!\n");
    PostFlowMessage(WM_FLOW_OPENED, 0);
    SetLastStatus(0);
    return 0;
  }
  for (int index = 0; index < count; ++index) {
    if (MP_OpenDevice(index) == 0) continue;
    ReadLocation();
    front.Location() = {portAddress, hubInstance};
    ReadIdentity();
    bool taken = false;
    if (IsInBuiltInVidPidList(fullIdText)) {
      if (lockPort == 0) {
        taken = true;
      } else if (portNo == 0) {
        SetSettingInt(kConfigSection, key::kPortNo, portAddress);
        DebugPrint("Set Value\n");
        taken = true;
      } else {
        taken = portNo == portAddress;
      }
    }
    if (!taken) {
      MP_CloseDevice();
      continue;
    }
    ReadChipMode();
    RefreshProfileHeader();
    PostFlowMessage(WM_FLOW_OPENED, 0);
    SetLastStatus(0);
    return 1;
  }
  PostFlowMessage(WM_FLOW_FAIL, msg::kVidPidNotMatch);
  TraceFailure(kVidPidScope, "Check VID/PID Mismatch!\n");
  if (front.CommandLineMode()) front.ConsoleWrite("Check VID/PID Mismatch!\n");
  return 0;
}

void CDevFlow::DEV_CloseDevice() {
  if (device.handle != 0 && VxCam_GetDevInst() != 0) VxCam_ResetToRom(device.handle);
  MP_CloseDevice();
}

void CDevFlow::DEV_GetDeviceInfo() {
  MP_GetDeviceInfo();
  PostFlowMessage(WM_FLOW_INFO, 0);
  SetLastStatus(0);
}

void CDevFlow::DEV_GetDeviceInfoForInternalTool() {
  MP_GetDeviceInfoForInternalTool();
  PostFlowMessage(WM_FLOW_INFO, 0);
  SetLastStatus(0);
}

void CDevFlow::SelectFirmwareForDevice() {
  ReadChipMode();
  MP_GetDeviceInfo();
  if (memoryType() == MemoryType::Otp) OTP_SpaceText();
  // The profiles name the family by the high nibbles only (chipMode is masked).
  IdentifyDeviceFirmware(image, chipMode[0], chipMode[1], fullIdText);
}

void CDevFlow::DEV_GetDefaultDeviceForTessaro() {
  if (device.handle != 0) return;
  FlowFrontEnd& front = TheFrontEnd();
  const bool autoRun = Setting(key::kAutoRun, 0) != 0;
  if (autoRun) {
    DebugPrint("Before SetEvent\n");
    front.ResetAutoRunEvent();
  }
  const int count = VxCam_GetDeviceCount();
  selectedOrdinal = -1;
  selectedListIndex = -1;
  DeviceListView* list = front.DeviceList();
  if (list != nullptr) list->Clear();
  int ordinal = 0;
  int listIndex = -1;
  for (int index = 0; index < count; ++index) {
    if (MP_OpenDevice(index) == 0) continue;
    ReadIdentity();
    if (IsInBuiltInVidPidList(fullIdText)) {
      if (list != nullptr) list->Append(fullIdText);
      ++listIndex;
    }
    if (selectedOrdinal == -1) {
      if (NoCheckConfigured()) {
        SelectFirmwareForDevice();
        ReadLocation();
        front.Location() = {portAddress, hubInstance};
        selectedOrdinal = ordinal;
      } else {
        ApplyConfiguredCheck(false);
        if (accepted != 0) {
          SelectFirmwareForDevice();
          ReadLocation();
          front.Location() = {portAddress, hubInstance};
          selectedOrdinal = ordinal;
          selectedListIndex = listIndex;
        }
      }
    }
    ++ordinal;
    MP_CloseDevice();
  }
  if (selectedOrdinal == -1) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    SetLastStatus(msg::kDetectDeviceFail);
  } else {
    if (list != nullptr) {
      list->Select(selectedListIndex);
      front.SelectionText() = list->Text(selectedListIndex);
    }
    PostFlowMessage(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed);
    SetLastStatus(msg::kCheckDeviceInfoSucceed);
  }
  if (autoRun) front.SignalAutoRunEvent();
}

void CDevFlow::DEV_GetDeviceListForTessaro() {
  if (device.handle != 0) return;
  FlowFrontEnd& front = TheFrontEnd();
  const bool autoRun = Setting(key::kAutoRun, 0) != 0;
  if (autoRun) {
    DebugPrint("Before SetEvent\n");
    front.ResetAutoRunEvent();
  }
  const int count = VxCam_GetDeviceCount();
  selectedOrdinal = -1;
  DeviceListView* list = front.DeviceList();
  if (list != nullptr) list->Clear();

  int ordinal = 0;
  int listIndex = -1;
  for (int index = 0; index < count; ++index) {
    if (MP_OpenDevice(index) == 0) continue;
    ReadLocation();
    ReadIdentity();
    if (IsInBuiltInVidPidList(fullIdText)) {
      if (list != nullptr) list->Append(fullIdText);
      ++listIndex;
      if (RememberedLocation{portAddress, hubInstance} == front.Location()) {
        selectedOrdinal = ordinal;
        selectedListIndex = listIndex;
        SelectFirmwareForDevice();
      }
    }
    MP_CloseDevice();
    DebugPrint("MP_CloseDevice\n");
    if (autoRun) {
      DebugPrint("SetEvent\n");
      front.SignalAutoRunEvent();
    }
    ++ordinal;
  }

  if (selectedOrdinal == -1) {
    front.Location() = {};
    ordinal = 0;
    for (int index = 0; index < count; ++index) {
      if (MP_OpenDevice(index) == 0) continue;
      ReadIdentity();
      ReadLocation();
      if (NoCheckConfigured()) {
        front.Location() = {portAddress, hubInstance};
        selectedOrdinal = ordinal;
        SelectFirmwareForDevice();
        break;
      }
      ApplyConfiguredCheck(false);
      if (accepted != 0) {
        // Only a device that passes the check is recorded as chosen.
        front.Location() = {portAddress, hubInstance};
        selectedOrdinal = ordinal;
        SelectFirmwareForDevice();
        selectedListIndex = 0;
        break;
      }
      MP_CloseDevice();
      ++ordinal;
    }
    MP_CloseDevice();
  }

  if (selectedOrdinal != -1 && list != nullptr && list->Count() > 0) {
    list->Select(selectedListIndex);
    front.SelectionText() = list->Text(selectedListIndex);
    PostFlowMessage(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed);
    SetLastStatus(msg::kCheckDeviceInfoSucceed);
  } else {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    SetLastStatus(msg::kDetectDeviceFail);
  }
}

int CDevFlow::DEV_GetDeviceListExist() {
  modeF000Seen = 0;
  mode1010Seen = 0;
  int found = 0;
  const int count = VxCam_GetDeviceCount();
  for (int index = 0; index < count; ++index) {
    if (MP_OpenDevice(index) == 0) continue;
    ++found;
    ReadChipMode();
    const auto mode = static_cast<std::uint16_t>((chipMode[1] << 8 | chipMode[0]) & 0xFFF0);
    if (mode == 0xF000) modeF000Seen = 1;
    if (mode == 0x1010) mode1010Seen = 1;
  }
  PostFlowMessage(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed);
  SetLastStatus(msg::kCheckDeviceInfoSucceed);
  return found;
}

int CDevFlow::Dev_OpenDeviceForMultiCamera() {
  if (device.handle != 0) return 1;
  if (selectedOrdinal == -1) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    return 0;
  }
  const int count = VxCam_GetDeviceCount();
  const RememberedLocation wanted = TheFrontEnd().Location();
  for (int index = selectedOrdinal; index < count; ++index) {
    if (MP_OpenDevice(index) == 0) continue;
    ReadLocation();
    if (RememberedLocation{portAddress, hubInstance} == wanted) return 1;
    MP_CloseDevice();
  }
  return 0;
}

int CDevFlow::DEV_GetDeviceListAfterReset() {
  if (device.handle != 0) return 1;
  if (selectedOrdinal == -1) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    return 0;
  }
  FlowFrontEnd& front = TheFrontEnd();
  const std::string wanted = front.SelectionText();
  const int count = VxCam_GetDeviceCount();
  int ordinal = 0;
  for (int index = 0; index < count; ++index) {
    if (MP_OpenDevice(index) == 0) continue;
    ReadIdentity();
    if (fullIdText == wanted) {
      selectedOrdinal = ordinal;
      ReadLocation();
      front.Location() = {portAddress, hubInstance};
      if (Setting(key::kAutoRun, 0) != 0) front.SignalAutoRunEvent();
      SelectFirmwareForDevice();
      ApplyConfiguredCheck(true);
      MP_CloseDevice();
      PostFlowMessage(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed);
      SetLastStatus(msg::kCheckDeviceInfoSucceed);
      return 1;
    }
    MP_CloseDevice();
    ++ordinal;
  }
  PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
  SetLastStatus(msg::kDetectDeviceFail);
  return 1;
}

}  // namespace quillon
