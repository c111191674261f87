// One operation (write, verify or erase) of the command line, in process on
// the virtual clock, against simulated chips taken from saved states: what
// the operation answered, the chips as it left them, and which command every
// transfer to the chip belonged to.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "data/current_types.h"
#include "proxy/usb_backend.h"
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
  // Extra settings lines ("Key=Value\r\n") of the station, and the serial
  // number the station hands to "SaveSN" (empty: none).
  std::string settings{};
  std::string serial{};
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
  // Through the command line only: its exit code, and what is wrong with the
  // records it kept (empty when they agree with each other and the exit code).
  int exitCode = -1;
  std::string recordsProblem;
};

// Runs `op` on `chips` with a fresh tool state (settings, profile, flow) in
// the program directory `home`.
RunResult RunOperation(const Operation& op, std::vector<sim::ChipState> chips, const std::filesystem::path& home,
                       bool record);

// The command a transfer belongs to (see RunResult::commands); `current` is the
// command of the transfers before, which the data phases of a command share.
std::string CommandOf(const SetupPacket& setup, std::span<const std::uint8_t> data, std::string& current);

// Writes the station profile that names NOR flash into `home` (once).
void WriteNorProfile(const std::filesystem::path& home);

// The chips after their power was cycled.
std::vector<sim::ChipState> PowerCycled(std::vector<sim::ChipState> chips);

}  // namespace quillon::sweep
