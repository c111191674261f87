// One operation (write, verify or erase) of the command line, in process on
// the virtual clock, against simulated chips taken from saved states: what
// the operation answered, the chips as it left them, and which command every
// transfer to the chip belonged to.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "data/current_types.h"
#include "sim/chip_state.h"

namespace quillon::sweep {

struct Operation {
  char letter = 'W';   // the command-line letter: 'W', 'V' or 'E'
  std::string file;    // the image file of 'W' and 'V'
  MemoryType memory = MemoryType::SpiFlash;  // picks the flow
  // A station profile in the program directory that names NOR flash (the
  // built-in ones name SPI flash).
  bool norProfile = false;
  // The customer's preserved record: kLeave; kDrop removes the copy an
  // earlier run kept, so that each case starts from its own chip; kRestore
  // restores the copy a cut run kept, as the operator does for its unit.
  enum class RecordCopy { kLeave, kDrop, kRestore } recordCopy = RecordCopy::kLeave;
};

struct RunResult {
  int result = 0;                     // the operation's own result (1: PASS)
  std::uint32_t status = 0;           // the last status it posted (the exit code's and the result log's)
  std::vector<sim::ChipState> chips;  // as saved at the end of the run
  // Per transfer to chip 0 (index 0 = transfer 1): the command it belongs to,
  // e.g. "0282" for an extension-unit command block of class 02, opcode 82,
  // "vr2b" for vendor request 0x2B, "std" for a standard request.
  std::vector<std::string> commands;
  // Flash write commands chip 0 took: address, length.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> programs;
};

// Runs `op` on `chips` with a fresh tool state (settings, profile, flow) in
// the program directory `home`.
RunResult RunOperation(const Operation& op, std::vector<sim::ChipState> chips, const std::filesystem::path& home,
                       bool record);

// The chips after their power was cycled.
std::vector<sim::ChipState> PowerCycled(std::vector<sim::ChipState> chips);

}  // namespace quillon::sweep
