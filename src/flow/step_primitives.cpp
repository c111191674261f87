// The steps every memory sequence is built from, each reading its row of the
// step table (step_table.h): it checks the cancel flag before every chunk and
// attempt, retries its command with 128 ms pauses, moves data in 4096-byte
// chunks whose memory address is their buffer offset, and reports progress
// inside its band. They return 1 or 0; the sequences decide which failure id
// that is.
#include <algorithm>
#include <array>

#include "data/settings.h"
#include "flow/dev_flow.h"
#include "flow/status.h"
#include "flow/step_runner.h"
#include "flow/step_table.h"
#include "flow/wait_limits.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

constexpr int kStatusPolls = 20;
constexpr std::uint32_t kStatusPollMs = 50;
constexpr TraceScope kStepScope{"CDevFlow::Steps", 0, kTraceDevice};

// The row's command on one chunk: a read into a writable span, a write from a const one.
int ChunkCommand(CDevFlow& flow, const StepRow& row, std::uint32_t address, std::span<std::uint8_t> piece) {
  return row.command == StepCommand::kSpiRead
             ? VxCam_SPI_SF_Read(flow.chip.device.handle, address, piece, flow.chip.device.transportFlags)
             : 0;
}
int ChunkCommand(CDevFlow& flow, const StepRow& row, std::uint32_t address, std::span<const std::uint8_t> piece) {
  switch (row.command) {
    case StepCommand::kSpiWrite:
      return VxCam_SPI_SF_Write(flow.chip.device.handle, address, piece, flow.chip.device.transportFlags);
    case StepCommand::kNorWrite:
      return VxCam_NorFlash_Write(flow.chip.device.handle, address, piece, flow.chip.device.transportFlags);
    default:
      return 0;
  }
}

// A one-command flash step: the row's command, retried.
bool RunCommandStep(CDevFlow& flow, const StepRow& row, std::uint32_t eraseTimeoutMs) {
  return Retried(row.attempts, [&] {
    switch (row.command) {
      case StepCommand::kSpiEraseChip:
        return VxCam_SPI_SF_EraseChip(flow.chip.device.handle, flow.chip.device.transportFlags, eraseTimeoutMs);
      case StepCommand::kNorErase:
        return VxCam_NorFlash_Erase(flow.chip.device.handle, flow.chip.device.transportFlags);
      case StepCommand::kNorWriteTag:
        return VxCam_NorFlash_WriteTag(flow.chip.device.handle, flow.chip.device.transportFlags);
      default:
        return 0;
    }
  });
}

// A flash data step: its row's command over the whole buffer.
template <class Buffer>
int RunDataStep(CDevFlow& flow, Step step, Buffer buffer) {
  const StepRow& row = StepOf(step);
  return RunChunked(row, buffer,
                    [&](std::uint32_t address, Buffer piece) { return ChunkCommand(flow, row, address, piece); });
}

bool AllErased(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// The register pair that drives the flash's write-protect pin.
RegisterPair ProtectRegisters(std::uint16_t mode) {
  return IsRomLoaderState(mode) ? kLoaderProtectPinRegisters : kProtectPinRegisters;
}

}  // namespace

int CDevFlow::WriteFlashBytes(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  const int attempts = StepOf(Step::kWriteSPIFlash).attempts;
  return Retried(attempts, [&] { return VxCam_SPI_SF_Write(chip.device.handle, address, bytes, chip.device.transportFlags); })
             ? 1
             : 0;
}

namespace {
// Both directions set the pin's direction bit; the level bit is what protects.
int SetProtectPins(const FlowDevice& device, std::uint16_t chipMode, bool protect) {
  const RegisterPair regs = ProtectRegisters(chipMode);
  std::array<std::uint8_t, 1> direction{}, level{};
  const DeviceHandle h = device.handle;
  const std::uint32_t flags = device.transportFlags;
  if (!ReadRegister(h, regs[0], direction, flags) || !ReadRegister(h, regs[1], level, flags)) return 0;
  direction[0] |= 0x01;
  level[0] = protect ? level[0] & 0xFE : level[0] | 0x01;
  return WriteRegister(h, regs[0], direction, flags) && WriteRegister(h, regs[1], level, flags) ? 1 : 0;
}

bool WriteFlashStatus(const FlowDevice& device, std::uint8_t value) {
  return RetriedLink(LinkStep::kFlashStatusWrite,
                     [&] { return VxCam_SPI_SF_WriteSr(device.handle, value, device.transportFlags); });
}
}  // namespace

// The chip's mode picks the pin's register pair; with the mode unread the
// pin would be left as it was while the step says it was set.
int CDevFlow::SetProtectPinsInMode(bool protect) {
  bool modeRead = false;
  const std::uint16_t mode = StepChipMode(nullptr, &modeRead);
  return modeRead ? SetProtectPins(chip.device, mode, protect) : 0;
}

int CDevFlow::MP_DisableWriteProtect() {
  if (FlowCancelled()) return 0;
  if (SetProtectPinsInMode(false) == 0) return 0;
  if (!WriteFlashStatus(chip.device, 0x00)) {
    DebugPrint("Waiting for failed\n");
    return 0;
  }
  std::uint8_t status = 0;
  for (int poll = 0;; ++poll) {
    if (!RetriedLink(LinkStep::kFlashStatusRead,
                     [&] { return VxCam_SPI_SF_ReadSr(chip.device.handle, status, chip.device.transportFlags); })) {
      DebugPrint("Waiting for failed\n");
      return 0;
    }
    if ((status & 0x01) == 0) return 1;
    if (poll + 1 >= kStatusPolls) break;
    DebugPrint("Waiting for SPI_SF_WriteSr\n");
    TheClock().SleepMs(kStatusPollMs);
  }
  DebugPrint("Waiting Time Out\n");
  DebugPrint("Waiting for failed\n");
  return 0;
}

int CDevFlow::MP_EnableWriteProtect() {
  if (FlowCancelled()) return 0;
  if (SetProtectPinsInMode(true) == 0) return 0;
  // The poll starts from the value written, whose busy bit is clear.
  if (!WriteFlashStatus(chip.device, kProtectedStatus)) {
    DebugPrint("Waiting for failed\n");
    return 0;
  }
  return 1;
}

int CDevFlow::MP_EraseSPIFlash() {
  const StepRow& row = StepOf(Step::kEraseSPIFlash);
  const std::uint32_t timeoutMs = SettingWaitMs(kEraseTimeOutRange);
  const std::uint32_t settleMs = SettingWaitMs(kEraseCommandTimeRange);
  PostStepId(row);
  const bool erased = RunCommandStep(*this, row, timeoutMs);
  TheClock().SleepMs(settleMs);
  PostFlowMessage(WM_FLOW_PROGRESS, row.base);
  return erased ? 1 : 0;
}

int CDevFlow::MP_CheckSPIFlashEmpty(std::span<std::uint8_t> buffer) {
  if (RunDataStep(*this, Step::kCheckSPIFlashEmpty, buffer) == 0) {
    TraceFailure(kStepScope, "Read Flash Code Fail\n");
    return 0;
  }
  return AllErased(buffer) ? 1 : 0;
}

int CDevFlow::MP_WriteSPIFlash(std::span<const std::uint8_t> image) {
  if (image.empty()) return 0;
  return RunDataStep(*this, Step::kWriteSPIFlash, image);
}

int CDevFlow::MP_VerifySPIFlash(std::span<std::uint8_t> buffer) {
  return RunDataStep(*this, Step::kVerifySPIFlash, buffer);
}

int CDevFlow::MP_ReadSPIFlash(std::span<std::uint8_t> buffer) {
  return RunDataStep(*this, Step::kReadSPIFlash, buffer);
}

int CDevFlow::MP_EraseNorFlash() {
  const StepRow& row = StepOf(Step::kEraseNorFlash);
  PostStepId(row);
  const bool erased = RunCommandStep(*this, row, 0);
  PostFlowMessage(WM_FLOW_PROGRESS, row.base);
  return erased ? 1 : 0;
}

int CDevFlow::MP_CheckNorFlashEmpty(std::span<std::uint8_t> buffer) {
  if (RunDataStep(*this, Step::kCheckNorFlashEmpty, buffer) == 0) return 0;
  return AllErased(buffer) ? 1 : 0;
}

int CDevFlow::MP_WriteNorFlash(std::span<const std::uint8_t> image) {
  if (image.empty()) return 0;
  return RunDataStep(*this, Step::kWriteNorFlash, image);
}

int CDevFlow::MP_VerifyNorFlash(std::span<std::uint8_t> buffer) {
  return RunDataStep(*this, Step::kVerifyNorFlash, buffer);
}

int CDevFlow::MP_WriteNorTag() {
  const StepRow& row = StepOf(Step::kWriteNorTag);
  PostStepId(row);
  return RunCommandStep(*this, row, 0) ? 1 : 0;
}

}  // namespace quillon
