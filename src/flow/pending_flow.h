// The memory types whose sequences this build does not carry yet (EEPROM and
// OTP): every operation ends with a clear line and "Not Support!", so a
// script never takes the run for a success.
#pragma once

#include <string>

#include "flow/dev_flow.h"

namespace quillon {

class CPendingFlow final : public CDevFlow {
 public:
  explicit CPendingFlow(MemoryType memory) : CDevFlow(memory) {}

  int DEV_Read() override { return Refuse(); }
  int DEV_Erase() override { return Refuse(); }
  int DEV_Update() override { return Refuse(); }
  int DEV_Download() override { return Refuse(); }
  int DEV_Silence_WriteBin(const std::string&) override { return Refuse(); }
  int DEV_Silence_WriteSNBin(const std::string&, const std::string&) override { return Refuse(); }
  int DEV_DumpBin(const std::string&) override { return Refuse(); }
  int DEV_Silence_VerifyBin(const std::string&) override { return Refuse(); }
  int DEV_DumpText(const std::string&) override { return Refuse(); }
  int DEV_EraseEx(int) override { return Refuse(); }
  int OTP_UsageText(std::string&) override { return Refuse(); }

  // "EEPROM8", "EEPROM16", "OTP".
  const char* MemoryName() const;

 private:
  int Refuse();
};

}  // namespace quillon
