#include "data/ini_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "support/debug_lines.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

constexpr std::uint32_t kMissing = 0xDEADBEEF;

// One row: parse `text`, then look up `section`/`key`.
struct LookupCase {
  const char* what;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> value;  // nothing: the key must be missing
  std::uint32_t number;              // GetInt with default kMissing
};
// Listings and failures name the case, not its bytes.
void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.what; }

class IniLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(IniLookupTest, ReadsAsStored) {
  const LookupCase& c = GetParam();
  CIniFile ini;
  ini.LoadText(c.text);
  std::string value = ini.GetString(c.section, c.key, "<none>");
  if (c.value) {
    EXPECT_EQ(value, *c.value);
  } else {
    EXPECT_EQ(value, "<none>");
  }
  EXPECT_EQ(ini.GetInt(c.section, c.key, static_cast<int>(kMissing)), c.number);
}

INSTANTIATE_TEST_SUITE_P(
    Quirks, IniLookupTest,
    ::testing::Values(
        LookupCase{"plain", "[Quillon Config]\r\nAutoRun=1\r\n", "Quillon Config", "AutoRun", "1", 1},
        LookupCase{"names fold case", "[quillon config]\r\nautorun=2\r\n", "Quillon Config", "AUTORUN", "2", 2},
        LookupCase{"key keeps trailing blank", "[S]\r\nkey = 5\r\n", "S", "key", std::nullopt, kMissing},
        LookupCase{"value keeps leading blank", "[S]\r\nkey = 5\r\n", "S", "key ", " 5", 5},
        LookupCase{"hexadecimal", "[S]\r\nICRegister1=0x10\r\n", "S", "ICRegister1", "0x10", 16},
        LookupCase{"octal", "[S]\r\nv=017\r\n", "S", "v", "017", 15},
        LookupCase{"empty value", "[S]\r\nv=\r\n", "S", "v", "", 0},
        LookupCase{"digits then letters", "[S]\r\nv=42ms\r\n", "S", "v", "42ms", 42},
        LookupCase{"quotes kept", "[S]\r\nv=\"a b\"\r\n", "S", "v", "\"a b\"", 0},
        LookupCase{"line without equals is a key", "[S]\r\nbare key\r\n", "S", "bare key", "", 0},
        LookupCase{"key before any section", "early=7\r\n[S]\r\n", "", "early", "7", 7},
        LookupCase{"repeated key overwrites", "[S]\r\nv=1\r\nv=2\r\n", "S", "v", "2", 2},
        LookupCase{"comment after equals stays in value", "[S]\r\nv=3;c\r\n", "S", "v", "3;c", 3},
        LookupCase{"comment line dropped", "[S]\r\n;v=1\r\n#w=2\r\n", "S", "v", std::nullopt, kMissing},
        LookupCase{"text before comment dropped", "[S]\r\nv ;=1\r\n", "S", "v ", std::nullopt, kMissing},
        LookupCase{"header without closing bracket ignored", "[S]\r\n[T\r\nv=1\r\n", "S", "v", "1", 1},
        LookupCase{"bracket before open ignored", "[S]\r\n]x[\r\nv=1\r\n", "S", "v", "1", 1},
        LookupCase{"last closing bracket ends the name", "[a]b]\r\nv=1\r\n", "a]b", "v", "1", 1},
        LookupCase{"LF only line ends", "[S]\nv=9\n", "S", "v", "9", 9},
        LookupCase{"missing section gives default", "[S]\r\n", "T", "v", std::nullopt, kMissing},
        LookupCase{"negative default", "", "S", "v", std::nullopt, kMissing}),
    [](const ::testing::TestParamInfo<LookupCase>& info) {
      std::string name;
      for (char ch : std::string(info.param.what)) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

TEST(IniFileTest, RepeatedSectionHeaderKeepsKeysInTheFirst) {
  CIniFile ini;
  ini.LoadText("[S]\r\nk=1\r\n[T]\r\n[S]\r\nk=2\r\n");
  ASSERT_EQ(ini.SectionNames(), (std::vector<std::string>{"S", "T", "S"}));
  EXPECT_EQ(ini.GetString(0, "k", ""), "2");
  EXPECT_TRUE(ini.SectionBodies()[2].keys.empty());
  EXPECT_EQ(ini.FindSection("s"), 0);
}

TEST(IniFileTest, NonPrintableFirstCharacterStopsTheParseKeepingWhatCameBefore) {
  struct Case {
    const char* what;
    std::string text;
    int code;
  };
  const Case cases[] = {
      {"tab", "[A]\r\nx=1\r\n\tk=2\r\n[B]\r\n", 9},
      {"byte-order mark", "[A]\r\nx=1\r\n\xEF\xBB\xBF[B]\r\n", 0xEF},
  };
  for (const Case& c : cases) {
    testing::DebugLines debug;
    CIniFile ini;
    EXPECT_FALSE(ini.LoadText(c.text)) << c.what;
    EXPECT_EQ(ini.SectionNames(), std::vector<std::string>{"A"}) << c.what;
    EXPECT_EQ(ini.GetString("A", "x", ""), "1");
    EXPECT_EQ(debug.texts(), std::vector<std::string>{"Failing on char " + std::to_string(c.code)}) << c.what;
  }
  CIniFile bomFirst;
  EXPECT_FALSE(bomFirst.LoadText("\xEF\xBB\xBF[A]\r\nx=1\r\n"));
  EXPECT_TRUE(bomFirst.SectionNames().empty());
}

TEST(IniFileTest, CommentsGoToTheCurrentSectionOrTheHeader) {
  CIniFile ini;
  ini.LoadText("; top\r\n[S]\r\n# inside\r\n");
  EXPECT_EQ(ini.HeaderComments(), std::vector<std::string>{" top"});
  EXPECT_EQ(ini.SectionBodies()[0].comments, std::vector<std::string>{" inside"});
}

TEST(IniFileTest, LinesAreCutTo259Characters) {
  CIniFile ini;
  std::string longValue(400, 'v');
  ini.LoadText("[S]\r\nk=" + longValue + "\r\n");
  EXPECT_EQ(ini.GetString("S", "k", "").size(), kIniMaxLine - 2);
}

TEST(IniFileTest, SetValueCreatesOnlyWhenAsked) {
  CIniFile ini;
  EXPECT_FALSE(ini.SetValue(false, "S", "k", "1"));
  EXPECT_EQ(ini.FindSection("S"), -1);
  EXPECT_TRUE(ini.SetValue(true, "S", "k", "1"));
  EXPECT_FALSE(ini.SetValue(false, "S", "other", "1"));
  EXPECT_TRUE(ini.SetValue(false, "s", "K", "2"));
  EXPECT_EQ(ini.GetString("S", "k", ""), "2");
  EXPECT_EQ(ini.FindKey(5, "k"), -1);
}

TEST(IniFileTest, LoadFileReadsTheStoredPath) {
  testing::TempDir dir;
  auto file = dir.Write("TQ.INI", "[Quillon Config]\r\nIc Name=TQ7704\r\n");
  CIniFile ini;
  ini.SetPath(file.string());
  EXPECT_TRUE(ini.LoadFile());
  EXPECT_EQ(ini.GetString("Quillon Config", "Ic Name", ""), "TQ7704");
  CIniFile missing;
  missing.SetPath((dir.path() / "none.ini").string());
  EXPECT_FALSE(missing.LoadFile());
}

}  // namespace
}  // namespace quillon
