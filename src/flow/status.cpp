#include "flow/status.h"

#include "flow/chip_snapshot.h"
#include "flow/front_end.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <string>

#include "device/link_failure.h"
#include "flow/front_end.h"
#include "platform/debug_channel.h"
#include "proxy/usb_errors.h"

namespace quillon {
namespace {

// Texts exactly as the window and the result log show them.
constexpr MessageEntry kMessages[] = {
    {41500, "Not Support!"},
    {41501, "Load VXT Lib Fail!"},
    {41502, "Load VXT Fun Fail!"},
    {41511, "Detect Device Fail!"},
    {41512, "Reset Device Fail!"},
    {41513, "Detected more than one device!"},
    {41530, "Load File Data Fail!"},
    {41531, "Parse FW File Fail!"},
    // Ours: a read that passed but whose file could not be written.
    {41532, "Save File Data Fail!"},
    // Ours: a transfer to the chip failed after its retries where the run would
    // otherwise have given a verdict on the chip or the image; the operation, the
    // step, the address and the USB error are on stderr and in the debug log.
    {41533, "USB Link Fail!"},
    {41702, "Get Code Size Fail!"},
    {41704, "Read Flash Fail!"},
    {41705, "Erase Flash Fail!"},
    {41706, "Update Flash Fail!"},
    {41708, "Malloc Data Fail!"},
    {41709, "Compare Data Fail!"},
    {41710, "Disable Write Protect Fail!"},
    {41711, "Enable Write Protect Fail!"},
    {41712, "Write Tag Fail!"},
    {41713, "Save SN Fail!"},
    {41714, "The Vid/Pid does not Match!"},
    {41715, "Firmware is not for the device!"},
    {41716, "FW Version Error!"},
    {41717, "Check Empty Fail!"},
    {41718, "Wait device to reset"},
    {41719, "Erasing"},
    {41720, "Check empty"},
    {41721, "Download"},
    {41722, "Verify"},
    {41723, "Write Tag"},
    {41724, "Reset to new code"},
    {41725, "Get SN Length from Config Error!"},
    {41726, "SN Length Doesnot Match!"},
    {41727, "Sensor Ver Doesnot Match!"},
    {41728, "REV ID Doesnot MaTCH!"},
    {41729, "Vendor ID Doesnot Match!"},
    {41730, "Product ID Doesnot Match!"},
    {41731, "Accelerate 6610 Download Fail!"},
    {41732, "Accelerate 6620 Download Fail!"},
    {41733, "Read CRC"},
    {41734, "Compare CRC"},
    {41735, "Read"},
    {41751, "Read Flash Code Succeed."},
    {41752, "Erase Flash Code Succeed."},
    {41753, "Update Flash Code Succeed."},
    {41754, "Check Flash Data Succeed."},
    {41755, "Firmware Update Succeed."},
    {41756, "Show FW Ver."},
    {41801, "Load EEPROM Data Fail!"},
    {41802, "Read EERPOM Fail!"},
    {41803, "Erase EEPROM Fail!"},
    {41804, "Update EEPROM Data Fail!"},
    {41851, "Read EEPROM Code Succeed."},
    {41852, "Erase EEPROM Code Succeed."},
    {41853, "Update EEPROM Code Succeed."},
    {41854, "Download EEPROM Code Succeed."},
    {41901, "Load MTP Data Fail!"},
    {41902, "Read MTP Fail!"},
    {41903, "Erase MTP Fail!"},
    {41904, "Update MTP Data Fail!"},
    {41905, "Can't Enter cache code!"},
    {41906, "Check Device Info Succeed."},
    {41907, "Can't Enter rom code!"},
    {41908, "Can't find SFIN File!"},
    {41910, "Read MTP Code Succeed."},
    {41911, "Erase MTP Code Succeed."},
    {41912, "Update MTP Code Succeed."},
    {41913, "Download MTP Code Succeed."},
    {41914, "Write OTP Fail!"},
    {41915, "Write OTP Block Fail!"},
    {41916, "Not Enough VD Block"},
    {41917, "Code Exceed Max Length!"},
    {41918, "OTP Locked,Can't Program!"},
    {41919, "Error Num Exceed 8!"},
    {41920, "Not Enough ECC NUM!"},
    {41921, "ECC Num become 0!"},
    {41922, "Reduant Fail!"},
    {41923, "ECC Num lower than Error Num!"},
    {41924, "Not Find VDBlock!"},
    {41925, "Get VD Code Fail!"},
    {41926, "Fail Address!"},
    {41927, "Write Block Fail!"},
    {41928, "Read OTP Fail!"},
    {41929, "ReadOTP Succeed."},
    {41930, "UpdateOTP Succeed."},
    {41931, "DownloadOTP Succeed."},
    {41932, "AC Power is not plug in!"},
    {41933, "OTP Code Not Exist!"},
    {41934, "Device is not in rom mode."},
    {41935, "Device is not in cache mode."},
    {41936, "FW Not Finish!"},
    {41937, "Last OTP Write Abnormal!"},
    {42000, "FF"},
    {42001, "EE"},
    {42002, "MTP"},
    {42003, "OTP"},
    {42010, "FLASH"},
    {42011, "EEPROM8"},
    {42012, "EEPROM16"},
    {42013, "MTP"},
    {42014, "OTP"},
    {42020, "USB"},
    {42021, "PCIE"},
    {42022, "MIPI"},
    {42040, "Depends on FW"},
    {42041, "Cann't find correct option"},
};

constexpr MessageEntry kOwnMessages[] = {
    {msg::kRecordNotKept, "Run Record Not Kept!"},
    {msg::kRunInterrupted, "Run Interrupted!"},
    {msg::kSeveralUnits, "Several Units: Pick One!"},
    {msg::kRecordCopyPending, "Preserved Record Copy Pending: Restore It Or Set It Aside!"},
    {msg::kRunCancelled, "Run Cancelled!"},
};

constexpr std::array<std::uint32_t, 7> kFinalSuccessIds = {41751, 41755, 41851, 41854, 41910, 41913, 41931};

// 41531 too: an image is matched to its profile by the chip's mode registers.
constexpr std::uint32_t kVerdictIds[] = {41531, 41709, 41714, 41715, 41716, 41717, 41726, 41727,
                                         41728, 41729, 41730, 41916, 41918, 41937};

std::atomic<std::uint32_t>& LastStatusValue() {
  static std::atomic<std::uint32_t> value{0};
  return value;
}

std::atomic<FlowWindow*>& MainWindowPointer() {
  static std::atomic<FlowWindow*> window{nullptr};
  return window;
}

}  // namespace

std::optional<std::string_view> MessageText(std::uint32_t id) {
  auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), id,
                             [](const MessageEntry& entry, std::uint32_t key) { return entry.id < key; });
  if (it != std::end(kMessages) && it->id == id) return it->text;
  for (const MessageEntry& own : kOwnMessages) {
    if (own.id == id) return own.text;
  }
  return std::nullopt;
}

std::span<const MessageEntry> MessageTable() { return kMessages; }

bool IsVerdictId(std::uint32_t id) {
  return std::find(std::begin(kVerdictIds), std::end(kVerdictIds), id) != std::end(kVerdictIds);
}

bool IsFinalSuccessId(std::uint32_t id) {
  return std::find(kFinalSuccessIds.begin(), kFinalSuccessIds.end(), id) != kFinalSuccessIds.end();
}

void SetMainWindow(FlowWindow* window) { MainWindowPointer().store(window); }

FlowWindow* MainWindow() { return MainWindowPointer().load(); }

std::uint32_t LastStatus() { return LastStatusValue().load(); }

void SetLastStatus(std::uint32_t status) { LastStatusValue().store(status); }

namespace {

// The step under way, for naming where a link failure happened.
std::string_view& CurrentStep() {
  thread_local std::string_view step;
  return step;
}

void ReportLinkFailure(const LinkFailure& failure) {
  const std::uint32_t usbError = failure.result & 0xFFFFu;
  const std::string_view step = CurrentStep().empty() ? std::string_view("start") : CurrentStep();
  char line[256];
  std::snprintf(line, sizeof line, "link failure: %s at 0x%X failed with USB error %u (%s) in step \"%.*s\"",
                failure.operation.c_str(), failure.address, usbError, std::string(UsbErrorName(usbError)).c_str(),
                static_cast<int>(step.size()), step.data());
  std::fprintf(stderr, "quillon: %s\n", line);
  DebugPrint("%s\n", line);
}

}  // namespace

int PostFlowMessage(std::uint32_t notification, std::uint32_t wParam, std::uint32_t lParam) {
  if (notification == WM_FLOW_STEP) CurrentStep() = MessageText(wParam).value_or("");
  if (notification == WM_FLOW_PASS) {
    TakeLinkFailure();
    // The next run starts with no step of its own yet, not with this run's last one.
    CurrentStep() = {};
  }
  if (notification == WM_FLOW_FAIL) {
    if (auto failure = TakeLinkFailure()) {
      ReportLinkFailure(*failure);
      if (IsVerdictId(wParam)) wParam = msg::kLinkFail;
    } else if (FlowCancelled()) {
      // A step that saw the stop returns without touching the chip, and the
      // step after it (a reset, say) fails for that reason: the run ends as
      // a cancel, not as a fault of the unit.
      wParam = msg::kRunCancelled;
    }
    CurrentStep() = {};
  }
  int posted = 0;
  const ChipSnapshot chip = CurrentChipSnapshot();
  if (FlowWindow* window = MainWindow()) posted = window->Post(notification, wParam, lParam, chip) ? 1 : 0;
  TheFrontEnd().OnFlowMessage(notification, wParam, chip);
  if (notification != WM_FLOW_NOTE) SetLastStatus(IsFinalSuccessId(wParam) ? 0 : wParam);
  return posted;
}

bool FlowCancelled() {
  FlowWindow* window = MainWindow();
  return window != nullptr && window->CancelRequested();
}

int ExitCodeFromStatus(std::uint32_t status) { return status != 0 ? 1 : 0; }

}  // namespace quillon
