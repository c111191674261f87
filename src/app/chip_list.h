// `quillon --list`: every connected chip of either kind, one line each (or
// one JSON array), saying whether the batch mode would take it and, when
// not, why. The command line's chip selectors read the same listing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "flow/device_selection.h"
#include "proxy/device_record.h"

namespace quillon {

// What the listing learned of one chip.
struct ListedChip {
  int index = -1;               // what "-d N" names; -1 for a camera chip
  std::string location;
  DeviceKind kind = DeviceKind::kAudio;
  // Opened and asked which transports it answers; a listing for a selector
  // does not, so that picking a chip sends nothing to any chip.
  bool probed = false;
  std::uint32_t openError = 0;  // 0: opened and probed
  bool xuTransport = false;
  bool vendorTransport = false;
  std::string identity;         // "VID_%04X&PID_%04X&REV_%04X"
  // "CheckVIDPID_INI": 0 none, 2 "VidPidList.ini", else the built-in list;
  // `inList` is the answer of the list that setting names.
  std::uint32_t listCheck = 0;
  bool inList = false;
};

// Empty when the batch mode would take the chip; otherwise why not.
std::string WhyNotAccepted(const ListedChip& chip);

// "<index> <location> <identity> <transports> accepted" or "... not accepted
// (<why>)", the index being "-" for a chip "-d" cannot name and transports
// "xu", "vendor", "xu,vendor" or "none".
std::string ChipListLine(const ListedChip& chip);

// One JSON array: per chip its index (null when "-d" cannot name it),
// location, identity, transports, accepted and, when not, the reason.
std::string ChipListJson(const std::vector<ListedChip>& chips);

// The chips on the installed backend (the library must be started, the
// settings loaded), audio chips first; nothing when the bus cannot be read.
std::optional<std::vector<ListedChip>> ReadChips(bool probe);

// The chips as the command line's selectors see them, without probing.
std::optional<std::vector<PresentChip>> PresentChips();

// Prints the listing as lines or JSON; the number listed, or -1 when the bus
// cannot be read.
int ListChips(std::FILE* out, bool json);

}  // namespace quillon
