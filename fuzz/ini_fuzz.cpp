// Feeds arbitrary text to the INI parser that reads the settings, the IC
// profiles and the accepted-device lists, then reads every key it found and
// the keys the tool asks for.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "data/ini_file.h"
#include "data/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  CIniFile ini;
  ini.LoadText(text);
  const auto& names = ini.SectionNames();
  const auto& bodies = ini.SectionBodies();
  if (names.size() != bodies.size()) __builtin_trap();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const int index = ini.FindSection(names[i]);
    if (index < 0) __builtin_trap();
    (void)ini.GetString(index, "ConfigAddress", "");
    (void)ini.GetInt(index, "ConfigSize", 0);
  }
  for (const char* key : {key::kWaitTime, key::kEraseTimeOut, key::kCheckVidPidIni, key::kAutoRun}) {
    (void)ini.GetInt(kConfigSection, key, 0);
    (void)ini.GetString(kConfigSection, key, "");
  }
  // Writing a value must leave a document that still finds it.
  if (ini.SetValue(true, kConfigSection, "Fuzz Key", "1") && ini.GetInt(kConfigSection, "Fuzz Key", 0) != 1) {
    __builtin_trap();
  }
  return 0;
}
