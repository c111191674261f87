// A station's records as a shared station sees them: every record of a run
// (exit code, Result.txt, burn_result.txt, JSON line, history row) tells the
// same story when a file is full, the history is held by another program, a
// run is killed, runs overlap, or the next operator has another account.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/station_fixture.h"
#include "support/record_lines.h"

namespace quillon {
namespace {

using testing::ProcessResult;
using testing::ReadText;

constexpr const char* kRecordSettings = "SaveResultToFile=1\r\nLogType=1\r\n";

// How a child process is started beyond its arguments.
struct Launch {
  std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE, as `ulimit -f` sets it
  std::optional<uid_t> uid;             // another operator's account
  gid_t gid = 0;
  std::string runtimeDir;  // its own command lock: runs on separate buses need not take turns
};

Launch FileSizeLimit(rlim_t bytes) {
  Launch launch;
  launch.fileSizeLimit = bytes;
  return launch;
}

Launch Account(uid_t uid, gid_t gid) {
  Launch launch;
  launch.uid = uid;
  launch.gid = gid;
  return launch;
}

Launch OwnRuntime(const std::filesystem::path& dir) {
  Launch launch;
  launch.runtimeDir = dir.string();
  return launch;
}

// Which records a run is expected to have written.
struct Kept {
  bool json = true;
  bool burn = true;
  bool history = true;
};

struct HistoryRow {
  bool passed = false;
  std::uint32_t status = 0;
  bool pending = false;
  std::string serial;
};

class RecordsProcessTest : public testing::StationTest {
 protected:
  std::filesystem::path Json() const { return station / "runs.jsonl"; }
  std::filesystem::path Burn() const { return station / "burn_result.txt"; }
  std::filesystem::path Result() const { return station / "Result.txt"; }
  std::filesystem::path History() const { return station / "quillon-history.db"; }

  std::vector<std::pair<std::string, std::string>> Env(const std::string& stateFile) {
    const auto settings = scratch.Write("settings.ini", std::string("[Quillon Config]\r\nWait Time=50\r\n") + kRecordSettings);
    return {{"QUILLON_HOME", station.string()},
            {"QUILLON_SETTINGS", settings.string()},
            {"QUILLON_SIM", stateFile},
            {"QUILLON_RESULT_JSON", Json().string()}};
  }

  // Starts quillon in the station directory (where burn_result.txt goes);
  // `tag` keeps the output of processes running side by side apart.
  pid_t Spawn(const std::vector<std::string>& args, const Launch& launch = {}, const std::string& stateFile = "",
              const std::string& tag = "child") {
    const auto env = Env(stateFile.empty() ? state : stateFile);
    const std::filesystem::path out = scratch.path() / (tag + ".out"), err = ErrFile(tag);
    const std::string program = (testing::BinDir() / "quillon").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(station.c_str()) != 0) ::_exit(126);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      ::dup2(o, 1);
      ::dup2(e, 2);
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      if (!launch.runtimeDir.empty()) ::setenv("XDG_RUNTIME_DIR", launch.runtimeDir.c_str(), 1);
      if (launch.fileSizeLimit) {
        const rlimit limit{*launch.fileSizeLimit, *launch.fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(125);
      }
      if (launch.uid) {
        const gid_t groups[] = {launch.gid};
        if (::setgroups(1, groups) != 0 || ::setgid(launch.gid) != 0 || ::setuid(*launch.uid) != 0) ::_exit(124);
        ::setenv("XDG_RUNTIME_DIR", shared.c_str(), 1);
        ::setenv("TMPDIR", shared.c_str(), 1);
      }
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      std::vector<std::string> copies = args;
      for (std::string& arg : copies) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::alarm(90);  // a hang guard only
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    return pid;
  }

  std::filesystem::path ErrFile(const std::string& tag) const { return scratch.path() / (tag + ".err"); }

  ProcessResult Reap(pid_t pid, const std::string& tag = "child") {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProcessResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadText(scratch.path() / (tag + ".out"));
    result.err = ReadText(ErrFile(tag));
    return result;
  }

  ProcessResult Run(const std::vector<std::string>& args, const Launch& launch = {}) {
    return Reap(Spawn(args, launch));
  }

  // Waits (a hang guard, no time assertion) until a run's pre-check has made
  // the history's tables: the run is past its checks and on its chip.
  bool AwaitCheckedRun() {
    for (int round = 0; round < 12000; ++round) {
      sqlite3* db = nullptr;
      bool made = false;
      if (std::filesystem::exists(History()) &&
          sqlite3_open_v2(History().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* select = nullptr;
        made = sqlite3_prepare_v2(db, "SELECT 1 FROM runs LIMIT 0", -1, &select, nullptr) == SQLITE_OK;
        sqlite3_finalize(select);
      }
      sqlite3_close(db);
      if (made) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::vector<HistoryRow> HistoryRows() {
    std::vector<HistoryRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(History().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* select = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT passed, status_id, records_pending, serial_number FROM runs ORDER BY seq", -1,
                             &select, nullptr) == SQLITE_OK) {
        while (sqlite3_step(select) == SQLITE_ROW) {
          rows.push_back({sqlite3_column_int(select, 0) != 0, static_cast<std::uint32_t>(sqlite3_column_int64(select, 1)),
                          sqlite3_column_int(select, 2) != 0,
                          reinterpret_cast<const char*>(sqlite3_column_text(select, 3))});
        }
      }
      sqlite3_finalize(select);
    }
    sqlite3_close(db);
    return rows;
  }

  // The last line of a file, without its line end.
  static std::string LastLine(const std::filesystem::path& file) {
    std::string text = ReadText(file);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t at = text.rfind('\n');
    return at == std::string::npos ? text : text.substr(at + 1);
  }

  // The exit code, Result.txt, the last burn line, the last JSON line and the
  // last history row all say `passed` with `status` (those expected to exist).
  void ExpectOneStory(const ProcessResult& run, bool passed, std::uint32_t status, Kept kept = {}) {
    const bool jsonLine = kept.json, historyRow = kept.history;
    EXPECT_EQ(run.exitCode, passed ? 0 : 1) << run.err;
    EXPECT_EQ(ReadText(Result()), passed ? "pass" : "fail");
    if (kept.burn) {
      const std::string burn = LastLine(Burn());
      EXPECT_NE(burn.find(std::string(passed ? "Pass," : "Fail,") + " "), std::string::npos) << burn;
      EXPECT_NE(burn.find(" " + std::to_string(status) + ":"), std::string::npos) << burn;
    }
    if (jsonLine) {
      const auto json = nlohmann::json::parse(LastLine(Json()));
      EXPECT_EQ(json["verdict"], passed ? "PASS" : "FAIL");
      EXPECT_EQ(json["status_id"], status);
    }
    if (historyRow) {
      const auto rows = HistoryRows();
      ASSERT_FALSE(rows.empty());
      EXPECT_EQ(rows.back().passed, passed);
      EXPECT_EQ(rows.back().status, status);
      EXPECT_FALSE(rows.back().pending);
    }
  }

  // Fills `file` with whole lines up to `size` bytes less `room`.
  static void FillUpTo(const std::filesystem::path& file, std::size_t size, std::size_t room, const std::string& line) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    std::size_t now = std::filesystem::exists(file) ? std::filesystem::file_size(file) : 0;
    while (now + line.size() <= size - room) {
      out << line;
      now += line.size();
    }
    out << std::string(size - room - now, ' ');
  }

  std::filesystem::path station = home.path();  // the station directory the runs keep their files in
  std::string shared;  // a runtime directory every account may use
};

// A record file at its size limit (ulimit -f) takes no part of a line: the
// PASS the chip earned becomes FAIL 41595 in every record that could be
// written, the full file keeps its old bytes, and nothing dies of SIGXFSZ.
TEST_F(RecordsProcessTest, AFullRecordFileTurnsThePassIntoOneFailEverywhere) {
  constexpr rlim_t kLimit = 4u << 20;
  struct Case {
    const char* name;
    bool jsonFull;
  };
  for (const Case c : {Case{"json", true}, Case{"burn", false}}) {
    SCOPED_TRACE(c.name);
    for (const auto& file : {Json(), Burn(), Result(), History()}) std::filesystem::remove(file);
    const std::filesystem::path full = c.jsonFull ? Json() : Burn();
    if (!c.jsonFull) {
      std::ofstream(full, std::ios::binary) << "Update date       Update Time       Serial number              Result   "
                                               "ErrCode\r\n"
                                               "================  ================  =========================  =======  "
                                               "=======\r\n";
    }
    FillUpTo(full, kLimit, 40, c.jsonFull ? "{\"pad\":1}\n" : "2026-01-01,       00:00:00,         x,   Pass,    0:\r\n");
    const std::string before = ReadText(full);

    auto run = Run({"-f", "-write", image}, FileSizeLimit(kLimit));
    EXPECT_NE(run.exitCode, 128 + SIGXFSZ) << "no death by the file-size signal";
    EXPECT_EQ(ReadText(full), before) << "no torn line";
    Kept kept;
    kept.json = !c.jsonFull;
    kept.burn = c.jsonFull;
    ExpectOneStory(run, false, 41595, kept);
    if (!c.jsonFull) {
      // The PASS line went in before the burn line failed: it was taken back.
      EXPECT_EQ(testing::JsonLines(Json()).size(), 1u);
    }
  }
}

// A station disk with about 20 KB free takes the first records but not the
// history's commit: the run is refused before the chip is touched.
TEST_F(RecordsProcessTest, ADiskTooFullForTheHistorysCommitRefusesTheRun) {
  testing::TempDir small;
  if (::geteuid() != 0 || ::mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "a small file system needs root (mount)";
  }
  struct Unmount {
    std::filesystem::path dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{small.path()};
  const std::string before = ChipMemory();
  station = small.path();
  {
    // Everything but about 20 KB taken.
    std::ofstream fill(small.path() / "fill", std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), block.size())) {
    }
  }
  const auto free = std::filesystem::space(small.path()).available;
  std::filesystem::resize_file(small.path() / "fill", std::filesystem::file_size(small.path() / "fill") - (20 << 10) + free);
  auto run = Run({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("quillon-history.db"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("; the chip was not touched"), std::string::npos) << run.err;
  EXPECT_EQ(ChipMemory(), before);
}

// Holds the history's write lock from another connection, as a shift
// leader's tool might, from the middle of a run until the run has ended.
TEST_F(RecordsProcessTest, AHistoryHeldByAnotherProgramMidRunFailsTheRunInEveryRecord) {
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"fault", state, "slow-erase", "3000"}, {}, scratch.path()).exitCode, 0);
  const pid_t run = Spawn({"-f", "-write", image}, {}, "", "slow");
  // Past its checks the run erases its chip for 3 s.
  ASSERT_TRUE(AwaitCheckedRun());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(History().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  const ProcessResult result = Reap(run, "slow");
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);

  EXPECT_NE(result.err.find("database is locked"), std::string::npos) << result.err;
  Kept kept;
  kept.history = false;
  ExpectOneStory(result, false, 41595, kept);
  EXPECT_TRUE(HistoryRows().empty()) << "the history never took the run";
}

// What a kill between the history's commit and the other records leaves: a
// pending row. The next run settles it: the verdict of its JSON line when one
// was written, else FAIL 41596 with the JSON line it lacked.
TEST_F(RecordsProcessTest, AnInterruptedRunIsSettledByTheNextRun) {
  ASSERT_EQ(Run({"-f", "-write", image}).exitCode, 0);
  ASSERT_EQ(Run({"-f", "-write", image}).exitCode, 0);
  // The first run as a kill after its JSON line leaves it, the second as a kill before.
  std::vector<std::string> lines = testing::RawLines(Json());
  ASSERT_EQ(lines.size(), 2u);
  const std::string secondId = nlohmann::json::parse(lines[1])["run_id"];
  std::ofstream(Json(), std::ios::binary | std::ios::trunc) << lines[0] << "\n";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(History().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE runs SET records_pending = 1", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  auto listing = Run({"--history", "--json"});
  EXPECT_EQ(listing.exitCode, 0) << listing.err;
  EXPECT_NE(listing.err.find("settled the interrupted run " + secondId), std::string::npos) << listing.err;
  const auto rows = HistoryRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].passed);
  EXPECT_FALSE(rows[0].pending);
  EXPECT_FALSE(rows[1].passed);
  EXPECT_EQ(rows[1].status, 41596u);
  EXPECT_FALSE(rows[1].pending);
  const auto json = testing::JsonLines(Json());
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[1]["run_id"], secondId);
  EXPECT_EQ(json[1]["verdict"], "FAIL");
  EXPECT_EQ(json[1]["status_id"], 41596);
  EXPECT_EQ(nlohmann::json::parse(listing.out).back()["status_id"], 41596);
}

// Two single-chip runs of one station: A passes while B still writes its slow
// chip, then B is killed. Result.txt never says "pass" for B's unit.
TEST_F(RecordsProcessTest, OverlappingRunsLeaveNoPassForAUnitThatDidNotPass) {
  const std::string slowState = (scratch.path() / "slow.state").string();
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"new", slowState, "--off-bus-ms", "20"}, {}, scratch.path()).exitCode, 0);
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"fault", slowState, "slow-erase", "60000"}, {}, scratch.path()).exitCode,
            0);
  testing::TempDir runtime;
  const pid_t slow = Spawn({"-f", "-write", image}, OwnRuntime(runtime.path()),
                           slowState, "b");
  ASSERT_TRUE(AwaitCheckedRun());

  auto fast = Run({"-f", "-write", image});
  EXPECT_EQ(fast.exitCode, 0) << fast.err;
  EXPECT_EQ(ReadText(Result()), "") << "another run was under way";
  EXPECT_NE(LastLine(Burn()).find("Pass,"), std::string::npos);
  EXPECT_EQ(testing::JsonLines(Json()).back()["verdict"], "PASS");

  ::kill(slow, SIGKILL);
  Reap(slow, "b");
  EXPECT_NE(ReadText(Result()), "pass");
  auto next = Run({"-f", "-write", image});
  EXPECT_EQ(next.exitCode, 0);
  EXPECT_EQ(ReadText(Result()), "pass") << "a run alone writes its pass";
}

// Two operators' accounts in one group share a station directory (setgid,
// group-writable, as the package makes /var/lib/quillon): whatever the first
// creates, the second can write, and a Result.txt the run cannot empty
// refuses the run and says so.
TEST_F(RecordsProcessTest, TheNextOperatorsAccountCanWriteEveryStationFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "running as two accounts needs root";
  constexpr gid_t kGroup = 4100;
  constexpr uid_t kFirst = 4101, kSecond = 4102;
  testing::TempDir runtime;
  shared = runtime.path().string();
  ASSERT_EQ(::chmod(runtime.path().c_str(), 01777), 0);
  ASSERT_EQ(::chown(home.path().c_str(), 0, kGroup), 0);
  ASSERT_EQ(::chmod(home.path().c_str(), 02775), 0);
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(state.c_str(), 0666), 0);
  if (std::filesystem::exists(state + ".lock")) {
    ASSERT_EQ(::chmod((state + ".lock").c_str(), 0666), 0);
  }
  ASSERT_EQ(::chmod(image.c_str(), 0644), 0);
  Env(state);  // writes the settings file
  ASSERT_EQ(::chmod((scratch.path() / "settings.ini").c_str(), 0644), 0);

  auto first = Run({"-f", "-write", image}, Account(kFirst, kGroup));
  ASSERT_EQ(first.exitCode, 0) << first.err;
  for (const auto& file : {Result(), Json(), Burn(), History(), home.path() / "quillon-runs.lock"}) {
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_gid, kGroup) << file;
    EXPECT_NE(info.st_mode & S_IWGRP, 0u) << file << " is not writable for the group";
    EXPECT_EQ(info.st_mode & S_IWOTH, 0u) << file;
  }
  auto second = Run({"-f", "-write", image}, Account(kSecond, kGroup));
  EXPECT_EQ(second.exitCode, 0) << second.err;
  ExpectOneStory(second, true, 0);
  EXPECT_EQ(testing::JsonLines(Json()).size(), 2u);
  EXPECT_EQ(HistoryRows().size(), 2u);

  // An old Result.txt only its owner may write.
  ASSERT_EQ(::chown(Result().c_str(), kFirst, kFirst), 0);
  ASSERT_EQ(::chmod(Result().c_str(), 0644), 0);
  auto refused = Run({"-f", "-write", image}, Account(kSecond, kGroup));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("quillon: cannot empty " + Result().string()), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("the chip was not touched"), std::string::npos) << refused.err;
  EXPECT_EQ(HistoryRows().size(), 2u) << "no run was recorded";
}

}  // namespace
}  // namespace quillon
