// The IC profile document: which profiles exist (built in or "*.INI" files next
// to the program), which one is loaded, and the built-in IC type table.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/user_ini.h"

namespace quillon {

inline constexpr const char* kDefaultProfileName = "TQ7704.INI";

struct NamedValue {
  const char* name;
  int value;
};

// Rows of the built-in IC type table, in table order.
inline constexpr NamedValue kMemoryTypeNames[] = {
    {"FLASH", 0}, {"EEPROM8", 2}, {"EEPROM16", 3}, {"MTP", 4}, {"OTP", 6}};
inline constexpr NamedValue kBusTypeNames[] = {{"USB", 0}, {"PCIE", 1}, {"MIPI", 2}};
inline constexpr NamedValue kBuiltinFirmwareNames[] = {{"FFU_7702", 3012},
                                                       {"FFU_7704", 3018},
                                                       {"FFU_7724", 3020},
                                                       {"FFU_3A7C_0011", 3021},
                                                       {"FFU_3A7C_0022", 3022}};
inline constexpr NamedValue kIcProfiles[] = {{"TQ7702", 2030}, {"TQ7704", 2031}, {"TQ7724", 2032}};

class CICTypeIni : public CUserIni {
 public:
  CICTypeIni();

  // Fills the profile list from the "*.INI" files of the program directory
  // ("Ini Type" 1) or from the IC table.
  void BuildProfileList();
  // Loads the profile that the current name selects.
  void LoadCurrentProfile();
  void SelectProfile(int index);
  bool SelectProfileAndMatch(std::uint8_t reg1, std::uint8_t reg2, int index);
  // "Bus Type" (into the current bus type) and "Ic Name".
  void ReadProfileHeader();
  void ReadIcName();
  bool GetDefaultFirmwareId(int* out) const;
  void GetBuiltinFirmwareId(std::string_view name, int* out) const;
  void LoadProfileFile();
  bool LoadProfileResource(int number);

  const std::string& CurrentName() const { return currentName_; }
  void SetCurrentName(std::string name) { currentName_ = std::move(name); }
  const std::vector<std::string>& ProfileList() const { return profileList_; }
  const std::string& IcName() const { return icName_; }
  const std::string& RawResourceText() const { return rawText_; }

 private:
  bool FileMode() const;
  void ClearProfile(bool clearLoadedMark);
  // The list entry (file mode) or IC table row `index`; past the end loads nothing.
  void LoadProfileAt(int index);

  std::string currentName_ = kDefaultProfileName;
  std::vector<std::string> profileList_;
  // Upper-cased list name to the file's real name (the file system is case-sensitive).
  std::map<std::string, std::string> realFileNames_;
  std::string icName_;
  std::map<std::string, int, std::less<>> memoryTypes_;
  std::map<std::string, int, std::less<>> busTypes_;
  std::map<std::string, int, std::less<>> firmwareNames_;
  std::vector<NamedValue> icTable_;
  std::string rawText_;
};

// A new profile document as the device-type set-up makes it: list built,
// current profile loaded, header read.
std::unique_ptr<CICTypeIni> OpenProfileDocument();

// The process's current profile document (null until created).
CICTypeIni* CurrentProfile();
// Replaces (or with nullptr destroys) the current profile document.
void SetCurrentProfile(std::unique_ptr<CICTypeIni> profile);

}  // namespace quillon
