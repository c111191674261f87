// The vocabulary every flow reports through: message ids with their texts,
// the window notifications that carry them, the last reported status that the
// exit code and the result log read, and the cancellation check.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillon {

struct ChipSnapshot;

// Message ids (also the keys of the message table).
namespace msg {
inline constexpr std::uint32_t kNotSupport = 41500;
inline constexpr std::uint32_t kLoadVxtLibFail = 41501;
inline constexpr std::uint32_t kLoadVxtFunFail = 41502;
inline constexpr std::uint32_t kDetectDeviceFail = 41511;
inline constexpr std::uint32_t kResetDeviceFail = 41512;
inline constexpr std::uint32_t kMoreThanOneDevice = 41513;
inline constexpr std::uint32_t kLoadFileDataFail = 41530;
inline constexpr std::uint32_t kParseFwFileFail = 41531;
inline constexpr std::uint32_t kSaveFileDataFail = 41532;
inline constexpr std::uint32_t kLinkFail = 41533;
inline constexpr std::uint32_t kGetCodeSizeFail = 41702;
inline constexpr std::uint32_t kReadFlashFail = 41704;
inline constexpr std::uint32_t kEraseFlashFail = 41705;
inline constexpr std::uint32_t kUpdateFlashFail = 41706;
inline constexpr std::uint32_t kMallocDataFail = 41708;
inline constexpr std::uint32_t kCompareDataFail = 41709;
inline constexpr std::uint32_t kDisableWriteProtectFail = 41710;
inline constexpr std::uint32_t kEnableWriteProtectFail = 41711;
inline constexpr std::uint32_t kWriteTagFail = 41712;
inline constexpr std::uint32_t kSaveSnFail = 41713;
inline constexpr std::uint32_t kVidPidNotMatch = 41714;
inline constexpr std::uint32_t kFirmwareNotForDevice = 41715;
inline constexpr std::uint32_t kFwVersionError = 41716;
inline constexpr std::uint32_t kCheckEmptyFail = 41717;
inline constexpr std::uint32_t kStepWaitReset = 41718;
inline constexpr std::uint32_t kStepErasing = 41719;
inline constexpr std::uint32_t kStepCheckEmpty = 41720;
inline constexpr std::uint32_t kStepDownload = 41721;
inline constexpr std::uint32_t kStepVerify = 41722;
inline constexpr std::uint32_t kStepWriteTag = 41723;
inline constexpr std::uint32_t kStepResetToNewCode = 41724;
inline constexpr std::uint32_t kStepRead = 41735;
inline constexpr std::uint32_t kReadFlashSucceed = 41751;
inline constexpr std::uint32_t kEraseFlashSucceed = 41752;
inline constexpr std::uint32_t kUpdateFlashSucceed = 41753;
inline constexpr std::uint32_t kCheckFlashSucceed = 41754;
inline constexpr std::uint32_t kFirmwareUpdateSucceed = 41755;
inline constexpr std::uint32_t kShowFwVer = 41756;
inline constexpr std::uint32_t kLoadEepromDataFail = 41801;
inline constexpr std::uint32_t kReadEepromFail = 41802;
inline constexpr std::uint32_t kEraseEepromFail = 41803;
inline constexpr std::uint32_t kUpdateEepromFail = 41804;
inline constexpr std::uint32_t kReadEepromSucceed = 41851;
inline constexpr std::uint32_t kEraseEepromSucceed = 41852;
inline constexpr std::uint32_t kUpdateEepromSucceed = 41853;
inline constexpr std::uint32_t kDownloadEepromSucceed = 41854;
inline constexpr std::uint32_t kCheckDeviceInfoSucceed = 41906;
inline constexpr std::uint32_t kReadMtpSucceed = 41910;
inline constexpr std::uint32_t kDownloadMtpSucceed = 41913;
inline constexpr std::uint32_t kDownloadOtpSucceed = 41931;
inline constexpr std::uint32_t kNotInCacheMode = 41935;
}  // namespace msg

// Ids of this program's own, outside the catalogue above (MessageTable); their
// texts are found by MessageText too.
namespace msg {
// The operator stopped the run (closed the window, or clicked Start during
// it): recorded as such, never as a fault of the device.
inline constexpr std::uint32_t kRunCancelled = 41599;
// Several accepted units and no selector: the run does not pick one itself.
inline constexpr std::uint32_t kSeveralUnits = 41597;
// A unit without a preserved record was refused while a copy taken from a
// cut run waits: the operator restores the copy to its unit or sets it aside.
inline constexpr std::uint32_t kRecordCopyPending = 41598;
// A record the station keeps (history, JSON, burn_result.txt, Result.txt)
// did not take the run: without it the unit has no proof, so it does not pass.
inline constexpr std::uint32_t kRecordNotKept = 41595;
// The run ended (killed) before all its records were written; found and
// settled by a later run.
inline constexpr std::uint32_t kRunInterrupted = 41596;
}  // namespace msg

// The text of a message id (the catalogue or our own), or nothing for any other id.
std::optional<std::string_view> MessageText(std::uint32_t id);

// Every id of the table in ascending order, for listings and tests.
struct MessageEntry {
  std::uint32_t id;
  std::string_view text;
};
std::span<const MessageEntry> MessageTable();

// The ids that judge the chip or the image from what was read from it (a
// mismatch, not empty, the wrong chip, an image no profile of this chip
// parses, OTP locked or used up).
bool IsVerdictId(std::uint32_t id);

// The seven ids that mark a finished run and reset the last status to 0.
bool IsFinalSuccessId(std::uint32_t id);

// Window notifications.
enum FlowNotification : std::uint32_t {
  WM_FLOW_NOTE = 0x412,
  WM_FLOW_PROGRESS = 0x413,
  WM_FLOW_FAIL = 0x414,
  WM_FLOW_PASS = 0x416,
  WM_FLOW_STEP = 0x417,
  WM_FLOW_INFO = 0x418,
  WM_FLOW_OPENED = 0x41F,
};

// The main window as the flows see it: a queue for notifications and the
// cancel flag under the window's lock.
class FlowWindow {
 public:
  virtual ~FlowWindow() = default;
  // Queues the notification onto the window's thread; never blocks on it.
  // `chip` is the flow's chip as it was when the notification was posted.
  virtual bool Post(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam, const ChipSnapshot& chip) = 0;
  // Reads the cancel flag under the window's lock.
  virtual bool CancelRequested() = 0;
};

// The main window pointer: set only in window mode while the window exists.
void SetMainWindow(FlowWindow* window);
FlowWindow* MainWindow();

// The last reported status (0 at start).
std::uint32_t LastStatus();
void SetLastStatus(std::uint32_t status);

// The one path of flow notifications: each carries a snapshot of the current
// flow's chip to the main window, when there is one, and to the front end;
// then, except for WM_FLOW_NOTE, wParam is kept as the last status, 0 for the
// final success ids. Returns the result of posting (0 without a window). A
// failure posted while a transfer failure is pending (device/link_failure.h)
// has its operation, address, USB error and step written to stderr and the
// debug log; a verdict (below) is then posted as kLinkFail instead, since it
// was drawn from bytes that never arrived.
int PostFlowMessage(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam = 0);

// True when the operator asked the run to stop; never true without a window.
bool FlowCancelled();

// The process exit code from the last status: 1 when it is not 0, else 0.
int ExitCodeFromStatus(std::uint32_t status);

}  // namespace quillon
