#include "data/settings.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "data/setting_rules.h"
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

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Edits (insert, delete, replace one character) from one text to the other.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

void ReportUnknownKeys(const CIniFile& document, const std::string& source) {
  for (const UnknownSetting& unknown : UnknownSettingKeys(document)) {
    std::fprintf(stderr, "quillon: %s:%d: unknown key \"%s\" in [%s] is ignored; nearest known key: \"%s\"\n",
                 source.c_str(), unknown.line, unknown.key.c_str(), kConfigSection, unknown.nearest.c_str());
  }
}

}  // namespace

std::vector<UnknownSetting> UnknownSettingKeys(const CIniFile& document) {
  std::vector<UnknownSetting> unknown;
  const std::string section = Lower(kConfigSection);
  const auto& names = document.SectionNames();
  const auto& bodies = document.SectionBodies();
  for (std::size_t s = 0; s < names.size() && s < bodies.size(); ++s) {
    if (Lower(names[s]) != section) continue;
    const auto& body = bodies[s];
    for (std::size_t k = 0; k < body.keys.size(); ++k) {
      const std::string typed = Lower(body.keys[k]);
      std::string nearest;
      std::size_t best = std::string::npos;
      for (const char* known : key::kAll) {
        const std::size_t distance = EditDistance(typed, Lower(known));
        if (distance < best) {
          best = distance;
          nearest = known;
        }
      }
      if (best == 0) continue;
      unknown.push_back({k < body.lines.size() ? body.lines[k] : 0, body.keys[k], nearest});
    }
  }
  return unknown;
}

SettingsLoad LoadSettings(const std::string& programDir, bool nameUnknownKeys) {
  MakeWritableIfReadOnly(std::filesystem::path(programDir) / "config.ini");
  SettingsLoad outcome = SettingsLoad::kBuiltIn;
  std::optional<std::string> text;
  // A station's settings: the file QUILLON_SETTINGS names, else the settings file in the configuration directory.
  std::string named;
  if (const char* env = std::getenv(kSettingsEnv); env != nullptr && *env != '\0') {
    named = env;
  } else {
    std::error_code error;
    const std::filesystem::path station = ConfigDir() / kSettingsFileName;
    if (std::filesystem::exists(station, error)) named = station.string();
  }
  if (!named.empty()) {
    const char* file = named.c_str();
    auto bytes = ReadWholeFile(file);
    if (!bytes) {
      // A station that names its settings must not run on others by mistake.
      std::fprintf(stderr, "quillon: cannot read the settings file %s (missing, unreadable or not a regular file)\n", file);
      TheSettings().LoadFromText("");
      return SettingsLoad::kFileUnusable;
    }
    const std::string read(WithoutByteOrderMark(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
    if (!LooksLikeSettings(read)) {
      // Nor on the built-in text, which would run without its records and its image.
      std::fprintf(stderr, "quillon: cannot use the settings file %s: it holds no [%s] section\n", file, kConfigSection);
      TheSettings().LoadFromText("");
      return SettingsLoad::kFileUnusable;
    }
    text.emplace(read);
    outcome = SettingsLoad::kFile;
  }
  if (!text) {
    auto builtin = FindTextResource(kSettingsResource);
    text.emplace(builtin ? *builtin : std::string_view());
  }
  TheSettings().LoadFromText(std::move(*text));
  const std::string source = outcome == SettingsLoad::kFile ? named : "built-in settings";
  if (nameUnknownKeys) ReportUnknownKeys(TheSettings().Document(), source);
  bool refused = false;
  for (const SettingProblem& problem : SettingProblems(TheSettings().Document())) {
    if (nameUnknownKeys || problem.refusesRun) {
      std::fprintf(stderr, "quillon: %s\n", SettingProblemLine(source, problem).c_str());
    }
    refused = refused || problem.refusesRun;
  }
  if (refused) {
    TheSettings().LoadFromText("");
    return SettingsLoad::kFileUnusable;
  }
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
