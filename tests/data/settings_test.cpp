#include "data/settings.h"
#include "data/setting_rules.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "support/temp_dir.h"

namespace quillon {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void TearDown() override { TheSettings().LoadFromText(""); }
  testing::TempDir dir;
};

TEST_F(SettingsTest, BuiltInTextSetsTwoKeysAndTheRestTakeTheirDefaults) {
  testing::ScopedEnv noFile("QUILLON_SETTINGS", "");
  EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kBuiltIn);
  EXPECT_EQ(Setting(key::kCheckVidPidIni, 0), 1u);
  EXPECT_EQ(Setting(key::kAutoRun, 7), 0u);
  EXPECT_EQ(Setting(key::kWaitTime, 5000), 5000u);
  EXPECT_EQ(GetSettingString("", kConfigSection, key::kOtpPassword), "");
  EXPECT_NE(TheSettings().RawText().find("CheckVIDPID_INI=1"), std::string::npos);
}

TEST_F(SettingsTest, SettingsFileReplacesTheBuiltInText) {
  auto file = dir.Write("station.ini", "[Quillon Config]\r\nWait Time=50\r\n");
  testing::ScopedEnv settings("QUILLON_SETTINGS", file.string());
  EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kFile);
  EXPECT_EQ(Setting(key::kWaitTime, 5000), 50u);
  EXPECT_EQ(Setting(key::kCheckVidPidIni, 0), 0u);
}

// A station keeps its settings in its configuration directory; the
// environment still wins, and without either the built-in text holds.
TEST_F(SettingsTest, SettingsFileInTheConfigurationDirectory) {
  testing::ScopedEnv home("QUILLON_HOME", dir.path().string());
  testing::ScopedEnv noEnv("QUILLON_SETTINGS", "");
  EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kBuiltIn);
  dir.Write("quillon.conf", "[Quillon Config]\r\nWait Time=70\r\n");
  EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kFile);
  EXPECT_EQ(Setting(key::kWaitTime, 5000), 70u);
  auto named = dir.Write("named.ini", "[Quillon Config]\r\nWait Time=80\r\n");
  testing::ScopedEnv env("QUILLON_SETTINGS", named.string());
  EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kFile);
  EXPECT_EQ(Setting(key::kWaitTime, 5000), 80u);
}

TEST_F(SettingsTest, UnreadableSettingsFileLeavesNoSettings) {
  std::filesystem::create_directory(dir.path() / "folder.ini");
  for (const auto& path : {dir.path() / "missing.ini", dir.path() / "folder.ini"}) {
    testing::ScopedEnv settings("QUILLON_SETTINGS", path.string());
    EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kFileUnusable) << path;
    EXPECT_EQ(Setting(key::kCheckVidPidIni, 0), 0u);
  }
}

// A file that is there but is no settings text must not let the station run
// on the built-in text, without its records and its image.
TEST_F(SettingsTest, FileWithoutSettingsTextRefusesTheRun) {
  const std::string cases[] = {std::string("\x7f\x00\x13[Quillon Config]\nWait Time=1", 28),
                               "just some notes\nWait Time=1\n", ""};
  for (const std::string& content : cases) {
    auto file = dir.Write("station.ini", content);
    testing::ScopedEnv settings("QUILLON_SETTINGS", file.string());
    EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kFileUnusable);
    EXPECT_EQ(Setting(key::kCheckVidPidIni, 0), 0u);
  }
}

// Editors on other desktops start a file with a byte-order mark and end lines with CR LF.
TEST_F(SettingsTest, ByteOrderMarkAndCrLfAreRead) {
  auto file = dir.Write("station.ini", "\xEF\xBB\xBF[Quillon Config]\r\nStationName=L3\r\nSaveResultToFile=1\r\n");
  testing::ScopedEnv settings("QUILLON_SETTINGS", file.string());
  EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kFile);
  EXPECT_EQ(Setting(key::kSaveResultToFile, 0), 1u);
  EXPECT_EQ(GetSettingString("", kConfigSection, key::kStationName), "L3");
}

// A value a key that guards the run cannot mean refuses the run; other keys run on.
TEST_F(SettingsTest, BadValueOfAGuardingKeyRefusesTheRun) {
  const struct {
    const char* text;
    SettingsLoad outcome;
  } cases[] = {
      {"[Quillon Config]\nSaveResultToFile=yes\n", SettingsLoad::kFileUnusable},
      {"[Quillon Config]\nGang=maybe\n", SettingsLoad::kFileUnusable},
      {"SaveSN=1\n[Quillon Config]\n", SettingsLoad::kFileUnusable},
      {"[Quillon Config]\nWait Time=abc\nDebug Log=1x\nEraseTimeOut=999999\n", SettingsLoad::kFile},
  };
  for (const auto& c : cases) {
    auto file = dir.Write("station.ini", c.text);
    testing::ScopedEnv settings("QUILLON_SETTINGS", file.string());
    EXPECT_EQ(LoadSettings(dir.path().string(), false), c.outcome) << c.text;
  }
}

// The sample a package installs as the station's settings: it must run as the
// built-in text does, name every key, and each default it shows, once set,
// must be a value the settings check takes without a word.
TEST_F(SettingsTest, StationSampleRunsAsTheBuiltInTextAndShowsEveryKeyWithAGoodDefault) {
  const std::string sample = QUILLON_STATION_SETTINGS_SAMPLE;
  testing::ScopedEnv settings("QUILLON_SETTINGS", sample);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadSettings(dir.path().string()), SettingsLoad::kFile);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  CIniFile asShipped;
  asShipped.LoadText(TheSettings().RawText());
  {
    testing::ScopedEnv builtIn("QUILLON_SETTINGS", "");
    ASSERT_EQ(LoadSettings(dir.path().string(), false), SettingsLoad::kBuiltIn);
  }
  for (const char* name : key::kAll) {
    EXPECT_EQ(asShipped.GetString(kConfigSection, name, "unset"), GetSettingString("unset", kConfigSection, name))
        << name;
  }

  // Every "Key=value" line, and every "; Key=default   what it does" line set.
  std::ifstream file(sample);
  std::string asSet = "[Quillon Config]\n";
  std::set<std::string> shown;
  for (std::string line; std::getline(file, line);) {
    const bool commented = line.rfind("; ", 0) == 0;
    const std::size_t from = commented ? 2 : 0;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || equals < from) continue;
    const SettingRule* rule = FindSettingRule(line.substr(from, equals - from));
    if (rule == nullptr) continue;  // prose
    const std::size_t gap = line.find("  ", equals);
    asSet += std::string(rule->key) + "=" + line.substr(equals + 1, gap == std::string::npos ? gap : gap - equals - 1) + "\n";
    shown.insert(std::string(rule->key));
  }
  for (const char* name : key::kAll) EXPECT_EQ(shown.count(name), 1u) << name << " is not in the sample";
  CIniFile allSet;
  allSet.LoadText(asSet);
  EXPECT_EQ(SettingProblems(allSet), std::vector<SettingProblem>{}) << asSet;
  EXPECT_EQ(UnknownSettingKeys(allSet), std::vector<UnknownSetting>{}) << asSet;
}

TEST_F(SettingsTest, ConfigIniIsMadeWritableButNeverRead) {
  testing::ScopedEnv noFile("QUILLON_SETTINGS", "");
  auto config = dir.Write("config.ini", "[Quillon Config]\r\nAutoRun=1\r\n");
  std::filesystem::permissions(config, std::filesystem::perms::owner_read);
  LoadSettings(dir.path().string());
  EXPECT_EQ(Setting(key::kAutoRun, 0), 0u);
  auto perms = std::filesystem::status(config).permissions();
  EXPECT_NE(perms & std::filesystem::perms::owner_write, std::filesystem::perms::none);
}

TEST_F(SettingsTest, SetSettingIntChangesOnlyTheDocumentInMemory) {
  testing::ScopedEnv noFile("QUILLON_SETTINGS", "");
  LoadSettings(dir.path().string());
  SetSettingInt(kConfigSection, key::kPortNo, 3);
  EXPECT_EQ(Setting(key::kPortNo, 0), 3u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// Keys of the settings section that no feature reads, with the line that set
// them and the key they are most likely a typo of; names stay case-insensitive.
TEST(UnknownSettingKeysTest, NamesTyposWithTheirLineAndNearestKey) {
  CIniFile document;
  document.LoadText(
      "; station 3\r\n"
      "[Quillon Config]\r\n"
      "SaveResultsToFile=1\r\n"
      "\r\n"
      "waIT tIME=50\r\n"
      "Wait Time =60\r\n"
      "[Other]\r\n"
      "Anything=1\r\n"
      "[QUILLON CONFIG]\r\n"
      "DebugLog=1\r\n"
      "LogType=1\r\n"
      "SaveResultsToFile=2\r\n");
  const std::vector<UnknownSetting> expected = {
      {12, "SaveResultsToFile", "SaveResultToFile"},  // set again: the last line that set it
      {6, "Wait Time ", "Wait Time"},                 // a blank before "=" is part of the key
      {10, "DebugLog", "Debug Log"},
  };
  EXPECT_EQ(UnknownSettingKeys(document), expected);

  CIniFile clean;
  clean.LoadText("[quillon config]\nresultjson=a.json\nCHECKVIDPID_INI=1\n");
  EXPECT_TRUE(UnknownSettingKeys(clean).empty());
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// Each value read otherwise than written: its line, key, value, what is taken
// and whether the run is refused.
TEST(SettingProblemsTest, NamesEveryValueTakenOtherwiseThanWritten) {
  CIniFile document;
  document.LoadText(
      "LogType=1\r\n"
      "[Quillon Config]\r\n"
      "SaveResultToFile=yes\r\n"
      "Wait Time=abc\r\n"
      "Debug Log=1x\r\n"
      "EraseTimeOut=999999\r\n"
      "Gang=maybe\r\n"
      "CheckVIDPID_INI=3\r\n"
      "SaveSN= 0x1 \r\n"
      "AutoRun=2\r\n"
      "Wait Time =-1\r\n"
      "ResultJson=runs.jsonl\r\n"
      "EraseCommandTime=-5\r\n");
  const std::vector<SettingProblem> expected = {
      {1, "LogType", "1", "", "stands above the [Quillon Config] header", false},
      {3, "SaveResultToFile", "yes", "0", "is not a number", true},
      {4, "Wait Time", "abc", "0", "is not a number", false},
      {5, "Debug Log", "1x", "1", "is not a number", false},
      {6, "EraseTimeOut", "999999", "120000", "is outside 1000..120000 ms", false},
      {7, "Gang", "maybe", "0", "is not a number", true},
      {8, "CheckVIDPID_INI", "3", "3", "is not one of 0 to 2", true},
      {13, "EraseCommandTime", "-5", "0", "is outside 0..60000 ms", false},
  };
  EXPECT_EQ(SettingProblems(document), expected);
  EXPECT_EQ(SettingProblemLine("/etc/quillon/quillon.conf", expected[1]),
            "/etc/quillon/quillon.conf:3: key \"SaveResultToFile\": value \"yes\" is not a number; taken as 0; "
            "the run is refused");
  EXPECT_EQ(SettingProblemLine("s.conf", expected[0]),
            "s.conf:1: key \"LogType\": value \"1\" stands above the [Quillon Config] header; it is never read");
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

TEST(ParseTimesOfDayTest, TakesAscendingClockTimesAndRefusesTheRest) {
  const struct {
    const char* text;
    std::optional<std::vector<int>> minutes;
  } cases[] = {
      {"06:00,14:00,22:00", std::vector<int>{360, 840, 1320}},
      {" 6:30 , 18:30 ", std::vector<int>{390, 1110}},
      {"00:00", std::vector<int>{0}},
      {"23:59", std::vector<int>{1439}},
      {"", std::nullopt},
      {"06:00,", std::nullopt},
      {"24:00", std::nullopt},
      {"06:60", std::nullopt},
      {"06:0", std::nullopt},
      {"6", std::nullopt},
      {"006:00", std::nullopt},
      {"06:00;14:00", std::nullopt},
      {"14:00,06:00", std::nullopt},  // out of order: most likely a typo
      {"06:00,06:00", std::nullopt},
      {"-1:00", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseTimesOfDay(c.text), c.minutes) << '"' << c.text << '"';
}

// A bad shift list is named with what the report takes instead; it refuses no run.
TEST(SettingProblemsTest, ShiftStartsThatDoNotParseAreNamedWithTheDefaultTaken) {
  CIniFile document;
  document.LoadText("[Quillon Config]\nStationName=L3\nShiftStarts=6h,14h\n");
  const std::vector<SettingProblem> problems = SettingProblems(document);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(SettingProblemLine("q.conf", problems[0]),
            "q.conf:3: key \"ShiftStarts\": value \"6h,14h\" is not a list of ascending times such as "
            "06:00,14:00,22:00; taken as 06:00,14:00,22:00");
}

}  // namespace
}  // namespace quillon
