#include "flow/pending_flow.h"

#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/debug_channel.h"

namespace quillon {

const char* CPendingFlow::MemoryName() const {
  switch (memoryType()) {
    case MemoryType::Eeprom8:
      return "EEPROM8";
    case MemoryType::Eeprom16:
      return "EEPROM16";
    case MemoryType::Otp:
      return "OTP";
    default:
      return "this memory";
  }
}

int CPendingFlow::Refuse() {
  const std::string line = std::string("The ") + MemoryName() + " operations are not part of this build.\r\n";
  DebugPrint("%s", line.c_str());
  if (TheFrontEnd().CommandLineMode()) TheFrontEnd().ConsoleWrite(line);
  PostFlowMessage(WM_FLOW_FAIL, msg::kNotSupport);
  return 0;
}

}  // namespace quillon
