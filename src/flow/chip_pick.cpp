// The command line's picks among the chips present: by port location, and
// what to tell when several chips could have been taken.
#include "flow/device_selection.h"

namespace quillon {

LocationPick PickByLocation(std::span<const PresentChip> chips, std::string_view location) {
  for (const PresentChip& chip : chips) {
    if (chip.location != location) continue;
    if (!chip.whyNot.empty()) {
      return {std::nullopt, "the chip at " + chip.location + " (" + chip.identity + ") is not accepted: " + chip.whyNot,
              true};
    }
    if (chip.index < 0) return {std::nullopt, "the chip at " + chip.location + " cannot be opened by the batch mode", true};
    return {chip.index, "", true};
  }
  return {std::nullopt, "no chip at location " + std::string(location) + " (quillon --list shows the locations)", false};
}

std::string OtherChipsNote(std::span<const PresentChip> chips, std::string_view takenLocation) {
  const PresentChip* taken = nullptr;
  std::string others;
  for (const PresentChip& chip : chips) {
    if (chip.location == takenLocation) {
      taken = &chip;
    } else if (chip.whyNot.empty()) {
      others += (others.empty() ? "" : ", ") + chip.location + " " + chip.identity;
    }
  }
  if (taken == nullptr || others.empty()) return "";
  return "quillon: several chips are accepted; took " + taken->location + " " + taken->identity +
         "; also present: " + others + " (pick one with --location LOC)";
}

}  // namespace quillon
