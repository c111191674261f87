// The working memory size: how large image buffers are. 0x20000 at start; the
// flows set it to the device's memory size, the worker and the batch mode to
// 0x10000 before they load an image.
#pragma once

#include <cstddef>

namespace quillon {

inline constexpr std::size_t kDefaultWorkingMemorySize = 0x20000;

std::size_t WorkingMemorySize();
void SetWorkingMemorySize(std::size_t size);

}  // namespace quillon
