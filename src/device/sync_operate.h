// The scope of one extension-unit command sequence: holds the command lock
// shared by every process of the tool, or says why it could not.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/process_lock.h"

namespace quillon {

class CSyncOperate {
 public:
  // Waits at most waitMs; `name` is the operation, for the log line.
  CSyncOperate(CrossProcessLock& lock, std::uint32_t waitMs, std::string_view name);
  virtual ~CSyncOperate();
  CSyncOperate(const CSyncOperate&) = delete;
  CSyncOperate& operator=(const CSyncOperate&) = delete;

  bool owned() const { return owned_; }
  // 0 when owned, 1 when not.
  std::uint32_t status() const { return owned_ ? 0 : 1; }

 private:
  CrossProcessLock& lock_;
  bool owned_;
};

}  // namespace quillon
