// How often each transfer outside the memory data steps is tried, for every
// layer that sends one: the flows' register and status accesses, the opening
// of a chip and the reset sequence.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

// A retry is safe where a second attempt leaves the chip as one would: a
// read, or a write of the same value to the same place.
enum class LinkStep : std::uint8_t {
  kDescriptorRead,    // device and configuration descriptors of a chip being opened
  kTransportProbe,    // the first question on each transport of a chip being opened
  kChipOpen,          // the transport questions of a chip being opened, reset or back
                      // from a reset, again when none answered or one went missing
  kRegisterRead,      // chip-mode, protection-pin, lock and table registers, OTP bytes
  kRegisterWrite,     // the same value again
  kStatusRead,        // the status block and its pieces
  kFlashStatusRead,   // the flash's status register
  kFlashStatusWrite,  // the flash's status register: protection on or off
  kDataControlSize,   // the data-control size around a bulk phase
  kResetSend,         // the reset command
  kCount,
};

struct LinkStepRow {
  LinkStep step;
  int attempts;
  // Why a step with one attempt cannot take a second; empty for the others.
  const char* oneAttempt;
};

// clang-format off
inline constexpr std::array<LinkStepRow, static_cast<std::size_t>(LinkStep::kCount)> kLinkSteps = {{
  {LinkStep::kDescriptorRead,   8, ""},
  // A stall is how a chip without that transport answers, so one question per
  // transport; the opening asks both again only when neither answered.
  {LinkStep::kTransportProbe,   1, "a stall is the answer of a chip without the transport"},
  {LinkStep::kChipOpen,         3, ""},
  {LinkStep::kRegisterRead,     8, ""},
  {LinkStep::kRegisterWrite,    8, ""},
  {LinkStep::kStatusRead,       8, ""},
  {LinkStep::kFlashStatusRead,  8, ""},
  {LinkStep::kFlashStatusWrite, 8, ""},
  {LinkStep::kDataControlSize,  8, ""},
  // A stalled reset never reached the chip, which is still on the bus; one the
  // chip took ends the old device ("device gone"), and no retry follows that.
  {LinkStep::kResetSend,        8, ""},
}};
// clang-format on

constexpr const LinkStepRow& LinkStepOf(LinkStep step) { return kLinkSteps[static_cast<std::size_t>(step)]; }

constexpr bool LinkStepsInOrder() {
  for (std::size_t i = 0; i < kLinkSteps.size(); ++i) {
    if (static_cast<std::size_t>(kLinkSteps[i].step) != i) return false;
    // A row of one attempt says why.
    if (kLinkSteps[i].attempts == 1 && kLinkSteps[i].oneAttempt[0] == '\0') return false;
  }
  return true;
}
static_assert(LinkStepsInOrder(), "one row per link step, in the enum's order; a single attempt says why");

}  // namespace quillon
