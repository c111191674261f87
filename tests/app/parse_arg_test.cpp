#include "app/parse_arg.h"

#include <gtest/gtest.h>

#include "data/settings.h"
#include "support/debug_lines.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

std::string Join(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) line += (line.empty() ? "" : " ") + arg;
  return line;
}

TEST(ParseArgTest, AcceptedAndRejectedForms) {
  struct Case {
    std::vector<std::string> args;
    int result;
    char letter;
    const char* file;
    int index;
    bool tracedInvalid;
  };
  const Case cases[] = {
      {{"q", "-f", "-write", "image.rfw"}, 1, 'W', "image.rfw", 0, false},
      {{"q", "-f", "image.rfw"}, 1, 'W', "image.rfw", 0, false},
      {{"q", "-f", "-write", "image.rfw", "-d", "2"}, 1, 'W', "image.rfw", 2, false},
      {{"q", "-f", "image.rfw", "-d", "2"}, 1, 'W', "image.rfw", 0, false},
      {{"q", "-f", "image.rfw", "x", "-d", "3"}, 1, 'W', "image.rfw", 3, false},
      {{"q", "-f", "-erase", "x"}, 1, 'E', "x", 0, false},
      {{"q", "-f", "-verify", "a.rfw", "-d", "abc"}, 1, 'V', "a.rfw", 0, false},
      {{"q", "-f", "-version", "x"}, 1, 'D', "x", 0, false},
      {{"q", "-f", "-detect", "a.rfw"}, 1, 'C', "a.rfw", 0, false},
      {{"q", "-f", "-dumpotp", "otp.bin"}, 1, 'Y', "otp.bin", 0, false},
      {{"q", "-f", "-dumpspi", "spi.bin"}, 1, 'Z', "spi.bin", 0, false},
      {{"q", "-write", "-f", "image.rfw"}, 1, 'W', "-f", 0, true},
      {{"q", "-f", "-WRITE", "image.rfw"}, 1, 'W', "-WRITE", 0, true},
      {{"q", "-f"}, 0, 0, "", 0, true},
      {{"q", "-f", "-write", "a", "-d", "1", "extra"}, 0, 0, "", 0, true},
  };
  for (const Case& c : cases) {
    testing::DebugLines debug;
    CParseArg parse;
    SCOPED_TRACE(Join(c.args));
    EXPECT_EQ(parse.Parse_Arg_Normal(Join(c.args), c.args), c.result);
    auto texts = debug.texts();
    bool traced = texts.size() == 2 && texts[0] == "----------------:" && texts[1] == "Fail --- Invalid parameter!";
    EXPECT_EQ(traced, c.tracedInvalid);
    if (c.result == 0) continue;
    EXPECT_EQ(parse.commandLetter, static_cast<std::uint8_t>(c.letter));
    EXPECT_EQ(parse.fileArgument, c.file);
    EXPECT_EQ(parse.deviceIndex, c.index);
    EXPECT_EQ(parse.dumpSize, c.letter == 'Z' ? 0x10000u : 0u);
  }
}

TEST(ParseArgTest, WithoutDashFTheResultFileSaysFail) {
  testing::TempDir dir;
  CParseArg parse;
  parse.programDir = dir.path();
  EXPECT_EQ(parse.Parse_Arg_Normal("quillon -write x.rfw", {"quillon", "-write", "x.rfw"}), 0);
  EXPECT_EQ(testing::ReadText(dir.path() / "Result.txt"), "fail");
}

TEST(ResultFileTest, TextsByMode) {
  struct Case {
    int mode;
    bool pass, atExecute;
    const char* text;
  };
  const Case cases[] = {
      {0, true, true, nullptr},          {1, true, true, "pass"},   {1, false, false, "fail"},
      {2, true, true, "TestResult = pass"}, {2, false, false, "TestResult = fail"},
      {3, true, true, "pass"},           {3, false, true, "fail"},  {3, false, false, nullptr},
      {-1, false, true, nullptr},
  };
  for (const Case& c : cases) {
    const char* text = ResultText(c.mode, c.pass, c.atExecute);
    if (c.text == nullptr) {
      EXPECT_EQ(text, nullptr) << c.mode;
    } else {
      ASSERT_NE(text, nullptr) << c.mode;
      EXPECT_STREQ(text, c.text);
    }
  }
}

TEST(ResultFileTest, PreparationOpenEmptiesTheFileEvenWhenNothingIsWritten) {
  testing::TempDir dir;
  dir.Write("Result.txt", "old");
  CParseArg parse;
  parse.programDir = dir.path();
  parse.saveResultMode = -1;
  parse.OpenResultFile();
  parse.WriteResult(false, false);
  EXPECT_EQ(testing::ReadText(dir.path() / "Result.txt"), "");
}

TEST(BurnLogTest, LineColumnsMatchTheHeader) {
  std::tm when{};
  when.tm_year = 2017 - 1900;
  when.tm_mon = 3;
  when.tm_mday = 14;
  when.tm_hour = 13;
  when.tm_min = 44;
  when.tm_sec = 59;
  std::string line = BurnLogLine(when, "VID_3A7C&PID_0011", true, 0);
  EXPECT_EQ(line,
            "2017-04-14,       13:44:59,         VID_3A7C&PID_0011,         Pass,    0:\r\n");
  // Each field starts where a column of the header starts.
  std::string header(kBurnLogHeader2);
  std::vector<std::size_t> columns{0};
  for (std::size_t at = header.find(" ="); at != std::string::npos; at = header.find(" =", at + 1)) columns.push_back(at + 1);
  ASSERT_EQ(columns, (std::vector<std::size_t>{0, 18, 36, 63, 72}));
  EXPECT_EQ(line.find("13:44"), columns[1]);
  EXPECT_EQ(line.find("VID_"), columns[2]);
  EXPECT_EQ(line.find("Pass,"), columns[3]);
  EXPECT_EQ(line.find("0:"), columns[4]);
  std::string longName(40, 'n');
  EXPECT_NE(BurnLogLine(when, longName, false, 41705).find(longName + ",Fail,    41705:\r\n"), std::string::npos);
}

TEST(BurnLogTest, HeaderOnlyWhenTheFileIsCreated) {
  testing::TempDir dir;
  ASSERT_TRUE(AppendBurnLog(dir.path(), "first\r\n"));
  ASSERT_TRUE(AppendBurnLog(dir.path(), "second\r\n"));
  EXPECT_EQ(testing::ReadText(dir.path() / "burn_result.txt"),
            std::string(kBurnLogHeader1) + kBurnLogHeader2 + "first\r\nsecond\r\n");
  EXPECT_FALSE(AppendBurnLog(dir.path() / "missing", "x\r\n"));
}

}  // namespace
}  // namespace quillon
