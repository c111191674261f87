// The memory-type factory and the one current flow object.
#pragma once

#include <memory>

#include "data/current_types.h"
#include "flow/dev_flow.h"

namespace quillon {

// The flow class for a memory type on a bus; null for a combination without one.
std::unique_ptr<CDevFlow> MakeFlow(MemoryType memory, BusType bus);

// The current flow object (null when the profile's memory type has none).
CDevFlow* TheFlow();

// Destroys the current object and builds one for the current memory and bus
// type. With `keep`, the new object takes over the old one's device, image and
// settings; otherwise only its settings. No class for the types: no object,
// and the last status is cleared.
CDevFlow* RecreateFlow(bool keep);
void DestroyFlow();

}  // namespace quillon
