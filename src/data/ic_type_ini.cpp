#include "data/ic_type_ini.h"

#include <algorithm>

#include "data/current_types.h"
#include "data/settings.h"
#include "platform/files.h"
#include "platform/resources.h"

namespace quillon {

CICTypeIni::CICTypeIni() {
  for (const NamedValue& row : kMemoryTypeNames) memoryTypes_.emplace(row.name, row.value);
  for (const NamedValue& row : kBusTypeNames) busTypes_.emplace(row.name, row.value);
  for (const NamedValue& row : kBuiltinFirmwareNames) firmwareNames_.emplace(row.name, row.value);
  icTable_.assign(std::begin(kIcProfiles), std::end(kIcProfiles));
}

bool CICTypeIni::FileMode() const { return StoredIniType() == 1; }

void CICTypeIni::ClearProfile(bool clearLoadedMark) {
  Clear();
  if (clearLoadedMark) ClearLoadedMark();
  icName_.clear();
}

void CICTypeIni::BuildProfileList() {
  profileList_.clear();
  realFileNames_.clear();
  std::vector<std::string> names;
  if (FileMode()) {
    names = ListFilesWithExtension(ConfigDir(), ".INI");
  } else {
    for (const NamedValue& row : icTable_) names.push_back(std::string(row.name) + ".ini");
  }
  for (const std::string& name : names) {
    if (name == "config.ini") continue;
    std::string upper = ToUpperAscii(name);
    profileList_.push_back(upper);
    realFileNames_.emplace(upper, name);
  }
}

void CICTypeIni::LoadCurrentProfile() {
  ClearProfile(true);
  if (!FileMode()) {
    int resource = 2030;
    for (const NamedValue& row : icTable_) {
      if (ToUpperAscii(std::string(row.name) + ".ini") == currentName_) {
        resource = row.value;
        break;
      }
    }
    LoadProfileResource(resource);
    return;
  }
  if (profileList_.empty()) {
    currentName_.clear();
    return;
  }
  if (profileList_.size() == 1) {
    currentName_ = profileList_.front();
  } else if (currentName_.empty() ||
             std::find(profileList_.begin(), profileList_.end(), currentName_) == profileList_.end()) {
    currentName_ = profileList_.front();
  }
  LoadProfileFile();
}

void CICTypeIni::LoadProfileAt(int index) {
  const bool inRange = index >= 0;
  const auto at = static_cast<std::size_t>(index);
  if (FileMode()) {
    if (profileList_.empty()) {
      currentName_.clear();
      return;
    }
    currentName_ = inRange && at < profileList_.size() ? profileList_[at] : std::string();
    LoadProfileFile();
    return;
  }
  if (inRange && at < icTable_.size()) LoadProfileResource(icTable_[at].value);
}

void CICTypeIni::SelectProfile(int index) {
  ClearProfile(true);
  LoadProfileAt(index);
}

bool CICTypeIni::SelectProfileAndMatch(std::uint8_t reg1, std::uint8_t reg2, int index) {
  ClearProfile(false);
  LoadProfileAt(index);
  return MatchIcRegisters(reg1, reg2);
}

void CICTypeIni::ReadProfileHeader() {
  std::string bus = GetString(kConfigSection, "Bus Type", "");
  if (auto it = busTypes_.find(bus); it != busTypes_.end()) SetCurrentBusType(static_cast<BusType>(it->second));
  ReadIcName();
}

void CICTypeIni::ReadIcName() { icName_ = GetString(kConfigSection, "Ic Name", "").substr(0, kIniMaxLine); }

bool CICTypeIni::GetDefaultFirmwareId(int* out) const {
  std::string name = GetString(kConfigSection, "Def Bin", "");
  auto it = firmwareNames_.find(name);
  if (it == firmwareNames_.end() || out == nullptr) return false;
  *out = it->second;
  return true;
}

void CICTypeIni::GetBuiltinFirmwareId(std::string_view name, int* out) const {
  if (out == nullptr) return;
  if (profileList_.empty()) {
    *out = 0;
    return;
  }
  if (auto it = firmwareNames_.find(name.substr(0, kIniMaxLine)); it != firmwareNames_.end()) *out = it->second;
}

void CICTypeIni::LoadProfileFile() {
  // An empty name would name the directory itself.
  if (currentName_.empty()) return;
  auto real = realFileNames_.find(currentName_);
  const std::string& fileName = real != realFileNames_.end() ? real->second : currentName_;
  SetPath((ConfigDir() / fileName).string());
  LoadFile();
}

bool CICTypeIni::LoadProfileResource(int number) {
  auto text = FindTextResource(number, "ICINI");
  if (!text || text->empty()) return false;
  rawText_.assign(*text);
  LoadText(rawText_);
  return true;
}

std::unique_ptr<CICTypeIni> OpenProfileDocument() {
  auto profile = std::make_unique<CICTypeIni>();
  profile->BuildProfileList();
  profile->LoadCurrentProfile();
  profile->ReadProfileHeader();
  return profile;
}

namespace {
std::unique_ptr<CICTypeIni>& CurrentProfileSlot() {
  static std::unique_ptr<CICTypeIni> profile;
  return profile;
}
}  // namespace

CICTypeIni* CurrentProfile() { return CurrentProfileSlot().get(); }

void SetCurrentProfile(std::unique_ptr<CICTypeIni> profile) { CurrentProfileSlot() = std::move(profile); }

}  // namespace quillon
