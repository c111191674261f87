// The result database: whole runs against a real PostgreSQL server (the
// postgres test fixture), taken down and brought back by the tests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/station_fixture.h"

namespace quillon {
namespace {

using nlohmann::json;
using Rows = std::vector<std::vector<std::string>>;

std::string FixtureConnection() {
  std::string text = testing::ReadText(std::filesystem::path(QUILLON_PG_FIXTURE_DIR) / "conninfo");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool Server(const char* action) {
  const std::string command =
      std::string(QUILLON_PG_FIXTURE_SCRIPT) + " " + action + " " + QUILLON_PG_FIXTURE_DIR + " >/dev/null";
  return std::system(command.c_str()) == 0;
}

// The rows of one statement; a failed statement fails the test.
Rows Query(const std::string& connection, const std::string& sql) {
  PGconn* conn = PQconnectdb(connection.c_str());
  Rows rows;
  if (PQstatus(conn) != CONNECTION_OK) {
    ADD_FAILURE() << PQerrorMessage(conn);
  } else {
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) << sql << ": " << PQerrorMessage(conn);
    for (int r = 0; r < PQntuples(result); ++r) {
      rows.emplace_back();
      for (int c = 0; c < PQnfields(result); ++c) rows.back().push_back(PQgetvalue(result, r, c));
    }
    PQclear(result);
  }
  PQfinish(conn);
  return rows;
}

class FleetStoreProcessTest : public testing::StationTest {
 protected:
  void SetUp() override {
    testing::StationTest::SetUp();
    const std::string base = FixtureConnection();
    ASSERT_FALSE(base.empty()) << "the postgres fixture did not start";
    // Each test its own database, so that no table is left from another.
    static int tests = 0;
    name = "quillon_" + std::to_string(::getpid()) + "_" + std::to_string(++tests);
    Query(base, "CREATE DATABASE " + name);
    connection = base + " dbname=" + name;
  }
  void TearDown() override {
    if (down) Server("up");
  }

  void TakeServerDown() {
    ASSERT_TRUE(Server("down"));
    down = true;
  }
  void BringServerUp() {
    ASSERT_TRUE(Server("up"));
    down = false;
  }

  testing::ProcessResult Run(const std::vector<std::string>& args) {
    return Quillon(args, {{"QUILLON_RESULT_DB", connection}});
  }

  std::vector<std::string> HistoryRunIds() {
    auto listing = Quillon({"--history", "--json"});
    EXPECT_EQ(listing.exitCode, 0) << listing.err;
    std::vector<std::string> ids;
    for (const json& record : json::parse(listing.out)) ids.push_back(record.at("run_id"));
    return ids;
  }

  std::vector<std::string> TableRunIds() {
    std::vector<std::string> ids;
    for (const auto& row : Query(connection, "SELECT run_id FROM quillon_runs ORDER BY received_seq")) {
      ids.push_back(row.at(0));
    }
    return ids;
  }

  std::string name;
  std::string connection;
  bool down = false;
};

TEST_F(FleetStoreProcessTest, RunWithTheServerUpStoresItsRecordInTheTable) {
  auto run = Run({"-f", "-write", image});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find("result database"), std::string::npos) << run.err;

  auto listing = Quillon({"--history", "--json"});
  const json record = json::parse(listing.out).at(0);
  const Rows rows = Query(connection,
                          "SELECT run_id, extract(epoch from time)::bigint, station, location, identity, serial_number,"
                          " image, image_sha256, operation, verdict, status_id, memory_type FROM quillon_runs");
  ASSERT_EQ(rows.size(), 1u);
  const std::vector<std::string> expected{
      record.at("run_id"),   std::to_string(std::stoll(rows[0][1])),  // checked against the text below
      record.at("station"),  "1-1",
      record.at("identity"), "QA-0042",
      image,                 record.at("image_sha256"),
      "write",               "PASS",
      "0",                   record.at("memory_type")};
  EXPECT_EQ(rows[0], expected);
  // The instant the history's local time text names.
  EXPECT_EQ(Query(connection, "SELECT extract(epoch from '" + record.at("time").get<std::string>() +
                                  "'::timestamptz)::bigint")[0][0],
            rows[0][1]);

  auto flush = Run({"--flush-results"});
  EXPECT_EQ(flush.exitCode, 0) << flush.err;
  EXPECT_EQ(flush.out, "quillon: 0 run records sent, 0 wait\n");

  // A station's role that may only insert into the existing table (and see its keys).
  const std::string role = name + "_station";
  Query(connection, "CREATE ROLE " + role + " LOGIN; GRANT INSERT, SELECT (run_id) ON quillon_runs TO " + role);
  auto limited = Quillon({"-f", "-write", image}, {{"QUILLON_RESULT_DB", connection + " user=" + role}});
  EXPECT_EQ(limited.exitCode, 0) << limited.err;
  EXPECT_EQ(limited.err.find("result database"), std::string::npos) << limited.err;
  EXPECT_EQ(TableRunIds(), HistoryRunIds());
}

TEST_F(FleetStoreProcessTest, RecordsWaitWhileTheServerIsDownAndAreSentOnceInOrder) {
  TakeServerDown();
  // A failed run waits too; the verdicts are the runs' own.
  const std::pair<std::string, int> runs[] = {{image, 0}, {wrongImage, 1}, {image, 0}};
  std::size_t waiting = 0;
  for (const auto& [file, exitCode] : runs) {
    auto run = Run({"-f", "-write", file});
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    ++waiting;
    EXPECT_NE(run.err.find("; " + std::to_string(waiting) +
                           " wait in the station history for the next run or quillon --flush-results\n"),
              std::string::npos)
        << run.err;
  }
  auto refused = Run({"--flush-results"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out, "quillon: 0 run records sent, 3 wait\n");

  BringServerUp();
  auto flush = Run({"--flush-results"});
  EXPECT_EQ(flush.exitCode, 0) << flush.err;
  EXPECT_EQ(flush.out, "quillon: 3 run records sent, 0 wait\n");
  auto again = Run({"--flush-results"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, "quillon: 0 run records sent, 0 wait\n");
  EXPECT_EQ(TableRunIds(), HistoryRunIds());

  // Missed by one run, sent by the next, still in the order they ran.
  TakeServerDown();
  EXPECT_EQ(Run({"-f", "-write", image}).exitCode, 0);
  BringServerUp();
  auto next = Run({"-f", "-write", image});
  EXPECT_EQ(next.exitCode, 0) << next.err;
  EXPECT_EQ(next.err.find("result database"), std::string::npos) << next.err;
  const auto history = HistoryRunIds();
  EXPECT_EQ(history.size(), 5u);
  EXPECT_EQ(TableRunIds(), history);
}

TEST_F(FleetStoreProcessTest, AGangSendsTheRecordOfEveryChipOnceInTheOrderTheyWereStored) {
  std::filesystem::remove(state);
  ASSERT_EQ(testing::RunProgram("quillon-sim", {"new", state, "--chips", "4", "--off-bus-ms", "20"}, {},
                                scratch.path())
                .exitCode,
            0);
  // The workers end together: one sends while the others find the send taken.
  auto gang = Run({"-f", "-write", image, "--all"});
  ASSERT_EQ(gang.exitCode, 0) << gang.out << gang.err;
  const auto history = HistoryRunIds();
  EXPECT_EQ(history.size(), 4u);
  EXPECT_EQ(TableRunIds(), history);
  EXPECT_EQ(Run({"--flush-results"}).out, "quillon: 0 run records sent, 0 wait\n");
}

TEST_F(FleetStoreProcessTest, AServerThatNeverAnswersCostsTheRunABoundedWait) {
  // Takes the connection into its backlog and never says a word.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  // The library alone would wait this long: the run is ended after 60 s (exit -1) if the bound fails.
  const std::string silent =
      "host=127.0.0.1 port=" + std::to_string(ntohs(address.sin_port)) + " user=x dbname=x connect_timeout=600";
  auto run = Quillon({"-f", "-write", image}, {}, "ResultDatabase=" + silent + "\r\n");
  ::close(listener);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("(no answer in time); 1 wait in the station history"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace quillon
