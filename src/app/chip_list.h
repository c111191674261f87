// `quillon --list`: every connected chip of either kind, one line each, saying
// whether the batch mode would take it and, when not, why.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "proxy/device_record.h"

namespace quillon {

// What the listing learned of one chip.
struct ListedChip {
  DeviceKind kind = DeviceKind::kAudio;
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

// "<location> <identity> <transports> accepted" or "... not accepted (<why>)",
// transports being "xu", "vendor", "xu,vendor" or "none".
std::string ChipListLine(const std::string& location, const ListedChip& chip);

// Lists the chips on the installed backend (the library must be started, the
// settings loaded); returns the number listed, or -1 when the bus cannot be read.
int ListChips(std::FILE* out);

}  // namespace quillon
