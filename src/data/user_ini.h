// An IC profile document with the results of matching a chip's IC registers.
#pragma once

#include <cstdint>
#include <string_view>

#include "data/ini_file.h"

namespace quillon {

inline constexpr const char* kVendorInfoSection = "Vendor Info M1";
inline constexpr int kRegisterSectionCount = 16;

class CUserIni : public CIniFile {
 public:
  // out = "ConfigSize" of "Vendor Info M1" (0 when missing); false only for a null out.
  bool GetConfigSize(std::uint32_t* out) const;
  // out = `key` of "Vendor Info M1" (0 when missing): "ConfigAddress", "TagAddress".
  bool GetVendorInfo(std::string_view key, std::uint32_t* out) const;
  // out = "ChipInfo" of "Camera_Register_00" when that section exists (callers
  // preset out to 0xFF); the chip code is set to out in any case.
  void GetChipInfo(std::uint8_t& out);
  // Looks for a register section whose ICRegister1/ICRegister2 low bytes equal
  // reg1/reg2; on a match keeps the registers and that section's chip code.
  bool MatchIcRegisters(std::uint8_t reg1, std::uint8_t reg2);

  std::uint8_t ChipInfo() const { return chipInfo_; }
  std::uint8_t MatchedRegister1() const { return matchedReg1_; }
  std::uint8_t MatchedRegister2() const { return matchedReg2_; }

 protected:
  void ClearLoadedMark() { loadedMark_ = 0; }

 private:
  std::uint8_t chipInfo_ = 0;
  std::uint8_t matchedReg1_ = 0xFF;
  std::uint8_t matchedReg2_ = 0xFF;
  std::uint8_t loadedMark_ = 0;
};

// "Camera_Register_%02X" for index 0..15.
std::string RegisterSectionName(int index);

}  // namespace quillon
