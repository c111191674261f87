#include "data/settings.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/files.h"
#include "platform/resources.h"

namespace quillon {

void CConfigIni::LoadFromText(std::string text) {
  rawText_ = std::move(text);
  document_.Clear();
  document_.LoadText(rawText_);
}

CConfigIni& TheSettings() {
  static CConfigIni settings;
  return settings;
}

bool LoadSettings(const std::string& programDir) {
  MakeWritableIfReadOnly(std::filesystem::path(programDir) / "config.ini");
  bool ok = true;
  std::optional<std::string> text;
  if (const char* file = std::getenv("QUILLON_SETTINGS"); file != nullptr && *file != '\0') {
    if (auto bytes = ReadWholeFile(file)) {
      text.emplace(bytes->begin(), bytes->end());
    } else {
      std::fprintf(stderr, "quillon: cannot read the settings file %s; using the built-in settings\n", file);
      ok = false;
    }
  }
  if (!text) {
    auto builtin = FindTextResource(kSettingsResource);
    text.emplace(builtin ? *builtin : std::string_view());
  }
  TheSettings().LoadFromText(std::move(*text));
  return ok;
}

std::uint32_t GetSettingInt(int def, std::string_view section, std::string_view key) {
  return TheSettings().Document().GetInt(section, key, def);
}

std::string GetSettingString(std::string_view def, std::string_view section, std::string_view key) {
  return TheSettings().Document().GetString(section, key, def);
}

void SetSettingInt(std::string_view section, std::string_view key, std::uint32_t value) {
  TheSettings().Document().SetValue(true, section, key, std::to_string(value));
}

namespace {
std::atomic<int>& IniTypeValue() {
  static std::atomic<int> value{0};
  return value;
}
}  // namespace

int StoredIniType() { return IniTypeValue().load(); }
void SetStoredIniType(int value) { IniTypeValue().store(value); }

}  // namespace quillon
