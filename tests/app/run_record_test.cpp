// Run records: the JSON line a line system reads back, the summary line on
// stderr, and appends that stay whole when several stations share one file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/run_record.h"
#include "data/settings.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using nlohmann::json;

std::vector<std::string> Lines(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Seconds since the epoch of "YYYY-MM-DDTHH:MM:SS+HH:MM"; -1 when it is not that form.
long long EpochOfIsoTime(const std::string& text) {
  static const std::regex form(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)([+-])(\d\d):(\d\d))");
  std::smatch m;
  if (!std::regex_match(text, m, form)) return -1;
  std::tm parts{};
  parts.tm_year = std::stoi(m[1]) - 1900;
  parts.tm_mon = std::stoi(m[2]) - 1;
  parts.tm_mday = std::stoi(m[3]);
  parts.tm_hour = std::stoi(m[4]);
  parts.tm_min = std::stoi(m[5]);
  parts.tm_sec = std::stoi(m[6]);
  const long long offset = (std::stoll(m[8]) * 60 + std::stoll(m[9])) * 60;
  return static_cast<long long>(::timegm(&parts)) - (m[7] == "+" ? offset : -offset);
}

std::string HostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

class RunRecordProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = (scratch.path() / "chip.state").string();
    image = (home.path() / "TQ7704_SPI.rfw").string();
    std::filesystem::copy_file(testing::BinDir().parent_path() / "demo" / "TQ7704_SPI.rfw", image);
    // The TQ7724's chip code under the TQ7704's profile: the write refuses it.
    wrongImage = (home.path() / "wrong.rfw").string();
    ASSERT_EQ(testing::RunProgram("quillon-mkimage", {wrongImage, "--ic", "tq7704", "--chip-code", "24"}, {},
                                  scratch.path())
                  .exitCode,
              0);
    ASSERT_EQ(testing::RunProgram("quillon-sim",
                                  {"new", state, "--off-bus-ms", "20", "--serial", "QA-0042"}, {}, scratch.path())
                  .exitCode,
              0);
  }

  testing::ProcessResult Quillon(const std::vector<std::string>& args, const std::string& settingsText,
                                 std::vector<std::pair<std::string, std::string>> env = {}) {
    const auto settings = scratch.Write("settings.ini", "[Quillon Config]\r\nWait Time=50\r\n" + settingsText);
    env.insert(env.begin(), {{"QUILLON_HOME", home.path().string()},
                             {"QUILLON_SETTINGS", settings.string()},
                             {"QUILLON_SIM", state}});
    return testing::RunProgram("quillon", args, env, scratch.path());
  }

  testing::TempDir home;
  testing::TempDir scratch;
  std::string state;
  std::string image;
  std::string wrongImage;
};

TEST_F(RunRecordProcessTest, PassedAndFailedWritesEachAppendOneLineThatReadsBack) {
  const std::filesystem::path results = home.path() / "runs.jsonl";
  const long long before = std::time(nullptr);
  // The setting names the file relative to the program directory; the
  // environment variable wins over a setting that names another file.
  auto passed = Quillon({"-f", "-write", image}, "ResultJson=runs.jsonl\r\n");
  auto failed = Quillon({"-f", "-write", wrongImage}, "ResultJson=other.jsonl\r\n",
                        {{"QUILLON_RESULT_JSON", results.string()}});
  const long long after = std::time(nullptr);
  ASSERT_EQ(passed.exitCode, 0) << passed.err;
  ASSERT_EQ(failed.exitCode, 1) << failed.err;
  EXPECT_FALSE(std::filesystem::exists(home.path() / "other.jsonl"));

  const auto lines = Lines(results);
  ASSERT_EQ(lines.size(), 2u);
  struct Expected {
    std::string image;
    std::string version;
    std::string verdict;
    std::uint32_t statusId;
    std::string statusText;
  };
  const Expected expected[] = {
      {image, "4.119.0000-0115.0000", "PASS", 0, ""},
      {wrongImage, "4.119.0000-0115.0000", "FAIL", 41715, "Firmware is not for the device!"},
  };
  const std::string host = HostName();
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i].verdict);
    const json record = json::parse(lines[i]);
    const long long when = EpochOfIsoTime(record.at("time").get<std::string>());
    EXPECT_GE(when, before) << record.at("time");
    EXPECT_LE(when, after) << record.at("time");
    EXPECT_EQ(record.at("station"), host);
    EXPECT_EQ(record.at("location"), "1-1");
    EXPECT_EQ(record.at("identity"), "VID_3A7C&PID_0011&REV_0001");
    EXPECT_EQ(record.at("serial_number"), "QA-0042");
    EXPECT_EQ(record.at("image"), expected[i].image);
    EXPECT_EQ(record.at("image_source"), "file");
    EXPECT_EQ(record.at("image_version"), expected[i].version);
    EXPECT_EQ(record.at("image_sha256"), Sha256Hex(*ReadWholeFile(expected[i].image)));
    EXPECT_EQ(record.at("operation"), "write");
    EXPECT_EQ(record.at("verdict"), expected[i].verdict);
    EXPECT_EQ(record.at("status_id"), expected[i].statusId);
    EXPECT_EQ(record.at("status_text"), expected[i].statusText);
    EXPECT_TRUE(record.at("duration_ms").is_number_unsigned());
    EXPECT_TRUE(std::regex_match(record.at("run_id").get<std::string>(),
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << record.at("run_id");
    EXPECT_TRUE(std::regex_match(record.at("tool_version").get<std::string>(), std::regex(R"(\d+\.\d+\.\d+\.\d+)")))
        << record.at("tool_version");
    EXPECT_EQ(record.at("memory_type"), "spi");
    EXPECT_EQ(record.at("ic_family"), "TQ7704");
    // Read back after the run: the passed write left this version running, and the refused one kept it.
    EXPECT_EQ(record.at("chip_version"), "4.119.0000-0115.0000");
  }
  EXPECT_NE(json::parse(lines[0]).at("run_id"), json::parse(lines[1]).at("run_id"));

  // The same run, one line on stderr, the last one (the image's own line comes before it).
  const auto lastLine = [](const std::string& err) {
    const std::size_t start = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
    return start == std::string::npos || err.size() < 2 ? err : err.substr(start + 1);
  };
  const std::regex summary(R"(quillon: chip 1-1 VID_3A7C&PID_0011&REV_0001, image (\S+) 4\.119\.0000-0115\.0000, )"
                           R"(write (PASS|FAIL), status (\d+)( "[^"]+")?, \d+ ms\n)");
  std::smatch m;
  const std::string passedLine = lastLine(passed.err);
  ASSERT_TRUE(std::regex_match(passedLine, m, summary)) << passed.err;
  EXPECT_EQ(m[1], image);
  EXPECT_EQ(m[2], "PASS");
  EXPECT_EQ(m[3], "0");
  const std::string failedLine = lastLine(failed.err);
  ASSERT_TRUE(std::regex_match(failedLine, m, summary)) << failed.err;
  EXPECT_EQ(m[2], "FAIL");
  EXPECT_EQ(m[4], " \"Firmware is not for the device!\"");
}

// "StationName" names the station; the serial number is one the chip holds:
// QUILLON_SERIAL only when a write with "SaveSN" put it there, else the one the
// chip reports.
TEST_F(RunRecordProcessTest, RecordNamesTheStationAndOnlyASerialTheChipHolds) {
  const std::filesystem::path results = home.path() / "runs.jsonl";
  const std::vector<std::pair<std::string, std::string>> env{{"QUILLON_RESULT_JSON", results.string()},
                                                             {"QUILLON_SERIAL", "SN-0777"}};
  struct Case {
    const char* settings;
    const char* serial;
  };
  const Case cases[] = {
      {"StationName=line3-st2\r\n", "QA-0042"},
      {"StationName=line3-st2\r\nSaveSN=1\r\nSN Address=1\r\n", "SN-0777"},
  };
  // A failed write with "SaveSN" never put the number into the chip.
  auto refused = Quillon({"-f", "-write", wrongImage}, cases[1].settings, env);
  ASSERT_EQ(refused.exitCode, 1);
  EXPECT_EQ(json::parse(Lines(results).back()).at("serial_number"), "QA-0042");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    auto run = Quillon({"-f", "-write", image}, c.settings, env);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("unknown"), std::string::npos) << "StationName is a known key: " << run.err;
    const json record = json::parse(Lines(results).back());
    EXPECT_EQ(record.at("station"), "line3-st2");
    EXPECT_EQ(record.at("serial_number"), c.serial);
  }
}

TEST_F(RunRecordProcessTest, RunsWithoutAnImageOrWithoutAChipStillLeaveARecord) {
  const std::filesystem::path results = home.path() / "runs.jsonl";
  const std::vector<std::pair<std::string, std::string>> env{{"QUILLON_RESULT_JSON", results.string()}};
  EXPECT_EQ(Quillon({"-f", "-erase"}, "", env).exitCode, 0) << "a passed erase, though its success id stays";
  EXPECT_EQ(Quillon({"-f", "-version"}, "", env).exitCode, 0) << "a version read";
  // A chip of another vendor is not accepted: the preparation finds no chip.
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"new", state, "--vid", "0x1234"}, {}, scratch.path()).exitCode, 0);
  auto none = Quillon({"-f", "-write", image}, "CheckVIDPID_INI=1\r\n", env);
  EXPECT_EQ(none.err.rfind("quillon: chip none, image " + image + " 4.119.0000-0115.0000, write FAIL, status ", 0), 0u)
      << none.err;

  const auto lines = Lines(results);
  ASSERT_EQ(lines.size(), 3u);
  const json erase = json::parse(lines[0]);
  EXPECT_EQ(erase.at("operation"), "erase");
  EXPECT_EQ(erase.at("verdict"), "PASS");
  EXPECT_EQ(erase.at("status_id"), 41752);
  EXPECT_EQ(erase.at("status_text"), "Erase Flash Code Succeed.");
  EXPECT_EQ(erase.at("location"), "1-1");
  EXPECT_EQ(erase.at("image"), "");
  EXPECT_EQ(erase.at("image_source"), "");
  EXPECT_EQ(erase.at("image_sha256"), "");
  // The record's verdict is the exit code's, also where the result files keep "fail".
  const json version = json::parse(lines[1]);
  EXPECT_EQ(version.at("operation"), "version");
  EXPECT_EQ(version.at("verdict"), "PASS");
  const json write = json::parse(lines[2]);
  EXPECT_EQ(write.at("verdict"), "FAIL");
  EXPECT_EQ(write.at("location"), "");
  EXPECT_EQ(write.at("identity"), "");
  EXPECT_EQ(write.at("image"), image);
  EXPECT_EQ(write.at("image_sha256"), Sha256Hex(*ReadWholeFile(image)));
}

TEST(RunRecordTest, AwkwardTextsStayOneValidLine) {
  RunRecord record;
  record.image = "/lines/a\"b\\c\nd\te.rfw";
  record.identity = std::string("VID_\xff") + "&PID";  // not UTF-8
  record.statusText = "Firmware is not for the device!";
  const std::string line = RunRecordJson(record);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  const json parsed = json::parse(line);
  EXPECT_EQ(parsed.at("image"), record.image);
  EXPECT_EQ(parsed.at("identity"), "VID_\xef\xbf\xbd&PID") << "the stray byte becomes U+FFFD";
  EXPECT_EQ(parsed.at("verdict"), "FAIL");
}

TEST(RunRecordTest, IsoTimeCarriesTheLocalOffsetWithAColon) {
  struct Case {
    const char* tz;
    const char* expected;
  };
  // 2026-04-14 11:44:59 UTC.
  const auto when = std::chrono::system_clock::from_time_t(1776167099);
  for (const Case& c : {Case{"UTC0", "2026-04-14T11:44:59+00:00"}, Case{"UTC-2", "2026-04-14T13:44:59+02:00"},
                        Case{"<-0330>3:30", "2026-04-14T08:14:59-03:30"}}) {
    SCOPED_TRACE(c.tz);
    testing::ScopedEnv tz("TZ", c.tz);
    ::tzset();
    EXPECT_EQ(IsoLocalTime(when), c.expected);
  }
  ::tzset();
}

TEST(RunRecordTest, Sha256OfKnownTexts) {
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size())),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Two processes, released together, append long lines to one file: every line
// must come out whole. Lines far longer than a stdio buffer make a split
// write show.
TEST(RunRecordTest, TwoProcessesAppendingAtOnceLeaveWholeLines) {
  testing::TempDir dir;
  const std::filesystem::path file = dir.path() / "runs.jsonl";
  constexpr int kLinesEach = 40;
  constexpr std::size_t kLineLength = 256 * 1024;
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (char letter : {'a', 'b'}) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char go;
      if (::read(gate[0], &go, 1) < 0) ::_exit(3);  // returns 0 when the parent closes the gate
      const std::string line = std::string(kLineLength, letter) + "\n";
      for (int i = 0; i < kLinesEach; ++i) {
        if (!AppendLineAtomically(file, line)) ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 2u * kLinesEach);
  int perLetter[2] = {0, 0};
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), kLineLength);
    ASSERT_TRUE(line.find_first_not_of(line[0]) == std::string::npos) << "two appends mixed in one line";
    ++perLetter[line[0] == 'a' ? 0 : 1];
  }
  EXPECT_EQ(perLetter[0], kLinesEach);
  EXPECT_EQ(perLetter[1], kLinesEach);
}

// The one serial rule of every record: the serial a passed write put into the
// unit with "SaveSN", else the one the unit reported; never the maker's string.
TEST(RunRecordTest, TheRecordNamesTheUnitByItsOwnSerial) {
  ChipSnapshot chip;
  chip.open = true;
  chip.identity = "VID_3A7C&PID_0011&REV_0001";
  chip.deviceName = "KESTRAN";
  chip.chipSerial = "QA-0042";
  chip.imageSerial = "SN-0777";
  struct Case {
    const char* settings;
    RunOutcome verdict;
    const char* operation;
    const char* serial;
  };
  const Case cases[] = {
      {"SaveSN=1\r\n", {true, 0}, "write", "SN-0777"},
      {"SaveSN=1\r\n", {false, 41705}, "write", "QA-0042"},
      {"SaveSN=1\r\n", {false, 41599}, "write", "QA-0042"},
      {"SaveSN=1\r\n", {true, 0}, "verify", "QA-0042"},
      {"", {true, 0}, "write", "QA-0042"},
  };
  const auto work = [](const char* operation) {
    RunWork w;
    w.operation = operation;
    return w;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.settings) + c.operation + std::to_string(c.verdict.statusId));
    TheSettings().LoadFromText(std::string("[Quillon Config]\r\n") + c.settings);
    const RunRecord record = BuildRunRecord(chip, c.verdict, work(c.operation));
    EXPECT_EQ(record.serialNumber, c.serial);
    EXPECT_EQ(BurnLogSerial(record, chip), c.serial);
  }
  // A unit without a serial of its own is named by the product in the burn log only.
  chip.chipSerial.clear();
  TheSettings().LoadFromText("[Quillon Config]\r\n");
  const RunRecord record = BuildRunRecord(chip, {false, 41705}, work("write"));
  EXPECT_EQ(record.serialNumber, "");
  EXPECT_EQ(BurnLogSerial(record, chip), "KESTRAN");
  EXPECT_EQ(record.statusText, "Erase Flash Fail!");
}

TEST(RunRecordTest, AnAppendThatCannotOpenItsFileFails) {
  testing::TempDir dir;
  EXPECT_FALSE(AppendLineAtomically(dir.path() / "missing" / "runs.jsonl", "{}\n"));
}

}  // namespace
}  // namespace quillon
