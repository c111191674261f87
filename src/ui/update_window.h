// The operator's update window, without any widget: it finds the device,
// asks the version and password questions, hands runs to the download worker,
// shows what the flows report and writes the result files. The unit board
// decides which unit the window shows, which unit a Start or AutoRun takes,
// and keeps each verdict with its unit. A WindowView draws it; everything here
// runs on the window's thread except Post, CancelRequested, the WorkerHost
// calls (the worker) and the USB event callbacks (the event reader), which
// only queue work onto the window's thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/run_record.h"
#include "flow/chip_snapshot.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "proxy/usb_backend.h"
#include "ui/download_worker.h"
#include "ui/gui_prompt.h"
#include "ui/keep_awake.h"
#include "ui/unit_board.h"
#include "ui/verdict_tile.h"
#include "ui/window_view.h"

namespace quillon {

inline constexpr const char* kWindowTitle = "USB Audio FW Update Tool";
inline constexpr const char* kSameVersionQuestion = "Same FW version, continue update?";
inline constexpr const char* kOlderVersionQuestion = "The updated FW version is older than the current one, continue?";
inline constexpr const char* kPasswordTitle = "請輸入密碼才能進行二次燒錄";
inline constexpr const char* kWrongPassword = "密碼輸入錯誤.(請注意大小字母會有差異)";
inline constexpr const char* kPasswordCancelled = "請輸入正確密碼才可進行二次烧录";
// Beside the password box's own title, for operators who do not read it.
inline constexpr const char* kPasswordLabel = "Password for programming the OTP memory a second time:";
// How long the window waits after the worker's end notification.
inline constexpr std::uint32_t kEndDelayMs = 128;

// What the window shows of the last run; it stays until the next run starts.
enum class RunVerdict { None, Pass, Fail, Cancelled };

// How the operator asked the window to close: a key (Enter, Escape) or the
// close box and its kin. A key never closes; a close is always confirmed.
enum class CloseRequest { Key, CloseBox };
inline constexpr const char* kStopRunQuestion = "A unit is being written. Stop the run and close the window?";
inline constexpr const char* kCloseQuestion = "Close the window? No unit will be started until it is opened again.";
inline constexpr const char* kStoppingText = "stopping...";
// A stop that came after the unit's write had finished: the unit passed.
inline constexpr const char* kFinishedBeforeStop = "Download Succeed: the unit was finished before the stop";
// Said of a unit that has left the station.
inline constexpr const char* kUnitLeft = "the unit has left";
// A "SaveSN" station's Start without a serial number to write.
inline constexpr const char* kSerialNeeded = "Scan or type the unit's serial number, then press Enter";
// The tile's text without a unit.
inline constexpr const char* kNoUnitResult = "N/A";

// The station's own image ("ImageFile"): what the window writes instead of
// the built-in one, or why it cannot.
struct StationImage {
  std::string path;         // resolved against the program directory
  std::string description;  // name, version and SHA-256 prefix; or the refusal
  bool usable = false;
};
// Reads and checks `setting` (empty: no station image, nullopt).
std::optional<StationImage> LoadStationImage(const std::string& setting);

// "Pass P  Fail F  Yield Y %" for the session's counts.
std::string SessionCountsText(int pass, int fail);

// Which question comes before writing a built-in image: none when some word is
// newer or the device carries the blank version words, else same or older.
enum class VersionQuestion { None, Same, Older };
VersionQuestion CompareVersionWords(const std::array<std::uint32_t, 6>& image, const std::array<std::uint32_t, 6>& device);

// "FFU_vvvv_pppp" from a device-list text such as "VID_3A7C&PID_0011&REV_0001".
std::string BuiltinNameForSelection(const std::string& selection);

class CUvcCamDownload_Tessaro_VxproxyDlg final : public FlowWindow,
                                                 public FlowFrontEnd,
                                                 public UsbEventListener,
                                                 private WorkerHost {
 public:
  // `capture` is used only with "RTD3"; it may be null.
  CUvcCamDownload_Tessaro_VxproxyDlg(WindowView& view, std::string toolVersionText, CaptureSystem* capture);
  ~CUvcCamDownload_Tessaro_VxproxyDlg() override;

  // The dialog's initialisation: call once, on the window's thread.
  void OnInitDialog();
  // The Start button, and the Start command the window posts to itself.
  void OnStart();
  // OK, Cancel and the close box.
  void OnClose(CloseRequest how = CloseRequest::CloseBox);
  void OnDeviceListSelected(int index);
  // Asks for the pending USB arrivals and removals (the view calls this while
  // open). Never waits for the bus: a thread of the window reads them and
  // queues them onto the window's thread.
  void PollDeviceEvents();
  // Joins the worker and the keep-awake thread and releases the device; also
  // run by the destructor. Safe to call more than once.
  void Destroy();

  // FlowWindow: any thread.
  bool Post(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam, const ChipSnapshot& chip) override;
  bool CancelRequested() override;

  // FlowFrontEnd.
  DeviceListView* DeviceList() override { return &deviceList_; }
  void ResetAutoRunEvent() override { autoRunEvent_ = false; }
  void SignalAutoRunEvent() override { autoRunEvent_ = true; }

  // UsbEventListener: the event reader's or the worker's thread; queued onto the window's.
  void OnDeviceArrived(const UsbDeviceInfo& device) override;
  void OnDeviceRemoved(const UsbDeviceInfo& device) override;

  // State for the view and for tests.
  bool busy() const { return busy_; }
  bool closing() const { return closing_; }
  bool ended() const { return ended_; }
  bool devicePresent() const { return devicePresent_; }
  RunVerdict lastResult() const { return lastResult_; }
  int passCount() const { return passCount_; }
  int failCount() const { return failCount_; }
  int loopTotal() const;
  // Neither the worker nor the event reader has anything under way.
  bool WorkerIdle() const;
  // The event reader was asked for events and has not delivered them yet.
  bool EventsPending() const;
  const UnitBoard& board() const { return board_; }
  // Where the count of programmed OTP bytes comes from; by default the last chip reported.
  void SetOtpUsageSource(std::function<std::uint32_t()> source) { otpUsage_ = std::move(source); }
  bool KeepAwakeRunning() const { return keepAwake_ && keepAwake_->Running(); }

 private:
  // The device list the flows fill from either thread.
  class ListModel final : public DeviceListView {
   public:
    void Clear() override;
    void Append(const std::string& text) override;
    int Count() const override;
    void Select(int index) override;
    std::string Text(int index) const override;
    std::vector<std::string> Entries(int* selected) const;

   private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
    int selected_ = -1;
  };

  void Handle(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam, const ChipSnapshot& flow);
  void OnFlowInfo(std::uint32_t id, std::uint32_t lParam, const ChipSnapshot& flow);
  void OnFlowPass(const ChipSnapshot& flow);
  void OnFlowFail(std::uint32_t id, const ChipSnapshot& flow);
  void OnFlowNote();
  void OnArrival(const UsbDeviceInfo& device);
  void OnRemoval(const UsbDeviceInfo& device);
  // The run's reports and the bus events of its resets are all in.
  void OnRunSettled();
  // Starts a run on the unit at `location`, listing it first when the flow holds another.
  void StartAt(const std::string& location);
  // The next arrival that has not had its one automatic start, after the delay.
  void ScheduleAutoRun();
  // Where the unit the flow last listed sits.
  std::string HeldUnit() const;
  // Lists the oldest unit nobody has read yet, once per unit.
  void DescribeWaitingUnit();
  // The board's unit on the controls.
  void ShowUnit();
  void StartRun();
  bool PrepareImage();
  // Empty when the run may go on; else why not (already shown).
  std::string CheckPassword();
  void RefuseRun(std::uint32_t id);
  // A Start that did not begin a run: Start back on (it is off between loops).
  void AbandonStart();
  // A run, or the next loop of one, is under way.
  bool RunUnderWay() const { return busy_ || nextLoopPending_; }
  // The tile's colour for what the window shows now.
  Rgb TileColour() const;
  // The progress bar moves only forward during a run.
  void MoveProgress(int percent);
  // The status the window ends with: 0 exactly when its last run passed.
  std::uint32_t ExitStatus() const;
  void SetControlState(bool busy);
  void ShowMembers();
  bool ReadMembers();
  void SetCancel(bool value);
  // The run is under way for the station; "Result.txt" (when kept) is emptied.
  void OpenResultFile();
  // "Result.txt"'s text for the settings' mode.
  std::string ResultFileText(bool pass, const ChipSnapshot& flow) const;
  // What the serial field names the unit by.
  std::string UnitText(const ChipSnapshot& flow) const;
  // Every record of the run (history, JSON, burn_result.txt, Result.txt, in
  // their one order); a PASS a record did not take is shown as the FAIL it is.
  void ReportWindowRun(bool pass, std::uint32_t id, const ChipSnapshot& flow);
  void CloseResultFile();
  void EndWindow();
  void RefreshList(std::uint32_t afterRun, const std::string& location = {});
  void PumpEvents();
  // Delivers what the bus has; on the event reader and at the end of a run.
  void DeliverBusEvents();

  // WorkerHost.
  bool LoopTest() override { return loopTest_ != 0; }
  int LoopTotal() override;
  void SetLoopLeftText(const std::string& text) override;
  void DisableStart() override;
  void PostStartCommand() override;
  void SetInfoParam(std::uint32_t lParam) override { infoParam_ = lParam; }
  void SetOpenDevice(const std::string& location) override;
  void RunEnded() override;
  void RequestDone() override;

  WindowView& view_;
  std::string toolVersionText_;
  CaptureSystem* capture_;
  GuiPrompt prompt_;
  ListModel deviceList_;

  // Bound to the controls.
  std::string imageText_;
  std::string versionText_ = "N/A";
  std::string resultText_ = "N/A";
  std::string statusText_;
  std::string serialText_;

  // Shared with the worker.
  mutable std::mutex shared_;
  std::string loopLeftText_ = "Left : 0";
  int loopTotal_ = 1;
  std::string openDevice_;
  // The run record of the run under way: the image part is filled at Start,
  // the rest at its first PASS or FAIL.
  RunRecord runRecord_;
  std::chrono::steady_clock::time_point runStarted_{};
  std::mutex cancelLock_;
  bool cancel_ = false;
  std::atomic<std::uint32_t> infoParam_{0};
  std::atomic<bool> autoRunEvent_{false};

  std::uint32_t loopTest_ = 0;
  // The operator's number for the next unit ("SaveSN"), else QUILLON_SERIAL.
  bool serialEntry_ = false;
  bool busy_ = false;
  bool devicePresent_ = false;
  std::uint32_t accepted_ = 1;
  RunVerdict lastResult_ = RunVerdict::None;
  // The chip as the last notification showed it.
  ChipSnapshot lastChip_;
  std::string lastFailureText_ = "N/A";
  std::uint32_t lastFailureId_ = 0;
  bool autoRunEnabled_ = false;
  bool autoRunScheduled_ = false;
  UnitBoard board_;
  // A start waiting for the listing of its unit.
  std::string pendingStartAt_;
  // A start waiting for the worker to finish what it is doing.
  bool startWaiting_ = false;
  // The unit a waiting Start was asked for.
  std::string startWaitingAt_;
  std::optional<int> pendingSelection_;
  // Units a listing was asked for, by their arrival number.
  std::vector<std::uint64_t> listedUnits_;
  // The loop total field is written only when the window changed the count.
  bool loopTotalChanged_ = true;
  int progress_ = 0;
  int passCount_ = 0;
  int failCount_ = 0;
  std::string locationText_;
  std::optional<StationImage> stationImage_;
  std::uint32_t saveResultMode_ = 0;
  std::uint32_t burnLogMode_ = 0;
  // One result entry per run: set when a run is posted, cleared by its first PASS or FAIL.
  bool runAwaitingResult_ = false;
  // The worker will start the next loop itself; Start stays disabled until then.
  bool nextLoopPending_ = false;
  bool listening_ = false;
  bool initialised_ = false;
  bool closing_ = false;
  bool ended_ = false;
  bool destroyed_ = false;

  std::function<std::uint32_t()> otpUsage_;
  // The event reader: delivers bus events when asked, so that the window's
  // thread never waits on a bus a run holds.
  std::mutex eventsMutex_;  // one reader of the bus's events at a time
  mutable std::mutex pumpMutex_;
  std::condition_variable pumpWake_;
  bool pumpWanted_ = false;
  bool pumpBusy_ = false;
  bool pumpStop_ = false;
  std::thread pump_;
  CVxtThread worker_{*this};
  std::unique_ptr<CWakeUpThread> keepAwake_;
};

}  // namespace quillon
