// `quillon --list`: every connected chip of either kind, one line each.
#pragma once

#include <cstdio>
#include <string>

#include "proxy/device_record.h"

namespace quillon {

// "<location> <identity> <transports> <accepted|not accepted>", transports
// being "xu", "vendor", "xu,vendor" or "none".
std::string ChipListLine(const DeviceRecord& record);

// Lists the chips on the installed backend (the library must be started);
// returns the number listed, or -1 when the bus cannot be listed.
int ListChips(std::FILE* out);

}  // namespace quillon
