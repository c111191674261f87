// Which connected device is the target: opening by index, by the IC profile,
// by the accepted list with port locking, the window's listings, finding the
// device again after a reset, and closing it.
#include <algorithm>
#include <array>
#include <optional>

#include "data/accepted_devices.h"
#include "data/ic_type_ini.h"
#include "data/image_match.h"
#include "data/settings.h"

#include "flow/dev_flow.h"
#include "flow/device_selection.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow/step_runner.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/prompt.h"
#include "device/cam_dev.h"
#include "device/link_failure.h"
#include "device/vxcam.h"
#include "proxy/device_record.h"

namespace quillon {
namespace {

constexpr std::uint32_t kOpenFailPauseMs = 128;
constexpr TraceScope kOpenScope{"CDevFlow::MP_OpenDevice", 0, kTraceDevice};
constexpr TraceScope kVidPidScope{"CDevFlow::DEV_OpenDeviceByVIDPID", 0, kTraceDevice};
constexpr const char* kVidPidListFile = "VidPidList.ini";

}  // namespace

bool IsInVidPidListFile(std::string_view text) {
  const auto path = ConfigDir() / kVidPidListFile;
  if (!std::filesystem::exists(path)) {
    ThePrompt().Show(path.string() + " does not exist", "");
    return false;
  }
  auto bytes = ReadWholeFile(path);
  if (!bytes) {
    ThePrompt().Show("Fail to open file " + path.string(), "");
    return false;
  }
  return ListFileAccepts(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), text);
}

bool CDevFlow::MatchesFirmwareVidPid() const { return EqualsIgnoreCase(chip.idText, chip.settings.firmwareVidPidText); }

void CDevFlow::ApplyConfiguredCheck(bool afterReset) {
  const std::uint32_t ini = Setting(key::kCheckVidPidIni, 0);
  if (ini == 2) {
    chip.accepted = IsInVidPidListFile(chip.fullIdText) ? 1 : 0;
  } else if (ini != 0) {
    chip.accepted = IsInBuiltInVidPidList(afterReset ? chip.idText : chip.fullIdText) ? 1 : 0;
  } else if (Setting(key::kCheckVidPidBin, 0) != 0) {
    chip.accepted = MatchesFirmwareVidPid() ? 1 : 0;
  } else {
    chip.accepted = 1;
  }
}

namespace {
bool NoCheckConfigured() {
  return Setting(key::kCheckVidPidIni, 0) == 0 && Setting(key::kCheckVidPidBin, 0) == 0;
}
}  // namespace

namespace {

// What the walk does with a device after its visit.
enum class WalkStep {
  Close,     // close it and go on
  KeepOpen,  // go on; the next open closes it
  Stop,      // stop with the device open
};

// The one walk over the devices that open, from enumeration index `first`:
// `read` fills the value with what the operation reads (in its own order on
// the wire), `visit` decides. True when a visit stopped the walk.
// A device that did not open is skipped; `unopened`, when given, collects it
// with the reason.
struct UnopenedDevice {
  int index = 0;
  std::uint32_t result = 0;
};
template <class Read, class Visit>
bool WalkOpenedDevices(CDevFlow& flow, int first, Read read, Visit visit, std::vector<UnopenedDevice>* unopened = nullptr) {
  const int count = VxCam_GetDeviceCount();
  int ordinal = 0;
  int listIndex = -1;
  for (int index = first; index < count; ++index) {
    if (flow.MP_OpenDevice(index) == 0) {
      if (unopened != nullptr) unopened->push_back({index, VxCam_LastOpenFailure()});
      continue;
    }
    SeenDevice seen;
    seen.index = index;
    seen.ordinal = ordinal;
    read(seen);
    if (seen.listed) ++listIndex;
    seen.listIndex = listIndex;
    const WalkStep step = visit(seen);
    if (step == WalkStep::Stop) return true;
    if (step == WalkStep::Close) flow.MP_CloseDevice();
    ++ordinal;
  }
  return false;
}

// The one place a choice is taken over: the remembered ordinal and list entry,
// the firmware for the device and, when given, its location.
void ApplyChoice(CDevFlow& flow, const DeviceChoice& choice, const RememberedLocation* location) {
  flow.chip.selectedOrdinal = choice.ordinal;
  if (choice.listIndex) flow.chip.selectedListIndex = *choice.listIndex;
  if (location != nullptr) TheFrontEnd().Location() = *location;
  flow.SelectFirmwareForDevice();
}

// What reading the later devices of a walk overwrites of the one it chose:
// the listing must report the chosen device, not the last one walked.
class ChosenDevice {
 public:
  void Keep(const ChipSession& chip) { kept_ = chip; }
  void RestoreInto(ChipSession& chip) const {
    if (!kept_) return;
    chip.vendorId = kept_->vendorId;
    chip.productId = kept_->productId;
    chip.revision = kept_->revision;
    chip.deviceName = kept_->deviceName;
    chip.idText = kept_->idText;
    chip.fullIdText = kept_->fullIdText;
    chip.portAddress = kept_->portAddress;
    chip.hubInstance = kept_->hubInstance;
    chip.foundAt = kept_->foundAt;
    chip.accepted = kept_->accepted;
  }

 private:
  std::optional<ChipSession> kept_;
};

void ReportListingOutcome(bool chosen, DeviceListView* list, int listIndex) {
  if (!chosen) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    SetLastStatus(msg::kDetectDeviceFail);
    return;
  }
  if (list != nullptr) {
    list->Select(listIndex);
    TheFrontEnd().SelectionText() = list->Text(listIndex);
  }
  PostFlowMessage(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed);
  SetLastStatus(msg::kCheckDeviceInfoSucceed);
}

}  // namespace

bool CDevFlow::ReadIdentity() {
  std::uint16_t vid = 0, pid = 0, rev = 0;
  std::string name;
  if (VxCam_GetDeviceIdentityEx(chip.device.handle, vid, pid, rev, name) == 0 &&
      VxCam_GetDeviceIdentity(chip.device.handle, vid, pid, rev) == 0) {
    return false;
  }
  chip.vendorId = vid;
  chip.productId = pid;
  chip.revision = rev;
  if (!name.empty()) chip.deviceName = name;
  char text[32];
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", unsigned{vid}, unsigned{pid});
  chip.idText = text;
  chip.fullIdText = FullIdText(vid, pid, rev);
  return true;
}

void CDevFlow::ReadLocation() {
  CCamDev* object = VxCam_CurrentDevice();
  if (object == nullptr) {
    chip.portAddress = 0;
    return;
  }
  std::uint32_t address = 0;
  std::string hub;
  if (GetDeviceLocation(object->record(), address, hub) != 0) {
    chip.portAddress = 0;
    return;
  }
  chip.portAddress = address;
  chip.hubInstance = hub;
  chip.foundAt = object->record().location;
}

bool CDevFlow::ReadChipMode() {
  // An unreadable chip counts as FF FF here: no family matches it.
  const ChipModeReading mode = ReadChipModeWith(ChipModeReader(), 0xFF, ChipModeBits::kFamily);
  chip.chipModeRaw = mode.raw;
  chip.chipMode = {static_cast<std::uint8_t>(mode.value & 0xFF), static_cast<std::uint8_t>(mode.value >> 8)};
  return mode.read;
}

void CDevFlow::RefreshProfileHeader() {
  // "Customize Silence" has no reader in this build; the header read gives bus type and IC name.
  if (CICTypeIni* profile = CurrentProfile()) profile->ReadProfileHeader();
}

int CDevFlow::MP_OpenDevice(int index) {
  if (FlowCancelled()) return 0;
  MP_CloseDevice();
  chip.device.handle = VxCam_OpenDeviceByIndex(index);
  if (chip.device.handle == 0) {
    TraceFailure(kOpenScope, ("MP_OpenDevice Fail " + std::to_string(index) + "\n").c_str());
    TheClock().SleepMs(kOpenFailPauseMs);
    return 0;
  }
  return 1;
}

void CDevFlow::MP_CloseDevice() {
  if (VxCam_GetDevInst() != 0) VxCam_CloseDevice();
  chip.device.handle = 0;
}

int CDevFlow::DEV_OpenDevice() {
  if (chip.device.handle != 0) return 1;
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
  front.Location() = {flow.chip.portAddress, flow.chip.hubInstance};
  PostFlowMessage(WM_FLOW_OPENED, 0);
  SetLastStatus(0);
}
}  // namespace

int CDevFlow::DEV_OpenDeviceByICIni() {
  if (chip.device.handle != 0) return 1;
  if (DEV_OpenDevice() == 0) return 0;
  ReadIdentity();
  ReadLocation();
  ReadChipMode();
  RefreshProfileHeader();
  AfterProfileOpen(*this);
  return 1;
}

int CDevFlow::DEV_OpenDeviceByICIni(int index) {
  if (chip.device.handle != 0) return 1;
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

namespace {
// A device whose bus identity the accepted list takes but that did not open
// (pulled as it was opened, or silent) is a unit the link lost, not a unit of
// the wrong kind: the run then fails as the link failure it is.
void NoteUnopenedAcceptedDevice(const std::vector<ListEntry>& listed, const std::vector<UnopenedDevice>& unopened) {
  for (const UnopenedDevice& device : unopened) {
    const auto at = static_cast<std::size_t>(device.index);
    if (at >= listed.size() || !IsInBuiltInVidPidList(listed[at].name)) continue;
    NoteLinkFailure("open the chip at " + listed[at].location, static_cast<std::uint32_t>(device.index), device.result);
    return;
  }
}
}  // namespace

int CDevFlow::DEV_OpenDeviceByVIDPID() {
  if (chip.device.handle != 0) return 1;
  const std::uint32_t lockPort = Setting(key::kLockPort, 0);
  const std::uint32_t portNo = Setting(key::kPortNo, 0);
  FlowFrontEnd& front = TheFrontEnd();
  const int count = VxCam_GetDeviceCount();
  if (count == 0) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    TraceFailure(kVidPidScope, "Cannot find Norvane USB Audio!\n");
    PostFlowMessage(WM_FLOW_OPENED, 0);
    SetLastStatus(0);
    return 0;
  }
  // The bus as the walk finds it: a unit pulled during its open is gone from a later listing.
  std::vector<ListEntry> listed;
  VxCam_ListDevice(listed, DeviceKind::kAudio);
  std::vector<UnopenedDevice> unopened;
  const bool taken = WalkOpenedDevices(
      *this, 0,
      [&](SeenDevice& seen) {
        ReadLocation();
        seen.location = {chip.portAddress, chip.hubInstance};
        front.Location() = seen.location;
        ReadIdentity();
        seen.identity = chip.fullIdText;
        seen.listed = IsInBuiltInVidPidList(chip.fullIdText);
      },
      [&](const SeenDevice& seen) {
        const PortLockDecision decision = DecidePortLock(seen.listed, lockPort, portNo, seen.location.portAddress);
        if (decision == PortLockDecision::Refuse) return WalkStep::Close;
        if (decision == PortLockDecision::TakeAndRememberPort) {
          SetSettingInt(kConfigSection, key::kPortNo, chip.portAddress);
          DebugPrint("Set Value\n");
        }
        return WalkStep::Stop;
      },
      &unopened);
  if (taken) {
    ReadChipMode();
    RefreshProfileHeader();
    PostFlowMessage(WM_FLOW_OPENED, 0);
    SetLastStatus(0);
    return 1;
  }
  NoteUnopenedAcceptedDevice(listed, unopened);
  PostFlowMessage(WM_FLOW_FAIL, msg::kVidPidNotMatch);
  TraceFailure(kVidPidScope, "Check VID/PID Mismatch!\n");
  return 0;
}

void CDevFlow::DEV_CloseDevice() {
  if (chip.device.handle != 0 && VxCam_GetDevInst() != 0) VxCam_ResetToRom(chip.device.handle);
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
  IdentifyDeviceFirmware(chip.image, chip.chipMode[0], chip.chipMode[1], chip.fullIdText);
}

std::optional<DeviceChoice> ChooseDefault(const SeenDevice& device, bool checkConfigured) {
  if (!checkConfigured) return DeviceChoice{device.ordinal, std::nullopt};
  if (!device.accepted) return std::nullopt;
  return DeviceChoice{device.ordinal, device.listIndex};
}

std::optional<DeviceChoice> ChooseAtLocation(const SeenDevice& device, const RememberedLocation& wanted) {
  if (!device.listed || device.location != wanted) return std::nullopt;
  return DeviceChoice{device.ordinal, device.listIndex};
}

std::optional<DeviceChoice> ChooseFirstAccepted(const SeenDevice& device, bool checkConfigured) {
  if (!checkConfigured) return DeviceChoice{device.ordinal, std::nullopt};
  if (!device.accepted) return std::nullopt;
  return DeviceChoice{device.ordinal, 0};
}

std::optional<DeviceChoice> ChooseByIdentity(const SeenDevice& device, const std::string& wanted) {
  if (device.identity != wanted) return std::nullopt;
  return DeviceChoice{device.ordinal, std::nullopt};
}

bool IsAtLocation(const SeenDevice& device, const RememberedLocation& wanted) { return device.location == wanted; }

PortLockDecision DecidePortLock(bool listed, std::uint32_t lockPort, std::uint32_t portNo, std::uint32_t portAddress) {
  if (!listed) return PortLockDecision::Refuse;
  if (lockPort == 0) return PortLockDecision::Take;
  if (portNo == 0) return PortLockDecision::TakeAndRememberPort;
  return portNo == portAddress ? PortLockDecision::Take : PortLockDecision::Refuse;
}

void CDevFlow::DEV_GetDefaultDeviceForTessaro() {
  if (chip.device.handle != 0) return;
  FlowFrontEnd& front = TheFrontEnd();
  const bool autoRun = Setting(key::kAutoRun, 0) != 0;
  if (autoRun) {
    DebugPrint("Before SetEvent\n");
    front.ResetAutoRunEvent();
  }
  chip.selectedOrdinal = -1;
  chip.selectedListIndex = -1;
  DeviceListView* list = front.DeviceList();
  if (list != nullptr) list->Clear();
  const bool checkConfigured = !NoCheckConfigured();
  bool chosen = false;
  ChosenDevice chosenDevice;
  WalkOpenedDevices(
      *this, 0,
      [&](SeenDevice& seen) {
        ReadIdentity();
        seen.identity = chip.fullIdText;
        seen.listed = IsInBuiltInVidPidList(chip.fullIdText);
        if (chosen) return;
        if (checkConfigured) {
          ApplyConfiguredCheck(false);
          seen.accepted = chip.accepted != 0;
        }
      },
      [&](const SeenDevice& seen) {
        if (seen.listed && list != nullptr) list->Append(seen.identity);
        if (chosen) return WalkStep::Close;
        if (auto choice = ChooseDefault(seen, checkConfigured)) {
          chosen = true;
          // The location is read only for the device taken, as it always was.
          ReadLocation();
          const RememberedLocation location{chip.portAddress, chip.hubInstance};
          ApplyChoice(*this, *choice, &location);
          chosenDevice.Keep(chip);
        }
        return WalkStep::Close;
      });
  chosenDevice.RestoreInto(chip);
  ReportListingOutcome(chosen, list, chip.selectedListIndex);
  if (autoRun) front.SignalAutoRunEvent();
}

void CDevFlow::DEV_GetDeviceListForTessaro() {
  if (chip.device.handle != 0) return;
  FlowFrontEnd& front = TheFrontEnd();
  const bool autoRun = Setting(key::kAutoRun, 0) != 0;
  if (autoRun) {
    DebugPrint("Before SetEvent\n");
    front.ResetAutoRunEvent();
  }
  chip.selectedOrdinal = -1;
  DeviceListView* list = front.DeviceList();
  if (list != nullptr) list->Clear();

  const RememberedLocation remembered = front.Location();
  ChosenDevice chosenDevice;
  WalkOpenedDevices(
      *this, 0,
      [&](SeenDevice& seen) {
        ReadLocation();
        seen.location = {chip.portAddress, chip.hubInstance};
        ReadIdentity();
        seen.identity = chip.fullIdText;
        seen.listed = IsInBuiltInVidPidList(chip.fullIdText);
      },
      [&](const SeenDevice& seen) {
        if (seen.listed && list != nullptr) list->Append(seen.identity);
        if (auto choice = ChooseAtLocation(seen, remembered)) {
          ApplyChoice(*this, *choice, nullptr);
          // The unit at the port now, which may not be the one judged last.
          ApplyConfiguredCheck(false);
          chosenDevice.Keep(chip);
        }
        MP_CloseDevice();
        DebugPrint("MP_CloseDevice\n");
        if (autoRun) {
          DebugPrint("SetEvent\n");
          front.SignalAutoRunEvent();
        }
        return WalkStep::KeepOpen;
      });

  if (chip.selectedOrdinal == -1) {
    front.Location() = {};
    const bool checkConfigured = !NoCheckConfigured();
    WalkOpenedDevices(
        *this, 0,
        [&](SeenDevice& seen) {
          ReadIdentity();
          seen.identity = chip.fullIdText;
          ReadLocation();
          seen.location = {chip.portAddress, chip.hubInstance};
          if (checkConfigured) {
            ApplyConfiguredCheck(false);
            seen.accepted = chip.accepted != 0;
          }
        },
        [&](const SeenDevice& seen) {
          // Only a device that passes the check is recorded as chosen.
          auto choice = ChooseFirstAccepted(seen, checkConfigured);
          if (!choice) return WalkStep::Close;
          ApplyChoice(*this, *choice, &seen.location);
          return WalkStep::Stop;
        });
    MP_CloseDevice();
  } else {
    chosenDevice.RestoreInto(chip);
  }

  const bool listed = list != nullptr && list->Count() > 0;
  ReportListingOutcome(chip.selectedOrdinal != -1 && listed, list, chip.selectedListIndex);
}

int CDevFlow::DEV_GetDeviceListExist() {
  chip.modeF000Seen = 0;
  chip.mode1010Seen = 0;
  int found = 0;
  WalkOpenedDevices(
      *this, 0, [&](SeenDevice&) { ReadChipMode(); },
      [&](const SeenDevice&) {
        ++found;
        const auto mode = static_cast<std::uint16_t>((chip.chipMode[1] << 8 | chip.chipMode[0]) & 0xFFF0);
        if (mode == 0xF000) chip.modeF000Seen = 1;
        if (mode == 0x1010) chip.mode1010Seen = 1;
        // Each open closes the one before; the last stays open.
        return WalkStep::KeepOpen;
      });
  PostFlowMessage(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed);
  SetLastStatus(msg::kCheckDeviceInfoSucceed);
  return found;
}

int CDevFlow::Dev_OpenDeviceForMultiCamera() {
  if (chip.device.handle != 0) return 1;
  if (chip.selectedOrdinal == -1) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    return 0;
  }
  const RememberedLocation wanted = TheFrontEnd().Location();
  const bool found = WalkOpenedDevices(
      *this, chip.selectedOrdinal,
      [&](SeenDevice& seen) {
        ReadLocation();
        seen.location = {chip.portAddress, chip.hubInstance};
      },
      [&](const SeenDevice& seen) { return IsAtLocation(seen, wanted) ? WalkStep::Stop : WalkStep::Close; });
  return found ? 1 : 0;
}

int CDevFlow::DEV_GetDeviceListAfterReset() {
  if (chip.device.handle != 0) return 1;
  if (chip.selectedOrdinal == -1) {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    return 0;
  }
  FlowFrontEnd& front = TheFrontEnd();
  const std::string wanted = front.SelectionText();
  const bool found = WalkOpenedDevices(
      *this, 0,
      [&](SeenDevice& seen) {
        ReadIdentity();
        seen.identity = chip.fullIdText;
      },
      [&](const SeenDevice& seen) {
        auto choice = ChooseByIdentity(seen, wanted);
        if (!choice) return WalkStep::Close;
        ReadLocation();
        const RememberedLocation location{chip.portAddress, chip.hubInstance};
        front.Location() = location;
        if (Setting(key::kAutoRun, 0) != 0) front.SignalAutoRunEvent();
        ApplyChoice(*this, *choice, &location);
        ApplyConfiguredCheck(true);
        MP_CloseDevice();
        return WalkStep::Stop;
      });
  if (found) {
    PostFlowMessage(WM_FLOW_INFO, msg::kCheckDeviceInfoSucceed);
    SetLastStatus(msg::kCheckDeviceInfoSucceed);
  } else {
    PostFlowMessage(WM_FLOW_INFO, msg::kDetectDeviceFail);
    SetLastStatus(msg::kDetectDeviceFail);
  }
  return 1;
}

int OpenNamedDevice(CDevFlow& flow, int index) {
  if (flow.DEV_OpenDeviceByICIni(index) == 0) {
    SetLastStatus(msg::kDetectDeviceFail);
    return 0;
  }
  if (Setting(key::kCheckVidPidIni, 0) == 0) return 1;
  const std::uint32_t portNo = Setting(key::kPortNo, 0);
  const PortLockDecision decision =
      DecidePortLock(IsInBuiltInVidPidList(flow.chip.fullIdText), Setting(key::kLockPort, 0), portNo, flow.chip.portAddress);
  if (decision == PortLockDecision::TakeAndRememberPort) {
    SetSettingInt(kConfigSection, key::kPortNo, flow.chip.portAddress);
    DebugPrint("Set Value\n");
  }
  if (decision != PortLockDecision::Refuse) return 1;
  flow.MP_CloseDevice();
  PostFlowMessage(WM_FLOW_FAIL, msg::kVidPidNotMatch);
  TraceFailure(kVidPidScope, "Check VID/PID Mismatch!\n");
  return 0;
}

}  // namespace quillon
