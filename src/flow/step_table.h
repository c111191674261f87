// The step primitives' table: for each retried, paced step of the memory
// sequences its memory, the step id it posts, the command it retries and how
// often, and the progress band it reports in. The primitives read their row;
// a new memory type adds its rows here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "flow/status.h"

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
  kCount,
};

enum class StepMemory : std::uint8_t { kSpi, kNor, kEeprom };

// The command a step retries. Both flash kinds are read back with the SPI
// read; the EEPROM commands are those of the chip's address width.
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
};

inline constexpr std::uint32_t kFlashChunk = 4096;
inline constexpr std::uint32_t kEepromChunk = 8;  // one EEPROM page write or one read

inline constexpr std::uint32_t kNoStepId = 0;

// How a step reports progress: not at all, base once at its end, or base +
// bytes done * span / total after each chunk.
enum class StepProgressKind : std::uint8_t { kNone, kAtEnd, kPerChunk };

struct StepRow {
  Step step;
  std::string_view primitive;
  StepMemory memory;
  std::uint32_t stepId;  // posted when the step starts; kNoStepId: none
  StepCommand command;
  int attempts;          // per chunk for the data steps
  std::uint32_t chunk;   // bytes per chunk; 0: one command, no chunks
  StepProgressKind progress;
  std::uint32_t base;
  std::uint32_t span;
};

// clang-format off
inline constexpr std::array<StepRow, static_cast<std::size_t>(Step::kCount)> kSteps = {{
  // step                      primitive                memory               step id               command (attempts)                chunk         progress                            base span
  {Step::kEraseSPIFlash,      "MP_EraseSPIFlash",      StepMemory::kSpi,    msg::kStepErasing,    StepCommand::kSpiEraseChip,    3, 0,            StepProgressKind::kAtEnd,     5,  0},
  {Step::kCheckSPIFlashEmpty, "MP_CheckSPIFlashEmpty", StepMemory::kSpi,    msg::kStepCheckEmpty, StepCommand::kSpiRead,         8, kFlashChunk,  StepProgressKind::kPerChunk,  5, 30},
  {Step::kWriteSPIFlash,      "MP_WriteSPIFlash",      StepMemory::kSpi,    msg::kStepDownload,   StepCommand::kSpiWrite,        8, kFlashChunk,  StepProgressKind::kPerChunk, 35, 30},
  {Step::kVerifySPIFlash,     "MP_VerifySPIFlash",     StepMemory::kSpi,    msg::kStepVerify,     StepCommand::kSpiRead,         8, kFlashChunk,  StepProgressKind::kPerChunk, 65, 30},
  {Step::kReadSPIFlash,       "MP_ReadSPIFlash",       StepMemory::kSpi,    msg::kStepRead,       StepCommand::kSpiRead,         8, kFlashChunk,  StepProgressKind::kPerChunk, 10, 80},
  {Step::kEraseNorFlash,      "MP_EraseNorFlash",      StepMemory::kNor,    kNoStepId,            StepCommand::kNorErase,        3, 0,            StepProgressKind::kAtEnd,    30,  0},
  {Step::kCheckNorFlashEmpty, "MP_CheckNorFlashEmpty", StepMemory::kNor,    msg::kStepCheckEmpty, StepCommand::kSpiRead,         8, kFlashChunk,  StepProgressKind::kPerChunk, 30, 20},
  {Step::kWriteNorFlash,      "MP_WriteNorFlash",      StepMemory::kNor,    msg::kStepDownload,   StepCommand::kNorWrite,        8, kFlashChunk,  StepProgressKind::kPerChunk, 50, 20},
  {Step::kVerifyNorFlash,     "MP_VerifyNorFlash",     StepMemory::kNor,    msg::kStepVerify,     StepCommand::kSpiRead,         8, kFlashChunk,  StepProgressKind::kPerChunk, 70, 20},
  {Step::kWriteNorTag,        "MP_WriteNorTag",        StepMemory::kNor,    msg::kStepWriteTag,   StepCommand::kNorWriteTag,     1, 0,            StepProgressKind::kNone,      0,  0},
  {Step::kEraseEeprom,        "MP_EraseEeprom",        StepMemory::kEeprom, kNoStepId,            StepCommand::kEepromErase,     3, 0,            StepProgressKind::kAtEnd,    30,  0},
  {Step::kCheckEepromEmpty,   "MP_CheckEepromEmpty",   StepMemory::kEeprom, msg::kStepCheckEmpty, StepCommand::kEepromRead,      8, kEepromChunk, StepProgressKind::kPerChunk, 30, 20},
  {Step::kWriteEeprom,        "MP_WriteEeprom",        StepMemory::kEeprom, msg::kStepDownload,   StepCommand::kEepromWrite,     8, kEepromChunk, StepProgressKind::kPerChunk, 50, 20},
  {Step::kVerifyEeprom,       "MP_VerifyEeprom",       StepMemory::kEeprom, msg::kStepVerify,     StepCommand::kEepromRead,      8, kEepromChunk, StepProgressKind::kPerChunk, 70, 20},
  {Step::kReadEeprom,         "MP_ReadEeprom",         StepMemory::kEeprom, msg::kStepRead,       StepCommand::kEepromRead,      8, kEepromChunk, StepProgressKind::kPerChunk, 10, 80},
  {Step::kWriteEepromTag,     "MP_WriteEepromTag",     StepMemory::kEeprom, msg::kStepWriteTag,   StepCommand::kEepromWriteTag,  1, 0,            StepProgressKind::kNone,      0,  0},
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
