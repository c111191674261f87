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

std::string SeveralAcceptedRefusal(std::span<const PresentChip> chips) {
  std::string listed;
  int accepted = 0;
  for (const PresentChip& chip : chips) {
    if (!chip.whyNot.empty()) continue;
    ++accepted;
    listed += (listed.empty() ? "" : ", ") + chip.location + " " + chip.identity;
    if (chip.index >= 0) listed += " (-d " + std::to_string(chip.index) + ")";
  }
  if (accepted < 2) return "";
  return "quillon: " + std::to_string(accepted) + " accepted chips are present: " + listed +
         "; nothing was written: pick one with --location LOC or -d N (quillon --list shows every chip)";
}

}  // namespace quillon
