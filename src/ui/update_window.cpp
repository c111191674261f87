#include "ui/update_window.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <utility>

#include "app/batch_mode.h"
#include "app/parse_arg.h"
#include "app/record_check.h"
#include "app/run_commit.h"
#include "data/firmware_image.h"
#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/image_version.h"
#include "data/image_match.h"
#include "data/settings.h"
#include "device/vxcam.h"
#include "flow/command_line_binding.h"
#include "flow/flow_factory.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "platform/trace.h"
#include "proxy/backend_factory.h"
#include "proxy/device_record.h"

namespace quillon {
namespace {

constexpr const char* kStartScope = "CUvcCamDownload_Tessaro_VxproxyDlg::OnBnClickedButtonStart";
constexpr TraceScope kStartTrace{kStartScope, 0, kTraceApp};
constexpr std::array<std::uint32_t, 6> kBlankDeviceVersion{0x000B, 0x000B, 0x00BB, 0xBBBB, 0xBBBB, 0xBBBB};

bool CheckConfigured() { return Setting(key::kCheckVidPidIni, 0) != 0 || Setting(key::kCheckVidPidBin, 0) != 0; }

std::string ResultLine(const char* format, unsigned a, unsigned b, unsigned c) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// The chip-information control is shown for the profiles that have one.
bool ProfileShowsChipInfo() {
  const CICTypeIni* profile = CurrentProfile();
  return profile != nullptr && (profile->ChipInfo() == 10 || profile->ChipInfo() == 15);
}

// The station's image names the memory the flows work on from the first
// listing on, so that the listing of an OTP unit reads how much of it is used.
void TakeStationMemoryType(const StationImage& station) {
  CDevFlow* flow = TheFlow();
  const auto bytes = ReadWholeFile(station.path);
  if (flow == nullptr || !bytes || flow->DEV_ParseImage(*bytes) == 0) return;
  if (CurrentMemoryType() != flow->memoryType()) RecreateFlow(true);
}

}  // namespace

std::optional<StationImage> LoadStationImage(const std::string& setting) {
  if (setting.empty()) return std::nullopt;
  StationImage station;
  std::filesystem::path path = setting;
  if (path.is_relative()) path = ProgramDir() / path;
  station.path = path.string();
  const std::string name = path.filename().string();
  const auto bytes = ReadWholeFile(path);
  std::string version;
  if (!bytes || bytes->empty()) {
    station.description = "Image " + name + ": cannot be read (" + station.path + ")";
  } else if (!ImageVersion(*bytes, &version, nullptr)) {
    station.description = "Image " + name + ": refused, not a firmware image";
  } else {
    station.description = name + "  " + version + "  SHA-256 " + Sha256Hex(*bytes).substr(0, 12);
    station.usable = true;
  }
  return station;
}

VersionQuestion CompareVersionWords(const std::array<std::uint32_t, 6>& image, const std::array<std::uint32_t, 6>& device) {
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (image[i] > device[i]) return VersionQuestion::None;
  }
  if (image == device) return VersionQuestion::Same;
  if (device == kBlankDeviceVersion) return VersionQuestion::None;
  return VersionQuestion::Older;
}

std::string BuiltinNameForSelection(const std::string& selection) {
  std::string text = selection;
  if (const std::size_t amp = text.rfind('&'); amp != std::string::npos) text.resize(amp);
  for (const char* part : {"&PID", "VID"}) {
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part)) {
      text.erase(at, std::char_traits<char>::length(part));
    }
  }
  return "FFU" + text;
}

// ---- the device list model ----

void CUvcCamDownload_Tessaro_VxproxyDlg::ListModel::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  selected_ = -1;
}

void CUvcCamDownload_Tessaro_VxproxyDlg::ListModel::Append(const std::string& text) {
  std::lock_guard lock(mutex_);
  entries_.push_back(text);
}

int CUvcCamDownload_Tessaro_VxproxyDlg::ListModel::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(entries_.size());
}

void CUvcCamDownload_Tessaro_VxproxyDlg::ListModel::Select(int index) {
  std::lock_guard lock(mutex_);
  selected_ = index >= 0 && index < static_cast<int>(entries_.size()) ? index : -1;
}

std::string CUvcCamDownload_Tessaro_VxproxyDlg::ListModel::Text(int index) const {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= static_cast<int>(entries_.size())) return {};
  return entries_[static_cast<std::size_t>(index)];
}

std::vector<std::string> CUvcCamDownload_Tessaro_VxproxyDlg::ListModel::Entries(int* selected) const {
  std::lock_guard lock(mutex_);
  *selected = selected_;
  return entries_;
}

// ---- life ----

CUvcCamDownload_Tessaro_VxproxyDlg::CUvcCamDownload_Tessaro_VxproxyDlg(WindowView& view, std::string toolVersionText,
                                                                       CaptureSystem* capture)
    : view_(view), toolVersionText_(std::move(toolVersionText)), capture_(capture), prompt_(view) {}

CUvcCamDownload_Tessaro_VxproxyDlg::~CUvcCamDownload_Tessaro_VxproxyDlg() { Destroy(); }

void CUvcCamDownload_Tessaro_VxproxyDlg::OnInitDialog() {
  if (initialised_) return;
  initialised_ = true;
  SetMainWindow(this);
  SetFrontEnd(this);
  SetPrompt(&prompt_);
  view_.SetTitle(std::string(kWindowTitle) + " " + toolVersionText_);
  accepted_ = 1;
  view_.SetVisible(Control::ChipInfo, false);
  loopTest_ = Setting(key::kLoopTest, 0);
  const bool loop = loopTest_ != 0;
  view_.SetVisible(Control::LoopTotal, loop);
  view_.SetVisible(Control::LoopLabel, loop);
  view_.SetVisible(Control::LoopLeft, loop);

  serialEntry_ = Setting(key::kSaveSn, 0) != 0;
  view_.SetVisible(Control::SerialEntry, serialEntry_);

  UsbBackend& usb = TheUsbBackend();
  if (usb.HotplugAvailable()) {
    usb.SetEventListener(this);
    listening_ = true;
    pump_ = std::thread([this] { PumpEvents(); });
  } else {
    DebugPrint("RegisterDeviceNotification failed: %d\n", usb.HotplugError());
    DebugPrint("Register device notification fail\n");
  }
  burnLogMode_ = Setting(key::kLogType, 0);
  worker_.Start();
  if (Setting(key::kRtd3, 0) != 0 && capture_ != nullptr && !keepAwake_) {
    keepAwake_ = std::make_unique<CWakeUpThread>(*capture_);
    keepAwake_->Start();
  }
  SetControlState(false);
  autoRunEvent_ = false;
  stationImage_ = LoadStationImage(GetSettingString("", kConfigSection, key::kImageFile));
  if (stationImage_) DebugPrint("Station image: %s\n", stationImage_->description.c_str());
  if (stationImage_ && stationImage_->usable) TakeStationMemoryType(*stationImage_);
  if (CDevFlow* flow = TheFlow()) flow->DEV_GetDefaultDeviceForTessaro();
  autoRunEnabled_ = Setting(key::kAutoRun, 0) != 0;
  saveResultMode_ = Setting(key::kSaveResultToFile, 0);
  view_.SetText(Control::DeviceListLabel, "Audio IC:");
  view_.SetVisible(Control::Hidden1188, false);
  view_.SetVisible(Control::PasswordEdit, false);
  view_.SetVisible(Control::GetVersion, false);
  view_.SetVisible(Control::Browser, false);
  view_.ApplyOpeningLayout();
  ShowMembers();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::Destroy() {
  if (destroyed_) return;
  destroyed_ = true;
  ended_ = true;
  // A worker still waiting for an answer gets its preselected one.
  prompt_.Close();
  SetCancel(true);
  worker_.Post(WorkerRequest::Quit);
  worker_.Join();
  if (keepAwake_) keepAwake_->Stop();
  {
    std::lock_guard lock(pumpMutex_);
    pumpStop_ = true;
  }
  pumpWake_.notify_all();
  if (pump_.joinable()) pump_.join();
  if (listening_) TheUsbBackend().SetEventListener(nullptr);
  listening_ = false;
  if (initialised_) {
    ScopedTrace scope("CDevFlow::DEV_CloseDevice", kTraceDevice);
    DebugPrint("CDevFlow::DEV_CloseDevice()\n");
    if (CDevFlow* flow = TheFlow()) flow->DEV_CloseDevice();
  }
  CloseResultFile();
  if (MainWindow() == this) SetMainWindow(nullptr);
  if (&TheFrontEnd() == this) SetFrontEnd(nullptr);
  if (&ThePrompt() == &prompt_) SetPrompt(nullptr);
}

// ---- notifications ----

bool CUvcCamDownload_Tessaro_VxproxyDlg::Post(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam,
                                              const ChipSnapshot& chip) {
  if (notification == WM_FLOW_INFO && lParam == 0) lParam = infoParam_.load();
  // A PASS is recorded with what the unit runs now, as the batch mode records
  // it: read here, on the thread that owns the flow.
  if (notification == WM_FLOW_PASS) {
    CDevFlow* flow = TheFlow();
    if (flow != nullptr && flow->chip.device.handle != 0) {
      flow->MP_GetDeviceInfo();
      const ChipSnapshot now = CurrentChipSnapshot();
      view_.PostToSelf([this, notification, wParam, lParam, now] { Handle(notification, wParam, lParam, now); });
      return true;
    }
  }
  view_.PostToSelf([this, notification, wParam, lParam, chip] { Handle(notification, wParam, lParam, chip); });
  return true;
}

bool CUvcCamDownload_Tessaro_VxproxyDlg::CancelRequested() {
  std::lock_guard lock(cancelLock_);
  return cancel_;
}

void CUvcCamDownload_Tessaro_VxproxyDlg::SetCancel(bool value) {
  std::lock_guard lock(cancelLock_);
  cancel_ = value;
}


void CUvcCamDownload_Tessaro_VxproxyDlg::Handle(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam,
                                                const ChipSnapshot& flow) {
  if (ended_) return;
  if (notification == WM_FLOW_INFO || notification == WM_FLOW_PASS || notification == WM_FLOW_FAIL) lastChip_ = flow;
  switch (notification) {
    case WM_FLOW_NOTE:
      OnFlowNote();
      break;
    case WM_FLOW_PROGRESS:
      if (busy_) MoveProgress(static_cast<int>(std::min<std::uint32_t>(wParam, 100)));
      break;
    case WM_FLOW_FAIL:
      OnFlowFail(wParam, flow);
      break;
    case WM_FLOW_PASS:
      OnFlowPass(flow);
      break;
    case WM_FLOW_STEP:
      if (wParam != 0) statusText_ = std::string(MessageText(wParam).value_or(""));
      ShowMembers();
      break;
    case WM_FLOW_INFO:
      OnFlowInfo(wParam, lParam, flow);
      break;
    default:
      break;  // WM_FLOW_OPENED and anything else: nothing to show
  }
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnFlowInfo(std::uint32_t id, std::uint32_t lParam, const ChipSnapshot& flow) {
  accepted_ = 1;
  const std::string found = !flow.foundAt.empty() ? flow.foundAt : flow.location;
  if (id == msg::kCheckDeviceInfoSucceed) {
    if (Setting(key::kBcdType, 0) != 0) {
      char text[32];
      std::snprintf(text, sizeof text, "Current FW: 0x%04x", unsigned{flow.revision});
      versionText_ = text;
    } else {
      versionText_ = "Current FW: " + flow.versionText;
    }
    statusText_ = flow.connectionText;
    view_.SetVisible(Control::ChipInfo, ProfileShowsChipInfo());
    devicePresent_ = true;
    accepted_ = flow.accepted;
    const bool accepted = !CheckConfigured() || accepted_ != 0;
    if (!found.empty() && !board_.Running()) {
      board_.Describe(found, flow.identity, UnitText(flow), versionText_, accepted,
                      "Not accepted at this station: " + flow.identity);
    }
  } else {
    versionText_ = "Current FW: N/A";
    view_.SetText(Control::ChipInfo, "N/A");
    view_.SetVisible(Control::ChipInfo, false);
    statusText_ = "No USB Audio";
    devicePresent_ = false;
    // A unit the bus showed that no listing takes is not one this station writes.
    const Unit* shown = board_.Shown();
    if (shown != nullptr && shown->present && !shown->described && !board_.Running()) {
      board_.Describe(shown->location, "", "", versionText_, false, "Not a device this station writes");
    }
  }
  // The station's image, when it has one, is what every run writes.
  imageText_ = stationImage_ ? stationImage_->path : flow.imageFile;
  int selected = -1;
  std::vector<std::string> entries = deviceList_.Entries(&selected);
  view_.SetDeviceList(entries, selected);

  // A start waits for the listing of its own unit; another listing queued
  // before it (the one after a run) leaves it waiting.
  if (!pendingStartAt_.empty() && devicePresent_ && found == pendingStartAt_) {
    pendingStartAt_.clear();
    if (!RunUnderWay() && !closing_) {
      SetControlState(false);
      StartRun();
      return;
    }
  }
  if (devicePresent_ && accepted_ != 0 && lParam == 0) ScheduleAutoRun();
  SetControlState(false);
  ShowUnit();
  DescribeWaitingUnit();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::DescribeWaitingUnit() {
  if (RunUnderWay() || closing_ || autoRunScheduled_ || !pendingStartAt_.empty()) return;
  for (const Unit& unit : board_.Units()) {
    if (unit.described) continue;
    if (std::find(listedUnits_.begin(), listedUnits_.end(), unit.number) != listedUnits_.end()) continue;
    listedUnits_.push_back(unit.number);
    RefreshList(0, unit.location);
    return;
  }
}

std::string CUvcCamDownload_Tessaro_VxproxyDlg::HeldUnit() const {
  return !lastChip_.foundAt.empty() ? lastChip_.foundAt : lastChip_.location;
}

void CUvcCamDownload_Tessaro_VxproxyDlg::StartAt(const std::string& location) {
  const std::string held = HeldUnit();
  if (devicePresent_ && held == location) {
    StartRun();
    return;
  }
  // The flow holds another unit: list this one first, then start.
  pendingStartAt_ = location;
  RefreshList(0, location);
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnFlowPass(const ChipSnapshot& flow) {
  lastResult_ = RunVerdict::Pass;
  MoveProgress(100);
  // Only the first report of a run counts for the result files.
  const bool first = runAwaitingResult_;
  runAwaitingResult_ = false;
  if (first) ++passCount_;
  // A stop asked for after the unit's write had finished: the unit passed.
  const bool finishedBeforeStop = first && closing_;
  if (first) board_.Finish({UnitState::Pass, 0, finishedBeforeStop ? kFinishedBeforeStop : "Download Succeed",
                            UnitText(flow), flow.identity});
  nextLoopPending_ = false;
  if (!closing_ && loopTest_ != 0 && LoopTotal() != 0) nextLoopPending_ = true;  // the worker starts it
  ShowUnit();
  // Every run leaves its entry, a loop's runs and a run the operator closed on too.
  if (first) ReportWindowRun(true, 0, flow);
  CloseResultFile();
  if (first && serialEntry_) view_.SetText(Control::SerialEntry, "");
  if (!closing_) {
    if (loopTest_ != 0) {
      if (LoopTotal() == 0) {
        devicePresent_ = false;
        worker_.Post(WorkerRequest::CloseDevice);
        RefreshList(0);
      }
    } else {
      devicePresent_ = false;
      worker_.Post(WorkerRequest::CloseDevice);
      RefreshList(1);
      if (Setting(key::kAutoRun, 0) == 2) {
        // The window closes once the worker has ended.
        closing_ = true;
        worker_.Post(WorkerRequest::Quit);
      }
    }
  }
  SetControlState(false);
  // Between loops a click would only cancel the next run.
  if (nextLoopPending_) view_.SetEnabled(Control::Start, false);
  SetCancel(false);
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnFlowFail(std::uint32_t id, const ChipSnapshot& flow) {
  // A run the operator stopped ends in whatever step the stop reached (a
  // reset, a write): it is recorded as a cancel, not as a fault of the unit.
  // A failure the stopped run posts after its first one belongs to the cancel too.
  const bool cancelled = id == msg::kRunCancelled || (runAwaitingResult_ && CancelRequested()) ||
                         (!runAwaitingResult_ && lastResult_ == RunVerdict::Cancelled);
  if (cancelled) {
    id = msg::kRunCancelled;
    SetLastStatus(id);
  }
  lastResult_ = cancelled ? RunVerdict::Cancelled : RunVerdict::Fail;
  lastFailureId_ = id;
  lastFailureText_ = std::string(MessageText(id).value_or(""));
  const bool first = runAwaitingResult_;
  runAwaitingResult_ = false;
  // A cancelled run says nothing about the unit: it is not counted.
  if (first && !cancelled) ++failCount_;
  if (first) {
    board_.Finish({cancelled ? UnitState::Cancelled : UnitState::Fail, id, lastFailureText_, UnitText(flow),
                   flow.identity});
  }
  nextLoopPending_ = false;
  ShowUnit();
  SetCancel(false);
  if (first) ReportWindowRun(false, id, flow);
  CloseResultFile();
  if (!closing_) {
    worker_.Post(WorkerRequest::CloseDevice);
    RefreshList(1);
  }
  SetControlState(false);
}

void CUvcCamDownload_Tessaro_VxproxyDlg::ScheduleAutoRun() {
  // One start at a time: a unit waits while another's start is on its way.
  if (!CheckConfigured() || !autoRunEnabled_ || closing_ || autoRunScheduled_ || RunUnderWay() || startWaiting_ ||
      !pendingStartAt_.empty()) {
    return;
  }
  // Each arrival gets one automatic start; the delay is a timer, never a
  // sleep of the window's thread.
  if (std::optional<std::string> unit = board_.TakeAutoRun()) {
    autoRunScheduled_ = true;
    view_.SingleShot(Setting(key::kAutoRunDelay, 0), [this, at = *unit] {
      autoRunScheduled_ = false;
      if (!RunUnderWay() && !closing_ && !ended_) StartAt(at);
    });
  }
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnRunSettled() {
  board_.Settle();
  SetControlState(false);
  ShowUnit();
  // Units that arrived during the run get their turn now: the one just run
  // has its verdict, so the listing after it starts nothing by itself; a
  // unit listed meanwhile is started, one that no listing found is listed again.
  ScheduleAutoRun();
  listedUnits_.clear();
  DescribeWaitingUnit();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnFlowNote() {
  // The worker has ended; the window follows a moment later.
  closing_ = true;
  view_.SingleShot(kEndDelayMs, [this] { EndWindow(); });
}

void CUvcCamDownload_Tessaro_VxproxyDlg::EndWindow() {
  if (ended_) return;
  ended_ = true;
  worker_.Join();
  if (keepAwake_) keepAwake_->Stop();
  // One rule however the window closed: the listing that follows a run must
  // not decide the exit code, the last run's verdict does.
  SetLastStatus(ExitStatus());
  view_.EndWindow();
}

std::uint32_t CUvcCamDownload_Tessaro_VxproxyDlg::ExitStatus() const {
  switch (lastResult_) {
    case RunVerdict::Pass:
      return 0;
    case RunVerdict::Fail:
    case RunVerdict::Cancelled:
      return lastFailureId_ != 0 ? lastFailureId_ : msg::kRunCancelled;
    case RunVerdict::None:
      break;
  }
  // Closed before any run finished: nothing was written.
  return msg::kRunCancelled;
}

void CUvcCamDownload_Tessaro_VxproxyDlg::RefreshList(std::uint32_t afterRun, const std::string& location) {
  worker_.Post(WorkerRequest::RefreshList, afterRun, location);
}

// ---- commands ----

void CUvcCamDownload_Tessaro_VxproxyDlg::OnStart() {
  ScopedTrace scope(kStartScope, kTraceApp);
  if (closing_ || ended_) return;
  if (busy_) {
    SetCancel(true);
    return;
  }
  // A station image that was refused is never replaced by another one.
  if (stationImage_ && !stationImage_->usable) return;
  // The next loop of a run runs on the same unit.
  if (nextLoopPending_) {
    StartRun();
    return;
  }
  // The oldest unit waiting without a verdict, else the one shown.
  if (std::optional<std::string> unit = board_.NextForStart()) {
    StartAt(*unit);
    return;
  }
  StartRun();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::StartRun() {
  if (closing_ || ended_ || busy_) return;
  // The flow object is replaced below; never while the worker may be using it,
  // nor before the last run has settled on its unit.
  // It starts when the worker says it is done; nothing polls for that.
  if (!worker_.Idle() || board_.Running()) {
    // Pinned to the unit it was asked for: a listing still queued (another
    // unit's arrival) may leave the flow holding another unit meanwhile.
    startWaiting_ = true;
    startWaitingAt_ = HeldUnit();
    return;
  }
  startWaiting_ = false;
  // The next loop of a run the operator already started: the questions were
  // answered for the whole loop.
  const bool continuingLoop = nextLoopPending_;
  nextLoopPending_ = false;
  const std::string unitAt = HeldUnit();
  if (TheFlow() == nullptr || RecreateFlow(true) == nullptr) {
    RefuseRun(msg::kNotSupport);
    return;
  }
  const bool builtin = imageText_.empty() || imageText_.find(kVersionDisplayPrefix) != std::string::npos;
  if (!builtin) {
    // A file that does not load is refused below without a word to the chip;
    // one that does is bound as the command line binds a named image: the
    // profile that fits it and the flow of its memory (which may re-create
    // the flow object).
    CFirmwareImage probe;
    probe.mainFile = imageText_;
    const bool loads = LoadImageFile(probe) && !probe.fileData.empty();
    // The image's own area names its memory, read from the same start as on
    // the command line: not from a memory that a listing took from another
    // .rfw file in the directory.
    SetCurrentMemoryType(MemoryType::SpiFlash);
    if ((!loads || BindCommandLineImage(NameCommandLineImage(imageText_, true)) == 0) && TheFlow() != nullptr) {
      TheFlow()->chip.image.fileData.clear();
    }
  }
  if (TheFlow() == nullptr) {
    RefuseRun(msg::kNotSupport);
    return;
  }
  CDevFlow& flow = *TheFlow();
  if (builtin) {
    const VersionQuestion question =
        continuingLoop ? VersionQuestion::None : CompareVersionWords(flow.chip.image.versionFields, lastChip_.versionWords);
    const char* asked = question == VersionQuestion::Same    ? kSameVersionQuestion
                        : question == VersionQuestion::Older ? kOlderVersionQuestion
                                                             : nullptr;
    if (asked != nullptr && view_.Ask(asked, "Warning!!") != Answer::Yes) {
      AbandonStart();
      return;
    }
    const CICTypeIni* profile = CurrentProfile();
    int number = 0;
    if (profile != nullptr) profile->GetBuiltinFirmwareId(BuiltinNameForSelection(SelectionText()), &number);
    if (number == 0 || !LoadBuiltinImage(flow.chip.image, number)) LoadDefaultImage(flow.chip.image, profile);
    MoveBuiltinToFileData(flow.chip.image);
  }
  // An image that did not load must never reach the chip.
  if (flow.chip.image.fileData.empty()) {
    RefuseRun(msg::kLoadFileDataFail);
    return;
  }
  // The number the write puts into the unit: typed (or scanned) for this
  // unit, else the process's; never the last unit's.
  const std::optional<std::string> serial = UnitSerialFor(serialEntry_ ? view_.Text(Control::SerialEntry) : "");
  if (serialEntry_ && !serial) {
    statusText_ = kSerialNeeded;
    AbandonStart();
    view_.SetFocus(Control::SerialEntry);
    return;
  }
  if (!continuingLoop && !ReadMembers()) {
    AbandonStart();
    return;
  }
  int total = 0;
  {
    std::lock_guard lock(shared_);
    total = loopTotal_;
  }
  if (total == 0) {
    AbandonStart();
    return;
  }
  // Records the settings ask for that cannot be written refuse the run before
  // the worker touches the chip; so does a wrong or cancelled password.
  const auto unwritable = FirstUnwritableRecord(KeptRecordTargets());
  if (unwritable) {
    view_.ShowMessage(unwritable->line + "; the chip was not touched", "");
    statusText_ = unwritable->line;
    AbandonStart();
    return;
  }
  if (const std::string refused = CheckPassword(); !refused.empty()) {
    statusText_ = refused;
    AbandonStart();
    return;
  }
  if (loopTest_ != 0) {
    std::lock_guard lock(shared_);
    loopTotal_ = total - 1;
    loopLeftText_ = "Left : " + std::to_string(loopTotal_);
    loopTotalChanged_ = true;
  }
  if (Setting(key::kDebugLog, 0) == 0 && Setting(key::kLibType, 0) == 1) {
    statusText_ = "Change Download Lib Type";
    TraceFailure(kStartTrace, "Change Download Lib Type\n");
  } else {
    statusText_ = "Begin to Download";
  }
  flow.chip.serialNumber = serial.value_or("");
  board_.Begin(unitAt);
  SetControlState(true);
  ShowUnit();
  SetCancel(false);
  DebugPrint("FW Path is %s\n", imageText_.c_str());
  OpenResultFile();
  runRecord_ = RunRecord{};
  runRecord_.operation = "write";
  runRecord_.imageBuiltin = builtin;
  runRecord_.image = builtin ? BuiltinNameForSelection(SelectionText()) : imageText_;
  DescribeImage(runRecord_, flow.chip.image.fileData);
  runStarted_ = std::chrono::steady_clock::now();
  runAwaitingResult_ = true;
  progress_ = 0;
  view_.SetProgress(0);
  worker_.Post(WorkerRequest::Start);
}

std::string CUvcCamDownload_Tessaro_VxproxyDlg::CheckPassword() {
  const std::string password = GetSettingString("", kConfigSection, key::kOtpPassword);
  const std::uint32_t used = otpUsage_ ? otpUsage_() : lastChip_.otpUsedBytes;
  if (password.empty() || used == 0) return {};
  std::string typed;
  if (!view_.AskPassword(kPasswordTitle, typed)) {
    view_.ShowMessage(kPasswordCancelled, "");
    return kPasswordCancelled;
  }
  if (typed != password) {
    view_.ShowMessage(kWrongPassword, "");
    return kWrongPassword;
  }
  return {};
}

void CUvcCamDownload_Tessaro_VxproxyDlg::AbandonStart() {
  SetControlState(false);
  ShowUnit();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::RefuseRun(std::uint32_t id) {
  lastResult_ = RunVerdict::Fail;
  lastFailureId_ = id;
  lastFailureText_ = std::string(MessageText(id).value_or(""));
  SetLastStatus(id);
  // The refusal is the shown unit's verdict, though its chip was never touched.
  if (const Unit* unit = board_.Shown(); unit != nullptr && unit->present && board_.Begin(unit->location)) {
    board_.Finish({UnitState::Fail, id, lastFailureText_, unit->serial, unit->identity});
    board_.Settle();
  }
  statusText_ = lastFailureText_;
  SetControlState(false);
  ShowUnit();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnClose(CloseRequest how) {
  if (closing_ || ended_) return;
  // A stray Enter or Escape (a barcode scanner's, say) never closes the window.
  if (how == CloseRequest::Key) return;
  // Every close asks; No, the default, keeps the line going.
  const bool running = RunUnderWay();
  if (view_.Ask(running ? kStopRunQuestion : kCloseQuestion, "Warning!!") != Answer::Yes) return;
  if (closing_ || ended_) return;
  if (running) {
    statusText_ = kStoppingText;
    ShowMembers();
  }
  closing_ = true;
  if (worker_.Started()) {
    SetCancel(true);
    worker_.Post(WorkerRequest::Quit);
  } else {
    view_.PostToSelf([this] { Handle(WM_FLOW_NOTE, 0, 0, ChipSnapshot{}); });
  }
  if (keepAwake_) keepAwake_->Stop();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnDeviceListSelected(int index) {
  if (closing_ || ended_ || index < 0 || index >= deviceList_.Count()) return;
  if (!worker_.Idle()) {
    // Chosen again once the worker is done, as a waiting Start is.
    pendingSelection_ = index;
    return;
  }
  pendingSelection_.reset();
  if (CDevFlow* flow = TheFlow()) flow->chip.selectedListIndex = index;
  deviceList_.Select(index);
  SelectionText() = deviceList_.Text(index);
  worker_.Post(WorkerRequest::Reselect);
  SetControlState(true);
}

// ---- device changes ----

void CUvcCamDownload_Tessaro_VxproxyDlg::PollDeviceEvents() {
  if (!listening_ || ended_) return;
  {
    std::lock_guard lock(pumpMutex_);
    pumpWanted_ = true;
  }
  pumpWake_.notify_all();
}

bool CUvcCamDownload_Tessaro_VxproxyDlg::EventsPending() const {
  std::lock_guard lock(pumpMutex_);
  return pumpWanted_ || pumpBusy_;
}

bool CUvcCamDownload_Tessaro_VxproxyDlg::WorkerIdle() const { return !EventsPending() && worker_.Idle(); }

void CUvcCamDownload_Tessaro_VxproxyDlg::PumpEvents() {
  for (;;) {
    {
      std::unique_lock lock(pumpMutex_);
      pumpWake_.wait(lock, [this] { return pumpWanted_ || pumpStop_; });
      if (pumpStop_) return;
      pumpWanted_ = false;
      pumpBusy_ = true;
    }
    DeliverBusEvents();
    std::lock_guard lock(pumpMutex_);
    pumpBusy_ = false;
  }
}

void CUvcCamDownload_Tessaro_VxproxyDlg::DeliverBusEvents() {
  // The bus may be held by a run's transfer for seconds: only this thread and
  // the worker wait for it, never the window's.
  std::lock_guard lock(eventsMutex_);
  if (listening_) TheUsbBackend().HandleEvents();
}

void CUvcCamDownload_Tessaro_VxproxyDlg::RunEnded() {
  // The resets of the run have put their departures and returns on the bus;
  // they reach the window before the run is over for its unit.
  DeliverBusEvents();
  view_.PostToSelf([this] {
    if (!ended_) OnRunSettled();
  });
}

void CUvcCamDownload_Tessaro_VxproxyDlg::RequestDone() {
  view_.PostToSelf([this] {
    if (ended_) return;
    if (pendingSelection_) OnDeviceListSelected(*pendingSelection_);
    if (!startWaiting_) return;
    startWaiting_ = false;
    const std::string held = HeldUnit();
    if (!startWaitingAt_.empty() && held != startWaitingAt_ && !nextLoopPending_) {
      StartAt(std::exchange(startWaitingAt_, std::string()));
      return;
    }
    startWaitingAt_.clear();
    StartRun();
  });
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnDeviceArrived(const UsbDeviceInfo& device) {
  DebugPrint("DeviceChange - Device arrival\n");
  view_.PostToSelf([this, device] {
    if (!ended_) OnArrival(device);
  });
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnDeviceRemoved(const UsbDeviceInfo& device) {
  DebugPrint("DeviceChange - Device remove complete\n");
  DebugPrint("remove info is %s\n", device.instance.c_str());
  view_.PostToSelf([this, device] {
    if (!ended_) OnRemoval(device);
  });
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnArrival(const UsbDeviceInfo& device) {
  if (closing_) return;
  // A new unit from the first moment: never the last one's verdict or place.
  if (!device.location.empty()) board_.Arrive(device.location);
  std::string open;
  {
    std::lock_guard lock(shared_);
    open = openDevice_;
  }
  if (!open.empty() || busy_ || RunUnderWay()) {
    ShowUnit();
    return;
  }
  DebugPrint("Condition4\n");
  statusText_ = "Device Opened";
  devicePresent_ = false;
  SetControlState(false);
  ShowUnit();
  if (const Unit* unit = board_.At(device.location)) listedUnits_.push_back(unit->number);
  RefreshList(0, device.location);
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OnRemoval(const UsbDeviceInfo& device) {
  if (closing_) return;
  if (!device.location.empty()) board_.Leave(device.location);
  // A start waiting for a unit that has left has nothing to start.
  if (!device.location.empty() && EqualsIgnoreCase(device.location, pendingStartAt_) && !board_.At(device.location)) {
    pendingStartAt_.clear();
  }
  std::string open;
  {
    std::lock_guard lock(shared_);
    open = openDevice_;
  }
  // The port, not the enumeration, names the device: a reset during the run
  // gives the chip a new instance at the same place.
  if (!open.empty() && EqualsIgnoreCase(device.location, open)) {
    if (busy_) {
      // The running flow's next transfer fails on the gone device and reports.
      DebugPrint("Condition1\n");
      return;
    }
    DebugPrint("Condition2\n");
    RefreshList(0);
  }
  if (!busy_) {
    DebugPrint("Condition3\n");
    ShowUnit();
    RefreshList(0);
  }
}

// ---- controls ----

void CUvcCamDownload_Tessaro_VxproxyDlg::SetControlState(bool busy) {
  busy_ = busy;
  const bool ready = (!CheckConfigured() || accepted_ == 1) && (!stationImage_ || stationImage_->usable);
  const bool enable = !busy && devicePresent_ && ready && board_.NextForStart().has_value();
  for (Control control : {Control::GetVersion, Control::ChipInfo, Control::Start, Control::VersionText}) {
    view_.SetEnabled(control, enable);
  }
  view_.SetEnabled(Control::SerialEntry, !busy);
  view_.SetResultColour(TileColour());
  // One key for the next unit: the scanner's Enter, else Space on Start.
  if (enable) view_.SetFocus(serialEntry_ ? Control::SerialEntry : Control::Start);
}

void CUvcCamDownload_Tessaro_VxproxyDlg::MoveProgress(int percent) {
  if (percent <= progress_) return;
  progress_ = percent;
  view_.SetProgress(percent);
}

Rgb CUvcCamDownload_Tessaro_VxproxyDlg::TileColour() const {
  return quillon::TileColour(RunUnderWay() ? TileState::Running : TileStateOf(board_.Shown()));
}

void CUvcCamDownload_Tessaro_VxproxyDlg::ShowUnit() {
  const Unit* unit = board_.Shown();
  const TileState tile = RunUnderWay() ? TileState::Running : TileStateOf(unit);
  resultText_ = tile == TileState::NoUnit ? kNoUnitResult : TileVerdictText(tile);
  if (unit == nullptr) {
    serialText_.clear();
    if (!RunUnderWay()) statusText_ = "No USB Audio";
    ShowMembers();
    return;
  }
  locationText_ = unit->location;
  serialText_ = unit->verdict && !unit->verdict->serial.empty() ? unit->verdict->serial : unit->serial;
  if (unit->described || !unit->present) versionText_ = unit->present ? unit->firmware : "Current FW: N/A";
  if (!RunUnderWay()) {
    if (unit->verdict) {
      statusText_ = unit->verdict->text;
    } else if (!unit->present) {
      statusText_ = "No USB Audio";
    } else if (!unit->described) {
      statusText_ = "Device Opened";
      versionText_ = "Current FW: N/A";
    } else if (!unit->accepted) {
      statusText_ = unit->refusal;
    }
    if (!unit->present) statusText_ += std::string(" - ") + kUnitLeft;
  }
  if (stationImage_ && !stationImage_->usable) statusText_ = stationImage_->description;
  ShowMembers();
}

std::string SessionCountsText(int pass, int fail) {
  char text[96];
  const int total = pass + fail;
  if (total == 0) {
    std::snprintf(text, sizeof text, "Pass %d  Fail %d  Yield -", pass, fail);
  } else {
    std::snprintf(text, sizeof text, "Pass %d  Fail %d  Yield %.1f %%", pass, fail, 100.0 * pass / total);
  }
  return text;
}

void CUvcCamDownload_Tessaro_VxproxyDlg::ShowMembers() {
  view_.SetText(Control::ImageText, stationImage_ ? stationImage_->description : imageText_);
  view_.SetText(Control::VersionText, versionText_);
  view_.SetText(Control::Result, resultText_);
  view_.SetResultColour(TileColour());
  view_.SetText(Control::StatusText, statusText_);
  view_.SetText(Control::SerialText, serialText_);
  view_.SetText(Control::SessionCounts, SessionCountsText(passCount_, failCount_));
  view_.SetText(Control::UnitLocation, "Location: " + locationText_);
  std::lock_guard lock(shared_);
  view_.SetText(Control::LoopLeft, loopLeftText_);
  // What the operator typed stays until a run changes the count.
  if (loopTotalChanged_) view_.SetText(Control::LoopTotal, std::to_string(loopTotal_));
  loopTotalChanged_ = false;
}

bool CUvcCamDownload_Tessaro_VxproxyDlg::ReadMembers() {
  const std::string text = view_.Text(Control::LoopTotal);
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  const bool blankTail = end != nullptr && std::all_of(static_cast<const char*>(end), text.c_str() + text.size(), [](char c) { return c == ' '; });
  if (text.empty() || end == text.c_str() || !blankTail || errno == ERANGE || value < 0 || value > 0x7FFFFFFF) {
    // The count is not changed and the run does not start.
    view_.ShowMessage("Please enter an integer.", "");
    return false;
  }
  std::lock_guard lock(shared_);
  loopTotal_ = static_cast<int>(value);
  return true;
}

int CUvcCamDownload_Tessaro_VxproxyDlg::loopTotal() const {
  std::lock_guard lock(shared_);
  return loopTotal_;
}

// ---- worker host ----

int CUvcCamDownload_Tessaro_VxproxyDlg::LoopTotal() {
  std::lock_guard lock(shared_);
  return loopTotal_;
}

void CUvcCamDownload_Tessaro_VxproxyDlg::SetLoopLeftText(const std::string& text) {
  std::lock_guard lock(shared_);
  loopLeftText_ = text;
}

void CUvcCamDownload_Tessaro_VxproxyDlg::DisableStart() {
  view_.PostToSelf([this] {
    if (!ended_) view_.SetEnabled(Control::Start, false);
  });
}

void CUvcCamDownload_Tessaro_VxproxyDlg::PostStartCommand() {
  view_.PostToSelf([this] {
    if (!ended_) OnStart();
  });
}

void CUvcCamDownload_Tessaro_VxproxyDlg::SetOpenDevice(const std::string& location) {
  std::lock_guard lock(shared_);
  openDevice_ = location;
}

// ---- result files ----

void CUvcCamDownload_Tessaro_VxproxyDlg::ReportWindowRun(bool pass, std::uint32_t id, const ChipSnapshot& flow) {
  RunWork work;
  work.operation = runRecord_.operation;
  work.image = runRecord_.image;
  work.imageBuiltin = runRecord_.imageBuiltin;
  work.durationMs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - runStarted_).count());
  RunRecord record = BuildRunRecord(flow, RunOutcome{pass, pass ? 0u : id}, work);
  // Described when the run started: the bytes are the flow's by now.
  record.imageVersion = runRecord_.imageVersion;
  record.imageSha256 = runRecord_.imageSha256;
  if (record.location.empty()) {
    std::lock_guard lock(shared_);
    record.location = openDevice_;
  }
  // A unit gone before the worker opened it is still named by where it was listed.
  if (record.location.empty()) record.location = locationText_;
  locationText_ = record.location;
  RunTexts texts;
  texts.burnLog = burnLogMode_ != 0;
  texts.burnSerial = BurnLogSerial(record, flow);
  if (saveResultMode_ != 0) {
    texts.resultPass = ResultFileText(true, flow);
    texts.resultFail = ResultFileText(false, flow);
  }
  const CommittedRun committed = CommitRun(std::move(record), texts, ProcessRun());
  EndProcessRun();
  if (committed.burnFailed) view_.ShowMessage("Can't Open burn_result.txt", "");
  if (pass && !committed.record.passed) {
    // The unit has no proof of its PASS: the screen and the exit code say FAIL as the records do.
    resultText_ = "FAIL";
    lastResult_ = RunVerdict::Fail;
    lastFailureId_ = committed.record.statusId;
    lastFailureText_ = committed.record.statusText;
    statusText_ = lastFailureText_;
    --passCount_;
    ++failCount_;
    SetLastStatus(lastFailureId_);
    ShowMembers();
  }
}

void CUvcCamDownload_Tessaro_VxproxyDlg::OpenResultFile() {
  BeginProcessRun();
  SettleInterruptedRuns(*ProcessRun());
  // Checked writable just before: a failure here is named by the records' own lines.
  if (saveResultMode_ != 0) {
    if (auto problem = EmptyResultFile(ProgramDir() / kResultFileName)) {
      DebugPrint("Empty %s failed: %s\n", kResultFileName, problem->c_str());
    }
  }
}

void CUvcCamDownload_Tessaro_VxproxyDlg::CloseResultFile() { EndProcessRun(); }

std::string CUvcCamDownload_Tessaro_VxproxyDlg::ResultFileText(bool pass, const ChipSnapshot& flow) const {
  if (saveResultMode_ == 1) return pass ? "pass" : "fail";
  if (saveResultMode_ == 2) {
    return ResultLine(pass ? "After Download,TestResult = pass, VID is 0x%04x, PID is 0x%04x, Rev is 0x%04x\r\n"
                           : "TestResult = fail, VID is 0x%04x, PID is 0x%04x, Rev is 0x%04x\r\n",
                      flow.vendorId, flow.productId, flow.revision);
  }
  return "";
}

std::string CUvcCamDownload_Tessaro_VxproxyDlg::UnitText(const ChipSnapshot& flow) const {
  // The unit's own serial tells units apart; the maker's string only names the product.
  if (!flow.serial.empty()) return flow.serial;
  return Setting(key::kSnAddress, 0) != 0 ? std::string() : flow.deviceName;
}

}  // namespace quillon
