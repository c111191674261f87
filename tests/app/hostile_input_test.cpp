// What a station may hand the tool by mistake: paths that name a directory, a
// FIFO or garbage instead of a file. Each ends with one clear line and the
// right exit code, never a crash or a hang, and the chip stays as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::ProcessResult;
using testing::RunProgram;

constexpr unsigned kHangLimitSeconds = 30;

struct HostileCase {
  const char* name;
  std::vector<std::string> args;                              // quillon's; "SIM" runs quillon-sim instead
  std::vector<std::pair<std::string, std::string>> env;       // "@dir", "@fifo", "@garbage" name prepared paths
  int exitCode;
  const char* message;                                        // on stderr
  bool oneLine;                                               // stderr is that line alone
};

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = (scratch.path() / "chip.state").string();
    image = (testing::BinDir().parent_path() / "demo" / "TQ7704_SPI.rfw").string();
    ASSERT_EQ(Sim({"new", state, "--off-bus-ms", "20"}).exitCode, 0);
    ASSERT_EQ(Sim({"load", state, image}).exitCode, 0);
    settings = scratch.Write("settings.ini", "[Quillon Config]\r\nWait Time=50\r\n");
    std::filesystem::create_directory(scratch.path() / "folder");
    ASSERT_EQ(::mkfifo((scratch.path() / "pipe.rfw").c_str(), 0600), 0);
    std::string noise(300, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 151 + 7) & 0xFF);
    scratch.Write("garbage.ini", noise);
    std::string tagged = testing::ReadText(image);
    ASSERT_GT(tagged.size(), 0xEFFFu);
    tagged[0xEFFE] = 0x12;
    tagged[0xEFFF] = 0x34;
    scratch.Write("tagged.rfw", tagged);
  }
  ProcessResult Sim(std::vector<std::string> args) {
    return RunProgram("quillon-sim", args, {}, scratch.path(), kHangLimitSeconds);
  }
  std::string Resolve(const std::string& value) {
    if (value == "@dir") return (scratch.path() / "folder").string();
    if (value == "@fifo") return (scratch.path() / "pipe.rfw").string();
    if (value == "@garbage") return (scratch.path() / "garbage.ini").string();
    if (value == "@image") return image;
    if (value == "@tagged") return (scratch.path() / "tagged.rfw").string();
    return value;
  }
  ProcessResult Run(const HostileCase& c) {
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(Resolve(arg));
    if (!args.empty() && args.front() == "SIM") {
      args.erase(args.begin());
      return Sim(args);
    }
    std::vector<std::pair<std::string, std::string>> env{
        {"QUILLON_HOME", home.path().string()}, {"QUILLON_SETTINGS", settings.string()}, {"QUILLON_SIM", state}};
    for (const auto& [name, value] : c.env) {
      auto at = std::find_if(env.begin(), env.end(), [&](const auto& e) { return e.first == name; });
      if (at != env.end()) {
        at->second = Resolve(value);
      } else {
        env.emplace_back(name, Resolve(value));
      }
    }
    return RunProgram("quillon", args, env, home.path(), kHangLimitSeconds);
  }

  testing::TempDir scratch;
  testing::TempDir home;
  std::string state;
  std::string image;
  std::filesystem::path settings;
};

TEST_F(HostileInputTest, EachEndsWithOneClearLineAndLeavesTheChipAlone) {
  const HostileCase cases[] = {
      {"settings path is a directory", {"-f", "-write", "@image"}, {{"QUILLON_SETTINGS", "@dir"}}, 1,
       "cannot read the settings file", true},
      {"settings path is a FIFO", {"-f", "-write", "@image"}, {{"QUILLON_SETTINGS", "@fifo"}}, 1,
       "cannot read the settings file", true},
      {"settings path is missing", {"-f", "-write", "@image"}, {{"QUILLON_SETTINGS", "/no/such/settings.ini"}}, 1,
       "cannot read the settings file /no/such/settings.ini", true},
      {"settings file of random bytes", {"-f", "-version"}, {{"QUILLON_SETTINGS", "@garbage"}}, 1,
       "cannot use the settings file", true},
      {"simulator state is a directory", {"-f", "-write", "@image"}, {{"QUILLON_SIM", "@dir"}}, 1, "cannot read", true},
      {"simulator state is a FIFO", {"-f", "-write", "@image"}, {{"QUILLON_SIM", "@fifo"}}, 1, "cannot read", true},
      {"quillon-sim show of a directory", {"SIM", "show", "@dir"}, {}, 1, "cannot read", true},
      {"quillon-sim show of a FIFO", {"SIM", "show", "@fifo"}, {}, 1, "cannot read", true},
      {"image is a FIFO", {"-f", "-write", "@fifo"}, {}, 1, "cannot be read", false},
      {"verify against a FIFO", {"-f", "-verify", "@fifo"}, {}, 1, "cannot be read", false},
      {"image whose tag word the write sets itself", {"-f", "-write", "@tagged"}, {}, 1,
       "image holds 12 34 at 0xEFFE (the tag word), where the write puts FF FF", false},
      {"JSON record in a missing directory", {"-f", "-write", "@image"},
       {{"QUILLON_RESULT_JSON", "/no/such/dir/runs.jsonl"}}, 1,
       "quillon: cannot write /no/such/dir/runs.jsonl: No such file or directory; the chip was not touched", true},
      {"JSON record is a directory", {"-f", "-write", "@image"}, {{"QUILLON_RESULT_JSON", "@dir"}}, 1,
       "Is a directory; the chip was not touched", true},
      {"JSON record is a FIFO nobody reads", {"-f", "-write", "@image"}, {{"QUILLON_RESULT_JSON", "@fifo"}}, 1,
       "No such device or address; the chip was not touched", true},
      {"record option without its location", {"-f", "-write", "@image", "--restore-record"}, {}, 1,
       "--restore-record LOCATION comes as the last two arguments of a write", false},
      {"record option on a verify", {"-f", "-verify", "@image", "--set-aside-record", "1-1"}, {}, 1,
       "--set-aside-record LOCATION comes as the last two arguments of a write", false},
  };
  ASSERT_EQ(Sim({"dump", state, (scratch.path() / "before.bin").string()}).exitCode, 0);
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult run = Run(c);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    if (c.oneLine) {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    ASSERT_EQ(Sim({"dump", state, (scratch.path() / "after.bin").string()}).exitCode, 0);
    EXPECT_EQ(testing::ReadText(scratch.path() / "after.bin"), testing::ReadText(scratch.path() / "before.bin"))
        << "the chip is as it was";
  }
}

// A chip whose extension unit stalls and that answers only vendor requests is
// listed as accepted, opened through its status block and served by every
// batch command.
TEST_F(HostileInputTest, ChipWithVendorRequestsOnlyPassesEveryBatchCommand) {
  ASSERT_EQ(Sim({"new", state, "--transport", "vendor", "--off-bus-ms", "20"}).exitCode, 0);
  const auto dump = scratch.path() / "dump.bin";
  const std::vector<std::vector<std::string>> commands = {
      {"-f", "-write", image}, {"-f", "-verify", image}, {"-f", "-version", "x"},
      {"-f", "-dumpspi", dump.string()}};
  for (const auto& args : commands) {
    SCOPED_TRACE(args[1]);
    ProcessResult run = RunProgram("quillon", args,
                                   {{"QUILLON_HOME", home.path().string()},
                                    {"QUILLON_SETTINGS", settings.string()},
                                    {"QUILLON_SIM", state}},
                                   home.path(), kHangLimitSeconds);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  }
  EXPECT_EQ(testing::ReadText(dump), testing::ReadText(image));
  ProcessResult list = RunProgram("quillon", {"--list"}, {{"QUILLON_HOME", home.path().string()}, {"QUILLON_SIM", state}},
                                  home.path(), kHangLimitSeconds);
  EXPECT_NE(list.out.find(" accepted\n"), std::string::npos) << list.out;
}

}  // namespace
}  // namespace quillon
