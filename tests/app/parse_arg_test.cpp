#include "app/parse_arg.h"

#include <gtest/gtest.h>

#include "data/settings.h"
#include "platform/trace.h"
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
  testing::TempDir dir;
  TraceInit(dir.path());  // an application test before may have shut the trace down
  const std::string image = dir.Write("image.rfw", "x").string();
  const std::string missing = (dir.path() / "missing.rfw").string();
  struct Case {
    std::vector<std::string> args;
    int result;
    char letter;
    std::string file;
    int index;
    bool indexGiven;
    bool tracedInvalid;
  };
  const Case cases[] = {
      {{"q", "-f", "-write", "image.rfw"}, 1, 'W', "image.rfw", 0, false, false},
      {{"q", "-f", image}, 1, 'W', image, 0, false, false},
      {{"q", "-f", "-write", "image.rfw", "-d", "2"}, 1, 'W', "image.rfw", 2, true, false},
      {{"q", "-f", "-write", "image.rfw", "-d", "0"}, 1, 'W', "image.rfw", 0, true, false},
      {{"q", "-f", image, "x", "-d", "3"}, 1, 'W', image, 3, true, false},
      {{"q", "-f", "-erase"}, 1, 'E', "", 0, false, false},
      {{"q", "-f", "-erase", "x", "-d", "1"}, 1, 'E', "x", 1, true, false},
      {{"q", "-f", "-version", "x"}, 1, 'D', "x", 0, false, false},
      {{"q", "-f", "-detect", "a.rfw"}, 1, 'C', "a.rfw", 0, false, false},
      {{"q", "-f", "-dumpotp", "otp.bin"}, 1, 'Y', "otp.bin", 0, false, false},
      {{"q", "-f", "-dumpspi", "spi.bin"}, 1, 'Z', "spi.bin", 0, false, false},
      {{"q", "-f", "-write", "builtin"}, 1, 'W', "builtin", 0, false, false},
      // Refused: each would have run something the operator did not name.
      {{"q", "-f", image, "-d", "2"}, 0, 0, "", 0, false, false},
      {{"q", "-f", "-erase", "-d", "2"}, 0, 0, "", 0, false, false},
      {{"q", "-f", "-verify", "a.rfw", "-d", "abc"}, 0, 0, "", 0, false, false},
      {{"q", "-f", "-verify", "a.rfw", "-d", "1x"}, 0, 0, "", 0, false, false},
      {{"q", "-f", "-verify", "a.rfw", "-d"}, 0, 0, "", 0, false, false},
      {{"q", "-f", "-verify", "builtin"}, 0, 0, "", 0, false, false},
      {{"q", "-f", "-write"}, 0, 0, "", 0, false, false},
      {{"q", "-f", missing}, 0, 0, "", 0, false, true},
      {{"q", "-write", "-f", image}, 0, 0, "", 0, false, true},
      {{"q", "-f", "-WRITE", image}, 0, 0, "", 0, false, true},
      {{"q", "-f"}, 0, 0, "", 0, false, true},
      {{"q", "-f", "-write", "a", "-d", "1", "extra"}, 0, 0, "", 0, false, true},
  };
  for (const Case& c : cases) {
    testing::DebugLines debug;
    CParseArg parse;
    SCOPED_TRACE(Join(c.args));
    EXPECT_EQ(parse.Parse_Arg_Normal(Join(c.args), c.args), c.result);
    auto texts = debug.texts();
    bool traced = texts.size() == 2 && texts[0] == "----------------:" && texts[1] == "Fail --- Invalid parameter!";
    EXPECT_EQ(traced, c.tracedInvalid) << ::testing::PrintToString(texts);
    if (c.result == 0) {
      EXPECT_FALSE(parse.usageProblem.empty()) << "the operator is told what was wrong";
      continue;
    }
    EXPECT_EQ(parse.commandLetter, static_cast<std::uint8_t>(c.letter));
    EXPECT_EQ(parse.fileArgument, c.file);
    EXPECT_EQ(parse.deviceIndex, c.index);
    EXPECT_EQ(parse.deviceIndexGiven, c.indexGiven);
    EXPECT_EQ(parse.dumpSize, c.letter == 'Z' ? 0x10000u : 0u);
  }
}

TEST(ParseArgTest, DeviceIndexValues) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  };
  const Case cases[] = {{"0", 0},          {"7", 7},          {"2147483647", 2147483647}, {"2147483648", std::nullopt},
                        {"", std::nullopt}, {"-1", std::nullopt}, {"+1", std::nullopt},     {"0x1", std::nullopt},
                        {" 1", std::nullopt}, {"99999999999", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(ParseDeviceIndex(c.text), c.value) << c.text;
}

TEST(ParseArgTest, WithoutDashFTheResultFileSaysFail) {
  testing::TempDir dir;
  CParseArg parse;
  parse.programDir = dir.path();
  EXPECT_EQ(parse.Parse_Arg_Normal("quillon -write x.rfw", {"quillon", "-write", "x.rfw"}), 0);
  EXPECT_EQ(testing::ReadText(dir.path() / "Result.txt"), "fail");
  EXPECT_FALSE(parse.resultFileFailed);
  EXPECT_EQ(parse.Parse_Arg_Normal("-h", {"quillon", "-h"}), 0);
  EXPECT_EQ(parse.usageProblem, "") << "a plain request for the usage";

  // Where the file cannot be written, the run says so and counts as failed.
  std::filesystem::remove(dir.path() / "Result.txt");
  std::filesystem::create_directory(dir.path() / "Result.txt");
  EXPECT_EQ(parse.Parse_Arg_Normal("-write x.rfw", {"quillon", "-write", "x.rfw"}), 0);
  EXPECT_TRUE(parse.resultFileFailed);
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
  EXPECT_FALSE(parse.resultFileFailed);
}

// A text the mode asks for marks the run failed when it cannot be stored;
// a mode that writes nothing does not.
TEST(ResultFileTest, UnwritableFileFailsTheRunOnlyWhenATextIsDue) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.path() / "Result.txt");
  struct Case {
    int mode;
    bool atExecute;
    bool failed;
  };
  for (const Case& c : {Case{1, true, true}, Case{2, false, true}, Case{3, false, false}, Case{-1, true, false}}) {
    CParseArg parse;
    parse.programDir = dir.path();
    parse.saveResultMode = c.mode;
    parse.OpenResultFile();
    parse.WriteResult(true, c.atExecute);
    EXPECT_EQ(parse.resultFileFailed, c.failed) << c.mode;
  }
  ResultFile file;
  EXPECT_FALSE(file.WriteAndClose("pass")) << "never opened";
  ASSERT_TRUE(file.Open(dir.path() / "other.txt"));
  EXPECT_TRUE(file.WriteAndClose("pass"));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.WriteAndClose("pass")) << "written once";
  EXPECT_EQ(testing::ReadText(dir.path() / "other.txt"), "pass");
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
