#include "data/user_ini.h"

#include <cstdio>

namespace quillon {

std::string RegisterSectionName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "Camera_%s_%02X", "Register", index);
  return name;
}

bool CUserIni::GetConfigSize(std::uint32_t* out) const {
  if (out == nullptr) return false;
  *out = GetInt(kVendorInfoSection, "ConfigSize", 0);
  return true;
}

bool CUserIni::GetVendorInfo(std::string_view key, std::uint32_t* out) const {
  if (out == nullptr) return false;
  *out = GetInt(kVendorInfoSection, key, 0);
  return true;
}

void CUserIni::GetChipInfo(std::uint8_t& out) {
  int section = FindSection(RegisterSectionName(0));
  if (section >= 0) out = static_cast<std::uint8_t>(GetInt(section, "ChipInfo", out));
  chipInfo_ = out;
}

bool CUserIni::MatchIcRegisters(std::uint8_t reg1, std::uint8_t reg2) {
  for (int i = 0; i < kRegisterSectionCount; ++i) {
    int section = FindSection(RegisterSectionName(i));
    if (section < 0) continue;
    auto r1 = static_cast<std::uint8_t>(GetInt(section, "ICRegister1", 0));
    auto r2 = static_cast<std::uint8_t>(GetInt(section, "ICRegister2", 0));
    if (r1 == reg1 && r2 == reg2) {
      matchedReg1_ = reg1;
      matchedReg2_ = reg2;
      chipInfo_ = static_cast<std::uint8_t>(GetInt(section, "ChipInfo", 0));
      return true;
    }
  }
  return false;
}

}  // namespace quillon
