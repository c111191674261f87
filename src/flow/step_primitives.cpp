// The steps every memory sequence is built from. Each one checks the cancel
// flag before every chunk and attempt, retries its command with 128 ms pauses,
// moves data in 4096-byte chunks whose memory address is their buffer offset,
// and reports progress inside its own band. They return 1 or 0; the sequences
// decide which failure id that is.
#include <algorithm>
#include <array>
#include <functional>

#include "data/settings.h"
#include "flow/dev_flow.h"
#include "flow/status.h"
#include "flow/wait_limits.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

constexpr std::uint32_t kChunk = 4096;
constexpr std::uint32_t kRetryPauseMs = 128;
constexpr int kDataAttempts = 8;
constexpr int kEraseAttempts = 3;
constexpr int kStatusPolls = 20;
constexpr std::uint32_t kStatusPollMs = 50;
constexpr std::uint8_t kProtectedStatus = 0x8C;
constexpr TraceScope kStepScope{"CDevFlow::Steps", 0, kTraceDevice};

struct Band {
  std::uint32_t base;
  std::uint32_t span;
};

// Up to `attempts` tries of `command`, each after a cancel check, 128 ms apart.
bool Retried(int attempts, const std::function<int()>& command) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (FlowCancelled()) return false;
    if (command() != 0) return true;
    if (attempt + 1 < attempts) TheClock().SleepMs(kRetryPauseMs);
  }
  return false;
}

// Runs `command(address, chunk)` over `total` bytes in 4096-byte chunks.
template <class Buffer, class Command>
bool Chunked(Buffer buffer, Band band, Command&& command) {
  const auto total = static_cast<std::uint32_t>(buffer.size());
  for (std::uint32_t done = 0; done < total;) {
    const std::uint32_t length = std::min(kChunk, total - done);
    auto piece = buffer.subspan(done, length);
    if (!Retried(kDataAttempts, [&] { return command(done, piece); })) return false;
    done += length;
    PostFlowMessage(WM_FLOW_PROGRESS, band.base + static_cast<std::uint32_t>(std::uint64_t{done} * band.span / total));
  }
  return true;
}

// The register pair that drives the flash's write-protect pin.
std::array<std::uint32_t, 2> ProtectRegisters(std::uint16_t mode) {
  if (IsRomLoaderState(mode)) return {0xFEC0, 0xFEC6};
  return {0xFEA0, 0xFEA6};
}

}  // namespace

int CDevFlow::WriteFlashBytes(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  return Retried(kDataAttempts, [&] { return VxCam_SPI_SF_Write(device.handle, address, bytes, device.transportFlags); })
             ? 1
             : 0;
}

int CDevFlow::MP_DisableWriteProtect() {
  if (FlowCancelled()) return 0;
  const auto regs = ProtectRegisters(StepChipMode());
  std::array<std::uint8_t, 1> first{}, second{};
  if (VxCam_ReadMem(device.handle, regs[0], first, device.transportFlags) == 0 ||
      VxCam_ReadMem(device.handle, regs[1], second, device.transportFlags) == 0) {
    return 0;
  }
  first[0] |= 0x01;
  second[0] |= 0x01;
  if (VxCam_WriteMem(device.handle, regs[0], first, device.transportFlags) == 0 ||
      VxCam_WriteMem(device.handle, regs[1], second, device.transportFlags) == 0) {
    return 0;
  }
  if (VxCam_SPI_SF_WriteSr(device.handle, 0x00, device.transportFlags) == 0) {
    DebugPrint("Waiting for failed\n");
    return 0;
  }
  std::uint8_t status = 0;
  for (int poll = 0;; ++poll) {
    if (VxCam_SPI_SF_ReadSr(device.handle, status, device.transportFlags) == 0) {
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
  const auto regs = ProtectRegisters(StepChipMode());
  std::array<std::uint8_t, 1> first{}, second{};
  if (VxCam_ReadMem(device.handle, regs[0], first, device.transportFlags) == 0 ||
      VxCam_ReadMem(device.handle, regs[1], second, device.transportFlags) == 0) {
    return 0;
  }
  first[0] |= 0x01;
  second[0] &= 0xFE;
  if (VxCam_WriteMem(device.handle, regs[0], first, device.transportFlags) == 0 ||
      VxCam_WriteMem(device.handle, regs[1], second, device.transportFlags) == 0) {
    return 0;
  }
  // The poll starts from the value written, whose busy bit is clear.
  if (VxCam_SPI_SF_WriteSr(device.handle, kProtectedStatus, device.transportFlags) == 0) {
    DebugPrint("Waiting for failed\n");
    return 0;
  }
  return 1;
}

int CDevFlow::MP_EraseSPIFlash() {
  const std::uint32_t timeoutMs = SettingWaitMs(kEraseTimeOutRange);
  const std::uint32_t settleMs = SettingWaitMs(kEraseCommandTimeRange);
  PostFlowMessage(WM_FLOW_STEP, msg::kStepErasing);
  const bool erased = Retried(kEraseAttempts, [&] {
    return VxCam_SPI_SF_EraseChip(device.handle, device.transportFlags, timeoutMs);
  });
  TheClock().SleepMs(settleMs);
  PostFlowMessage(WM_FLOW_PROGRESS, 5);
  return erased ? 1 : 0;
}

namespace {
// Both flash kinds are read back with the SPI read command.
int ReadInto(CDevFlow& flow, std::span<std::uint8_t> buffer, Band band) {
  return Chunked(buffer, band, [&](std::uint32_t address, std::span<std::uint8_t> piece) {
           return VxCam_SPI_SF_Read(flow.device.handle, address, piece, flow.device.transportFlags);
         })
             ? 1
             : 0;
}

bool AllErased(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}
}  // namespace

int CDevFlow::MP_CheckSPIFlashEmpty(std::span<std::uint8_t> buffer) {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepCheckEmpty);
  if (ReadInto(*this, buffer, {5, 30}) == 0) {
    TraceFailure(kStepScope, "Read Flash Code Fail\n");
    return 0;
  }
  return AllErased(buffer) ? 1 : 0;
}

int CDevFlow::MP_WriteSPIFlash(std::span<const std::uint8_t> image) {
  if (image.empty()) return 0;
  PostFlowMessage(WM_FLOW_STEP, msg::kStepDownload);
  return Chunked(image, {35, 30},
                 [&](std::uint32_t address, std::span<const std::uint8_t> piece) {
                   return VxCam_SPI_SF_Write(device.handle, address, piece, device.transportFlags);
                 })
             ? 1
             : 0;
}

int CDevFlow::MP_VerifySPIFlash(std::span<std::uint8_t> buffer) {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepVerify);
  return ReadInto(*this, buffer, {65, 30});
}

int CDevFlow::MP_ReadSPIFlash(std::span<std::uint8_t> buffer) {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepRead);
  return ReadInto(*this, buffer, {10, 80});
}

int CDevFlow::MP_EraseNorFlash() {
  const bool erased =
      Retried(kEraseAttempts, [&] { return VxCam_NorFlash_Erase(device.handle, device.transportFlags); });
  PostFlowMessage(WM_FLOW_PROGRESS, 30);
  return erased ? 1 : 0;
}

int CDevFlow::MP_CheckNorFlashEmpty(std::span<std::uint8_t> buffer) {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepCheckEmpty);
  if (ReadInto(*this, buffer, {30, 20}) == 0) return 0;
  return AllErased(buffer) ? 1 : 0;
}

int CDevFlow::MP_WriteNorFlash(std::span<const std::uint8_t> image) {
  if (image.empty()) return 0;
  PostFlowMessage(WM_FLOW_STEP, msg::kStepDownload);
  return Chunked(image, {50, 20},
                 [&](std::uint32_t address, std::span<const std::uint8_t> piece) {
                   return VxCam_NorFlash_Write(device.handle, address, piece, device.transportFlags);
                 })
             ? 1
             : 0;
}

int CDevFlow::MP_VerifyNorFlash(std::span<std::uint8_t> buffer) {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepVerify);
  return ReadInto(*this, buffer, {70, 20});
}

int CDevFlow::MP_WriteNorTag() {
  PostFlowMessage(WM_FLOW_STEP, msg::kStepWriteTag);
  if (FlowCancelled()) return 0;
  return VxCam_NorFlash_WriteTag(device.handle, device.transportFlags);
}

}  // namespace quillon
