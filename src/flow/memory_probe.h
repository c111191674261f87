// The code memory of a chip that no image names, for the batch commands that
// carry none ("-erase", "-dumpspi"): an EEPROM says its width in its area
// header, or, blank, by answering one width only; a flash answers its status
// register.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "data/current_types.h"

namespace quillon {

// What one round of questions got: the first two bytes under each EEPROM
// width, when that width answered, and whether the SPI flash's status
// register answered (asked only when the EEPROM answers left it open).
struct MemoryAnswers {
  std::optional<std::array<std::uint8_t, 2>> wide;
  std::optional<std::array<std::uint8_t, 2>> narrow;
  bool flash = false;
};

// The memory the answers name; none while they name none. A stall is how a
// chip without a memory answers and also what a glitch looks like, so only an
// answer decides, never a refusal.
std::optional<MemoryType> MemoryNamedBy(const MemoryAnswers& answers);

// Asks the chip of the current SPI flash flow (the type no image changed) in
// rounds, 128 ms apart, until one memory answers, and rebuilds the flow for an
// EEPROM. A chip that answers none, still reads a register and then refuses
// one round more keeps the flash flow (whose own probe then refuses it); a
// link that answers nothing fails as the link failure it is. False when the
// run cannot go on.
bool AdoptProbedMemoryType();

}  // namespace quillon
