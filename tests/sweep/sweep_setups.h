// The set-ups the sweep runs: a chip (family, transport, what it holds at the
// start) and one command-line operation on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data/current_types.h"
#include "sim/chip_config.h"
#include "sim/chip_state.h"

namespace quillon::sweep {

struct SetUp {
  std::string name;
  sim::ChipConfig chip;              // its memory kind picks the flow
  std::vector<std::uint8_t> onChip;  // memory contents from 0 at the start; empty: blank
  char letter = 'W';                 // 'W' write, 'V' verify, 'E' erase
  std::vector<std::uint8_t> file;    // the file of 'W' and 'V'
  std::uint32_t tagAddress = 0xEFFE;  // the profile's; its write is a key case
  // A verify of a file that differs from the chip: PASS is never right.
  bool passNeverRight = false;
  bool norProfile = false;  // the station's profile names NOR flash
  // `onChip` is a file that a first download puts on a blank chip (OTP, whose
  // memory is the history of its downloads), not the memory contents.
  bool downloadedBefore = false;
  // Findings not yet mended in the flow: reported, but they do not fail the sweep.
  bool open = false;
  // The chip holds the customer's preserved record, which the write carries:
  // a cut run's copy is restored by the run that recovers the chip.
  bool preservedRecord = false;
  // An OTP update books its two parts as two entries and no single write
  // commits both: a chip that starts the old code with the new configuration
  // is counted as partial and shown, but does not fail the sweep. False PASS
  // and chips not recovered still do.
  bool updateWindow = false;
  // Only the whole command line reaches it (a chip without the extension
  // unit, a station setting the batch mode reads).
  bool commandLineOnly = false;
  std::string settings{};  // extra station settings lines
  std::string serial{};    // the serial number the station hands to "SaveSN"
};

// The tool's memory type for the chip's memory.
MemoryType FlowMemoryOf(sim::MemoryKind memory);

// The set-up's chips as they are before its operation (before the first
// download of a `downloadedBefore` set-up), powered up; none when its
// contents do not fit the chip.
std::optional<std::vector<sim::ChipState>> FirstChips(const SetUp& s);

// Every set-up, in a fixed order.
std::vector<SetUp> AllSetUps();

}  // namespace quillon::sweep
