// The operator's update window, without any widget: it finds the device,
// asks the version and password questions, hands runs to the download worker,
// shows what the flows report and writes the result files. A WindowView draws
// it; everything here runs on the window's thread except Post, CancelRequested
// and the WorkerHost calls, which the worker makes.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/run_record.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "proxy/usb_backend.h"
#include "ui/download_worker.h"
#include "ui/gui_prompt.h"
#include "ui/keep_awake.h"
#include "ui/window_view.h"

namespace quillon {

inline constexpr const char* kWindowTitle = "USB Audio FW Update Tool";
inline constexpr const char* kSameVersionQuestion = "Same FW version, continue update?";
inline constexpr const char* kOlderVersionQuestion = "The updated FW version is older than the current one, continue?";
inline constexpr const char* kPasswordTitle = "請輸入密碼才能進行二次燒錄";
inline constexpr const char* kWrongPassword = "密碼輸入錯誤.(請注意大小字母會有差異)";
inline constexpr const char* kPasswordCancelled = "請輸入正確密碼才可進行二次烧录";
inline constexpr Rgb kPassColour{0, 255, 0};
inline constexpr Rgb kFailColour{255, 0, 0};
// How long the window waits after the worker's end notification, and how soon
// a Start that found the worker busy tries again.
inline constexpr std::uint32_t kEndDelayMs = 128;
inline constexpr std::uint32_t kStartRetryMs = 50;

// What a PASS, FAIL or information notification shows of the flow, taken on
// the thread that posted it, which owns the flow at that moment.
struct FlowSnapshot {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t revision = 0;
  std::string deviceName;
  std::string versionText;
  std::string connectionText;
  std::string imageText;
  std::string serial;
  std::uint32_t accepted = 1;
  bool chipInfoShown = false;
};

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
  void OnClose();
  void OnDeviceListSelected(int index);
  // Delivers pending USB arrivals and removals (the view polls this while open).
  void PollDeviceEvents();
  // Joins the worker and the keep-awake thread and releases the device; also
  // run by the destructor. Safe to call more than once.
  void Destroy();

  // FlowWindow: any thread.
  bool Post(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam) override;
  bool CancelRequested() override;

  // FlowFrontEnd.
  DeviceListView* DeviceList() override { return &deviceList_; }
  void ResetAutoRunEvent() override { autoRunEvent_ = false; }
  void SignalAutoRunEvent() override { autoRunEvent_ = true; }

  // UsbEventListener: the window's thread.
  void OnDeviceArrived(const UsbDeviceInfo& device) override;
  void OnDeviceRemoved(const UsbDeviceInfo& device) override;

  // State for the view and for tests.
  bool busy() const { return busy_; }
  bool closing() const { return closing_; }
  bool ended() const { return ended_; }
  bool devicePresent() const { return devicePresent_; }
  int lastResult() const { return lastResult_; }
  int loopTotal() const;
  bool WorkerIdle() const { return worker_.Idle(); }
  // Where the count of programmed OTP bytes comes from; by default the OTP flow's own count.
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

  void Handle(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam, const FlowSnapshot& flow);
  void OnFlowInfo(std::uint32_t id, std::uint32_t lParam, const FlowSnapshot& flow);
  void OnFlowPass(const FlowSnapshot& flow);
  void OnFlowFail(std::uint32_t id, const FlowSnapshot& flow);
  void OnFlowNote();
  void StartRun();
  bool PrepareImage();
  bool CheckPassword();
  void RefuseRun(std::uint32_t id);
  void SetControlState(bool busy);
  void ShowMembers();
  bool ReadMembers();
  void SetCancel(bool value);
  void OpenResultFile();
  void WriteResultFile(bool pass, const FlowSnapshot& flow);
  // One run record (stderr summary, JSON line when configured) per run.
  void ReportWindowRun(bool pass, std::uint32_t id, const FlowSnapshot& flow);
  void CloseResultFile();
  void AppendBurnLine(bool pass, const FlowSnapshot& flow);
  void EndWindow();
  void RefreshList(std::uint32_t afterRun);

  // WorkerHost.
  bool LoopTest() override { return loopTest_ != 0; }
  int LoopTotal() override;
  void SetLoopLeftText(const std::string& text) override;
  void DisableStart() override;
  void PostStartCommand() override;
  void SetInfoParam(std::uint32_t lParam) override { infoParam_ = lParam; }
  void SetOpenDevice(const std::string& location) override;

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
  bool closedAfterPass_ = false;  // "AutoRun" 2 closed the window after a PASS
  std::chrono::steady_clock::time_point runStarted_{};
  std::mutex cancelLock_;
  bool cancel_ = false;
  std::atomic<std::uint32_t> infoParam_{0};
  std::atomic<bool> autoRunEvent_{false};

  std::uint32_t loopTest_ = 0;
  bool busy_ = false;
  bool devicePresent_ = false;
  std::uint32_t accepted_ = 1;
  int lastResult_ = 0;
  std::string lastFailureText_ = "N/A";
  bool autoRunPending_ = false;
  std::uint32_t saveResultMode_ = 0;
  std::uint32_t burnLogMode_ = 0;
  std::FILE* resultFile_ = nullptr;
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
  CVxtThread worker_{*this};
  std::unique_ptr<CWakeUpThread> keepAwake_;
};

}  // namespace quillon
