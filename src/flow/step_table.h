// The step primitives' table: for each retried, paced step of the memory
// sequences the step id it posts, the command it sends and how often it
// tries, its chunk size and the progress band it reports in. The primitives
// send the row's command; a new memory type adds its rows here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "flow/status.h"
#include "proxy/link_steps.h"

namespace quillon {

enum class Step : std::uint8_t {
  kEraseSPIFlash,
  kCheckSPIFlashEmpty,
  kWriteSPIFlash,
  kVerifySPIFlash,
  kReadSPIFlash,
  kEraseNorFlash,
  kCheckNorFlashEmpty,
  kWriteNorFlash,
  kVerifyNorFlash,
  kWriteNorTag,
  kEraseEeprom,
  kCheckEepromEmpty,
  kWriteEeprom,
  kVerifyEeprom,
  kReadEeprom,
  kWriteEepromTag,
  kWriteOtpTable,
  kReadOtpReport,
  kCount,
};

// The command a step sends. Both flash kinds are read back with the SPI
// read; the EEPROM commands go out in the chip's address width.
enum class StepCommand : std::uint8_t {
  kSpiEraseChip,
  kSpiRead,
  kSpiWrite,
  kNorErase,
  kNorWrite,
  kNorWriteTag,
  kEepromErase,
  kEepromRead,
  kEepromWrite,
  kEepromWriteTag,
  kOtpWrite,
  kOtpReadFailReport,
};

inline constexpr std::uint32_t kFlashChunk = 4096;
inline constexpr std::uint32_t kEepromChunk = 8;  // one EEPROM page write or one read

inline constexpr std::uint32_t kNoStepId = 0;

struct StepRow {
  Step step;
  std::uint32_t stepId;  // posted when the step starts; kNoStepId: none
  StepCommand command;
  int attempts;          // per chunk for the data steps
  std::uint32_t chunk;   // bytes per chunk; 0: one command, no chunks
  // Progress: a one-command step posts base at its end, a data step base +
  // bytes done * span / total after each chunk.
  std::uint32_t base;
  std::uint32_t span;
};

// clang-format off
inline constexpr std::array<StepRow, static_cast<std::size_t>(Step::kCount)> kSteps = {{
  // step                      step id               command (attempts)              chunk         base span
  {Step::kEraseSPIFlash,      msg::kStepErasing,    StepCommand::kSpiEraseChip,    3, 0,            5,  0},
  {Step::kCheckSPIFlashEmpty, msg::kStepCheckEmpty, StepCommand::kSpiRead,         8, kFlashChunk,  5, 30},
  {Step::kWriteSPIFlash,      msg::kStepDownload,   StepCommand::kSpiWrite,        8, kFlashChunk,  35, 30},
  {Step::kVerifySPIFlash,     msg::kStepVerify,     StepCommand::kSpiRead,         8, kFlashChunk,  65, 30},
  {Step::kReadSPIFlash,       msg::kStepRead,       StepCommand::kSpiRead,         8, kFlashChunk,  10, 80},
  {Step::kEraseNorFlash,      kNoStepId,            StepCommand::kNorErase,        3, 0,            30,  0},
  {Step::kCheckNorFlashEmpty, msg::kStepCheckEmpty, StepCommand::kSpiRead,         8, kFlashChunk,  30, 20},
  {Step::kWriteNorFlash,      msg::kStepDownload,   StepCommand::kNorWrite,        8, kFlashChunk,  50, 20},
  {Step::kVerifyNorFlash,     msg::kStepVerify,     StepCommand::kSpiRead,         8, kFlashChunk,  70, 20},
  {Step::kWriteNorTag,        msg::kStepWriteTag,   StepCommand::kNorWriteTag,     3, 0,            0,  0},
  {Step::kEraseEeprom,        kNoStepId,            StepCommand::kEepromErase,     3, 0,            30,  0},
  {Step::kCheckEepromEmpty,   msg::kStepCheckEmpty, StepCommand::kEepromRead,      8, kEepromChunk, 30, 20},
  {Step::kWriteEeprom,        msg::kStepDownload,   StepCommand::kEepromWrite,     8, kEepromChunk, 50, 20},
  {Step::kVerifyEeprom,       msg::kStepVerify,     StepCommand::kEepromRead,      8, kEepromChunk, 70, 20},
  {Step::kReadEeprom,         msg::kStepRead,       StepCommand::kEepromRead,      8, kEepromChunk, 10, 80},
  {Step::kWriteEepromTag,     msg::kStepWriteTag,   StepCommand::kEepromWriteTag,  3, 0,            0,  0},
  // An OTP table write sent again programs nothing new (programming ORs), and
  // the chip's program-fail report reads the same until the next write: both
  // are retried, the report through a stall of a dozen transfers.
  {Step::kWriteOtpTable,      kNoStepId,            StepCommand::kOtpWrite,        3, 0,            0,  0},
  {Step::kReadOtpReport,      kNoStepId,            StepCommand::kOtpReadFailReport, 16, 0,          0,  0},
}};
// clang-format on

constexpr const StepRow& StepOf(Step step) { return kSteps[static_cast<std::size_t>(step)]; }

constexpr bool StepsInOrder() {
  for (std::size_t i = 0; i < kSteps.size(); ++i) {
    if (static_cast<std::size_t>(kSteps[i].step) != i) return false;
  }
  return true;
}
static_assert(StepsInOrder(), "one row per step, in the enum's order");


// The progress a per-chunk step posts after `done` of `total` bytes.
constexpr std::uint32_t StepProgress(const StepRow& row, std::uint32_t done, std::uint32_t total) {
  return row.base + static_cast<std::uint32_t>(std::uint64_t{done} * row.span / total);
}

}  // namespace quillon
