// The OTP operations: the image's parts, download, update, read and dump, the
// file-driven write, and the usage figures.
#include <cstdio>
#include <new>

#include "data/config_image.h"
#include "data/config_reader.h"
#include "data/ic_type_ini.h"
#include "data/image_checks.h"
#include "data/serial_record.h"
#include "data/settings.h"
#include "device/link_failure.h"
#include "flow/dump_file.h"
#include "flow/flow_helpers.h"
#include "flow/front_end.h"
#include "flow/otp_flow.h"
#include "flow/status.h"
#include "flow/step_list.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

using namespace otp;

constexpr TraceScope kOtpScope{"COTPInfo", 0, kTraceDevice};

namespace id {
constexpr std::uint32_t kGetVdCodeFail = 41925;
constexpr std::uint32_t kReadOtpFail = 41928;
constexpr std::uint32_t kReadOtpSucceed = 41929;
constexpr std::uint32_t kUpdateOtpSucceed = 41930;
constexpr std::uint32_t kOtpCodeNotExist = 41933;
}  // namespace id

}  // namespace

// ---- parts ----

int COTPInfo_USB::OTP_PreparePart(std::span<const std::uint8_t> source, int part) {
  const std::span<const std::uint8_t> area = source.first(std::min(source.size(), kConfigCopyLimit));
  if (area.size() < 2 || area[1] != kConfigSignature) return 0;
  ImageParts parts = BuildImageParts(area);
  if (!parts.valid) {
    DebugPrint("Config file corrupted\r\n");
    return 0;
  }
  int result = 2;
  std::vector<std::uint8_t>& buffer = part == 0 ? codePart : configPart;
  std::optional<std::vector<std::uint8_t>>& built = part == 0 ? parts.code : parts.config;
  if (built) {
    buffer = std::move(*built);
    // The untouched copy is the reference for verification; the buffer itself
    // is adjusted to cells that reserved ECC entries stand for.
    chip.image.fileCopy = buffer;
    result = 1;
  }
  otpUsedBytes = static_cast<std::uint32_t>(buffer.size());
  return result;
}

int COTPInfo_USB::WriteParts(std::span<const std::uint8_t> source) {
  const int code = OTP_PreparePart(source, 0);
  const int config = code == 0 ? 0 : OTP_PreparePart(source, 1);
  if (code == 0 || config == 0) {
    PostFlowMessage(WM_FLOW_FAIL, id::kGetVdCodeFail);
    return 0;
  }
  if (code == 2 && config == 2) {
    // An image with nothing to program has not been written.
    TraceFailure(kOtpScope, "No OTP part in the image\n");
    PostFlowMessage(WM_FLOW_FAIL, id::kGetVdCodeFail);
    return 0;
  }
  // The configuration part's data goes first, then the code part's; their
  // entries are booked back to back, the code entry last. The chip starts
  // from the newest code entry, so a download from blank that is cut anywhere
  // leaves it in its loader, and over an older image only a cut between the
  // two entry writes leaves the old code with the new configuration.
  std::uint32_t bytes = 0;
  std::uint32_t entries = 0;
  for (int part : {0, 1}) {
    if ((part == 0 ? code : config) != 1) continue;
    bytes += static_cast<std::uint32_t>((part == 0 ? codePart : configPart).size());
    ++entries;
  }
  if (RecoverUnbooked() == 0 || OTP_UpdateEx(bytes, entries) == 0) return 0;
  std::optional<PendingPart> pending;
  for (int part : {1, 0}) {
    if ((part == 0 ? code : config) != 1) continue;
    std::vector<std::uint8_t>& buffer = part == 0 ? codePart : configPart;
    // The untouched copy is the reference for verification.
    chip.image.fileCopy = buffer;
    PostFlowMessage(WM_FLOW_STEP, msg::kStepDownload);
    const PartKind kind = part == 0 ? PartKind::Code : PartKind::Config;
    const bool hold = part == 1 && code == 1;
    if (OTP_UpdateEx_Cmd2(buffer, kind, pending, hold) == 0) return 0;
  }
  return 1;
}

// ---- operations ----

int COTPInfo_USB::WriteAndFinish(std::span<const std::uint8_t> source, std::uint32_t passId) {
  retirementIncomplete_ = false;
  if (MP_OpenRomDevice() == 0) return 0;
  // The parts post their own failures.
  if (WriteParts(source) == 0) return 0;
  if (retirementIncomplete_) {
    // The chip starts the new blocks (the newest of each kind win); the older
    // ones stay live until the next download, which retires them.
    const char* line = "OTP: older blocks could not all be retired; the next download retires them";
    std::fprintf(stderr, "quillon: %s\n", line);
    DebugPrint("%s\n", line);
  }
  // A link lost while the older blocks were being retired is why a reset
  // after it fails too: the run names the link, not the reset.
  const std::optional<LinkFailure> lost = retirementIncomplete_ ? PendingLinkFailure() : std::nullopt;
  const std::uint32_t failure = RunSteps(Scope(), {
      {"Device ResetToRom Fail\n", msg::kResetDeviceFail, [&] { return ResetIntoNewCode() != 0; },
       (chip.settings.updateOptions & update_option::kResetAfter) != 0},
  });
  if (failure != 0 && lost) {
    RestoreLinkFailure(lost);
    return Finish(msg::kLinkFail, passId);
  }
  return Finish(failure, passId);
}

int COTPInfo_USB::OTP_Download() {
  ScopedTrace trace("COTPInfo::OTP_Download", kTraceDevice);
  if (PreActionForTessaro() == 0) return 0;
  const int result = WriteAndFinish(chip.image.fileData, msg::kDownloadOtpSucceed);
  if (!CommandLine()) MP_RefreshVersionText();
  return result;
}

int COTPInfo_USB::OTP_Update() {
  ScopedTrace trace("COTPInfo::OTP_Update", kTraceDevice);
  const int result = WriteAndFinish(chip.image.BuiltinData(), id::kUpdateOtpSucceed);
  MP_RefreshVersionText();
  return result;
}

int COTPInfo_USB::OTP_Read() {
  ScopedTrace trace("COTPInfo::OTP_Read", kTraceDevice);
  if (MP_OpenRomDevice() == 0) return 0;
  // A table the link lost is no empty OTP, and bytes without their
  // corrections are not what the chip holds: either ends the read as the link
  // failure, before the reset that would hide it.
  const auto linkFailed = [] {
    PostFlowMessage(WM_FLOW_FAIL, msg::kLinkFail);
    return 0;
  };
  std::array<std::uint8_t, kVdTableSize> table{};
  if (!ReadOtp(kVdTable, table)) return linkFailed();
  std::vector<std::uint8_t> blocks[2];
  for (PartKind kind : {PartKind::Code, PartKind::Config}) {
    const Block block = LatestBlock(table, kind);
    if (block.length == 0) continue;
    std::vector<std::uint8_t>& buffer = blocks[kind == PartKind::Code ? 0 : 1];
    buffer.assign(block.length, 0xFF);
    if (OTP_ReadEx_Cmd2(block.start, buffer, kind == PartKind::Code) == 0) {
      PostFlowMessage(WM_FLOW_FAIL, id::kReadOtpFail);
      return 0;
    }
    if (!MP_OTPGetCorrectCodeData(block.start, buffer)) return linkFailed();
  }
  const bool none = blocks[0].empty() && blocks[1].empty();
  if (!none) {
    auto joined = JoinBlocks(blocks[0], blocks[1]);
    if (!joined) {
      // Blocks too short to carry their headers cannot be joined into an image.
      TraceFailure(kOtpScope, "OTP blocks do not fit together\n");
      PostFlowMessage(WM_FLOW_FAIL, id::kReadOtpFail);
      return 0;
    }
    try {
      chip.readBuffer = std::move(*joined);
    } catch (const std::bad_alloc&) {
      PostFlowMessage(WM_FLOW_FAIL, msg::kMallocDataFail);
      return 0;
    }
  } else {
    PostFlowMessage(WM_FLOW_FAIL, id::kOtpCodeNotExist);
  }
  if (ResetIntoNewCode() == 0) {
    PostFlowMessage(WM_FLOW_FAIL, msg::kResetDeviceFail);
    return 0;
  }
  if (none) {
    // Nothing was read: no dump, no PASS, and the run says why.
    SetLastStatus(id::kOtpCodeNotExist);
    return 0;
  }
  if (SaveReadResult() == 0) return 0;
  PostFlowMessage(WM_FLOW_PROGRESS, 100);
  PostFlowMessage(WM_FLOW_PASS, id::kReadOtpSucceed);
  return 1;
}

// ---- usage figures ----

PerDownload COTPInfo_USB::PerDownloadOfImage() {
  PerDownload per;
  const ImageParts parts = BuildImageParts(chip.image.fileData);
  if (!parts.valid) return per;
  per.entries = 0;
  for (const auto* part : {&parts.code, &parts.config}) {
    if (!*part) continue;
    per.bytes += static_cast<std::uint32_t>((*part)->size());
    ++per.entries;
  }
  return per;
}

std::uint32_t COTPInfo_USB::OTP_SpaceText() {
  const std::uint32_t used = OTP_UsedSpace();
  const Usage usage = UsageFigures(used, OTP_FreeEntryCount(), PerDownloadOfImage());
  chip.connectionText = UsageLine(usage, !chip.image.fileData.empty());
  otpUsedBytes = usage.used;
  return usage.used;
}

int COTPInfo_USB::OTP_UsageText(std::string& text) {
  const std::uint32_t used = OTP_UsedSpace();
  const Usage usage = UsageFigures(used, OTP_FreeEntryCount(), PerDownloadOfImage());
  text = UsageLines(usage);
  otpUsedBytes = usage.used;
  return 1;
}

}  // namespace quillon
