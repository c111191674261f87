#include "device/sync_operate.h"

#include <string>

#include "platform/debug_channel.h"

namespace quillon {

CSyncOperate::CSyncOperate(CrossProcessLock& lock, std::uint32_t waitMs, std::string_view name)
    : lock_(lock), owned_(lock.Acquire(waitMs)) {
  if (!owned_) DebugPrint("%s wait time out\n", std::string(name).c_str());
}

CSyncOperate::~CSyncOperate() {
  if (owned_) lock_.Release();
}

}  // namespace quillon
