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

namespace {

// Text a person or a station script wrote holds no NUL byte and names our
// section; anything else (a binary file, the wrong file) is no settings text.
bool LooksLikeSettings(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return false;
  CIniFile probe;
  probe.LoadText(text);
  return probe.FindSection(kConfigSection) >= 0;
}

}  // namespace

SettingsLoad LoadSettings(const std::string& programDir) {
  MakeWritableIfReadOnly(std::filesystem::path(programDir) / "config.ini");
  SettingsLoad outcome = SettingsLoad::kBuiltIn;
  std::optional<std::string> text;
  if (const char* file = std::getenv("QUILLON_SETTINGS"); file != nullptr && *file != '\0') {
    if (auto bytes = ReadWholeFile(file)) {
      std::string read(bytes->begin(), bytes->end());
      if (LooksLikeSettings(read)) {
        text.emplace(std::move(read));
        outcome = SettingsLoad::kFile;
      } else {
        std::fprintf(stderr, "quillon: ignored the settings file %s: it holds no [%s] section; using the built-in settings\n",
                     file, kConfigSection);
        outcome = SettingsLoad::kFileIgnored;
      }
    } else {
      // A station that names its settings must not run on others by mistake.
      std::fprintf(stderr, "quillon: cannot read the settings file %s (missing, unreadable or not a regular file)\n", file);
      TheSettings().LoadFromText("");
      return SettingsLoad::kFileUnreadable;
    }
  }
  if (!text) {
    auto builtin = FindTextResource(kSettingsResource);
    text.emplace(builtin ? *builtin : std::string_view());
  }
  TheSettings().LoadFromText(std::move(*text));
  return outcome;
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
