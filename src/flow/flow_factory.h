// The memory-type factory, the one chip session and the flow object over it.
#pragma once

#include <memory>

#include "data/current_types.h"
#include "flow/dev_flow.h"

namespace quillon {

// The flow class for a memory type on a bus, working on `session`; null for a
// combination without one.
std::unique_ptr<CDevFlow> MakeFlow(MemoryType memory, BusType bus, ChipSession& session);

// The current flow object (null when the profile's memory type has none).
CDevFlow* TheFlow();

// Swaps the current object for one of the current memory and bus type. With
// `keep`, the new object works on the same chip session (device, image and
// settings); otherwise on a fresh session that keeps only the settings. No
// class for the types: no object, and the last status is cleared.
CDevFlow* RecreateFlow(bool keep);
void DestroyFlow();

}  // namespace quillon
