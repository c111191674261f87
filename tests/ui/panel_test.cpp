// The station panel, offscreen, writing a fixture of simulated chips through
// real worker processes; it saves pictures of a busy and a finished panel.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>

#include "app/quillon_main.h"
#include "data/settings.h"
#include "flow/status.h"
#include "platform/files.h"
#include "platform/process_lock.h"
#include "support/lock_probe.h"
#include "support/record_lines.h"
#include "support/run_process.h"
#include "support/temp_dir.h"
#include "ui/qt/qt_panel_view.h"
#include "ui/station_panel.h"

namespace quillon::testing {
namespace {


class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = (scratch.path() / "fixture.state").string();
    image = home.path() / "TQ7704_SPI.rfw";
    std::filesystem::copy_file(BinDir().parent_path() / "demo" / "TQ7704_SPI.rfw", image);
    records = scratch.path() / "records.jsonl";
    const auto settings = scratch.Write(
        "settings.ini",
        "[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\nLogType=1\r\nGang=1\r\nImageFile=TQ7704_SPI.rfw\r\n");
    env.push_back(std::make_unique<ScopedEnv>("QUILLON_HOME", home.path().string()));
    env.push_back(std::make_unique<ScopedEnv>("QUILLON_SETTINGS", settings.string()));
    env.push_back(std::make_unique<ScopedEnv>("QUILLON_SIM", state));
    env.push_back(std::make_unique<ScopedEnv>("QUILLON_RESULT_JSON", records.string()));
    env.push_back(std::make_unique<ScopedEnv>("QT_QPA_PLATFORM", "offscreen"));
    // The workers write "burn_result.txt" where they run, as a gang's do.
    previousDir = std::filesystem::current_path();
    std::filesystem::current_path(home.path());
  }
  void TearDown() override {
    std::filesystem::current_path(previousDir);
    TheSettings().LoadFromText("");
  }

  void Sim(std::vector<std::string> args) {
    ASSERT_EQ(RunProgram("quillon-sim", std::move(args), {}, scratch.path()).exitCode, 0);
  }
  std::string Dump(int chip) {
    const auto file = scratch.path() / ("dump" + std::to_string(chip));
    EXPECT_EQ(RunProgram("quillon-sim", {"dump", state, file.string(), "--chip", std::to_string(chip)}, {},
                         scratch.path())
                  .exitCode,
              0);
    return ReadText(file);
  }
  std::vector<nlohmann::json> Records() { return testing::JsonLines(records); }
  // The offscreen display as one screen of this size.
  void UseScreen(int width, int height) {
    const auto config = scratch.Write("screen.json", "{\"screens\": [{\"name\": \"line\", \"x\": 0, \"y\": 0, \"width\": " +
                                                         std::to_string(width) + ", \"height\": " + std::to_string(height) +
                                                         ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}");
    screenEnv.emplace("QT_QPA_PLATFORM", "offscreen:configfile=" + config.string());
  }
  std::vector<std::string> BurnLines() { return testing::RawLines(home.path() / "burn_result.txt"); }
  std::filesystem::path Shot(const char* name) {
    const char* binDir = std::getenv("QUILLON_BIN_DIR");
    return (binDir != nullptr ? std::filesystem::path(binDir) : scratch.path()) / name;
  }

  // Runs the panel's window; `tick` is called every 10 ms until the window ends.
  void Run(const std::function<void(QtPanelView&, StationPanel&)>& tick, GangChipLister lister = &ListChipsAfresh) {
    ASSERT_NE(LoadSettings(home.path().string(), false), SettingsLoad::kFileUnusable);
    int argc = 1;
    char name[] = "ui_panel_tests";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    QtPanelView view;
    StationPanel panel(view, "2.61.32", std::move(lister), BinDir() / "quillon");
    view.Attach(&panel);
    panel.Init();
    int checks = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      // A guard against a run that never ends, not a measure of time.
      if (++checks > 12000) {
        ADD_FAILURE() << "the panel did not end";
        view.EndWindow();
        return;
      }
      tick(view, panel);
    });
    watch.start(10);
    view.exec();
    watch.stop();
    tiles = panel.tiles();
    passes = panel.passCount();
    fails = panel.failCount();
    ended = panel.ended();
  }

  TempDir home;
  TempDir scratch;
  std::string state;
  std::filesystem::path image;
  std::filesystem::path records;
  std::filesystem::path previousDir;
  std::vector<std::unique_ptr<ScopedEnv>> env;
  std::optional<ScopedEnv> screenEnv;  // after env: put back first
  std::vector<PanelTile> tiles;
  int passes = 0;
  int fails = 0;
  bool ended = false;
};

// Three chips, the middle one losing power in the middle of its write: each
// tile shows its own verdict, the records hold one line per chip, and the
// window's exit status is the failure.
TEST_F(PanelTest, EachTileShowsItsChipsVerdictAndEveryRunIsRecorded) {
  Sim({"new", state, "--chips", "3", "--bus", "separate", "--off-bus-ms", "20"});
  Sim({"fault", state, "power-loss-pages", "1", "4", "--chip", "1"});
  const auto busyShot = Shot("panel-busy.png");
  const auto doneShot = Shot("panel-finished.png");
  std::filesystem::remove(busyShot);
  std::filesystem::remove(doneShot);
  bool started = false, busySaved = false, doneSaved = false;
  std::vector<std::string> shownBefore, shownAfter;
  std::vector<int> lastProgress(3, 0);
  bool progressWentBack = false;
  Run([&](QtPanelView& view, StationPanel& panel) {
    if (!started) {
      for (std::size_t i = 0; i < view.TileCount(); ++i) shownBefore.push_back(view.TileText(i));
      EXPECT_TRUE(view.StartEnabled());
      started = true;
      panel.OnStart();
      EXPECT_FALSE(view.StartEnabled()) << "no second run while one runs";
      return;
    }
    for (std::size_t i = 0; i < view.TileCount() && i < 3; ++i) {
      if (view.TileProgress(i) < lastProgress[i]) progressWentBack = true;
      lastProgress[i] = view.TileProgress(i);
    }
    if (panel.running()) {
      if (!busySaved && view.TileProgress(0) > 0 && view.TileText(0) == "BUSY") {
        busySaved = view.grab().save(QString::fromStdString(busyShot.string()), "PNG");
      }
      return;
    }
    if (!doneSaved) {
      for (std::size_t i = 0; i < view.TileCount(); ++i) shownAfter.push_back(view.TileText(i));
      doneSaved = view.grab().save(QString::fromStdString(doneShot.string()), "PNG");
      panel.OnClose(CloseRequest::CloseBox);
    }
  });

  EXPECT_TRUE(ended);
  EXPECT_EQ(shownBefore, (std::vector<std::string>{"READY", "READY", "READY"}));
  EXPECT_EQ(shownAfter, (std::vector<std::string>{"PASS", "FAIL", "PASS"}));
  EXPECT_TRUE(busySaved);
  EXPECT_TRUE(doneSaved);
  EXPECT_FALSE(progressWentBack);
  ASSERT_EQ(tiles.size(), 3u);
  const char* locations[] = {"1-1", "2-1", "3-1"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(locations[i]);
    EXPECT_EQ(tiles[i].location, locations[i]);
    EXPECT_EQ(tiles[i].identity, "VID_3A7C&PID_0011&REV_0001");
  }
  EXPECT_EQ(tiles[0].state, TileState::Pass);
  EXPECT_EQ(tiles[0].progress, 100);
  EXPECT_EQ(tiles[2].state, TileState::Pass);
  EXPECT_EQ(tiles[1].state, TileState::Fail) << "the verdict stays though the chip fell off the bus";
  EXPECT_LT(tiles[1].progress, 100);
  EXPECT_FALSE(tiles[1].statusText.empty());
  EXPECT_EQ(passes, 2);
  EXPECT_EQ(fails, 1);
  EXPECT_EQ(Dump(0), ReadText(image));
  EXPECT_EQ(Dump(2), ReadText(image));
  EXPECT_NE(Dump(1), ReadText(image));

  const auto recs = Records();
  ASSERT_EQ(recs.size(), 3u);
  std::map<std::string, nlohmann::json> byLocation;
  for (const auto& rec : recs) byLocation[rec["location"]] = rec;
  EXPECT_EQ(byLocation["1-1"]["verdict"], "PASS");
  EXPECT_EQ(byLocation["3-1"]["verdict"], "PASS");
  EXPECT_EQ(byLocation["2-1"]["verdict"], "FAIL");
  const std::uint32_t failId = byLocation["2-1"]["status_id"];
  EXPECT_NE(failId, 0u);
  EXPECT_EQ(tiles[1].statusText.rfind(std::to_string(failId) + " ", 0), 0u) << tiles[1].statusText;
  EXPECT_EQ(BurnLines().size(), 5u) << "the header once, one line per chip";
  EXPECT_EQ(ReadText(home.path() / "Result.txt"), "fail");
  EXPECT_EQ(LastStatus(), failId) << "the window exits 0 only when every chip of the last run passed";
}

// Closing the panel during a run: a key does nothing, the close box asks, and
// every worker stops; each chip's run is recorded as a cancel, not a fault.
TEST_F(PanelTest, ClosingDuringARunStopsEveryWorkerAndRecordsCancels) {
  Sim({"new", state, "--chips", "2", "--bus", "separate", "--off-bus-ms", "20"});
  for (const char* chip : {"0", "1"}) Sim({"fault", state, "slow-erase", "60000", "--chip", chip});
  bool started = false, asked = false;
  Run([&](QtPanelView& view, StationPanel& panel) {
    if (!started) {
      started = true;
      panel.OnStart();
      return;
    }
    if (asked || !HeldElsewhere(ChipLockFile("1-1")) || !HeldElsewhere(ChipLockFile("2-1"))) return;
    panel.OnClose(CloseRequest::Key);
    EXPECT_FALSE(panel.ended()) << "a stray Enter never stops a run";
    asked = true;
    // Answers the question the close box asks.
    QTimer::singleShot(0, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->button(QMessageBox::Yes)->click();
      }
    });
    panel.OnClose(CloseRequest::CloseBox);
    (void)view;
  });

  EXPECT_TRUE(asked);
  EXPECT_TRUE(ended);
  ASSERT_EQ(tiles.size(), 2u);
  for (const PanelTile& tile : tiles) {
    EXPECT_EQ(tile.state, TileState::Cancelled) << tile.location;
    EXPECT_EQ(tile.statusText, "Run Cancelled!");
  }
  EXPECT_EQ(passes + fails, 0) << "a cancel says nothing about the unit";
  const auto recs = Records();
  ASSERT_EQ(recs.size(), 2u);
  for (const auto& rec : recs) {
    EXPECT_EQ(rec["verdict"], "FAIL");
    EXPECT_EQ(rec["status_id"], msg::kRunCancelled);
    EXPECT_EQ(rec["identity"], "VID_3A7C&PID_0011&REV_0001");
  }
  const auto burn = BurnLines();
  ASSERT_EQ(burn.size(), 4u);
  for (std::size_t i = 2; i < burn.size(); ++i) {
    EXPECT_NE(burn[i].find("41599"), std::string::npos) << burn[i];
    EXPECT_EQ(burn[i].find("VID_"), std::string::npos) << "the serial column names no identity: " << burn[i];
  }
  EXPECT_EQ(LastStatus(), msg::kRunCancelled);
}

// True when the whole of `widget` can be seen: nothing of it scrolled away or
// past the window's edge.
bool WhollyShown(const QWidget* widget) {
  return widget->isVisible() && widget->visibleRegion().boundingRect().size() == widget->size();
}

// Eight ports at 1024x768, the seventh chip losing power: the window fits the
// screen with every tile, the counts and the summary whole on it, and the
// summary names the failed unit with its status.
TEST_F(PanelTest, EightPortsFitTheScreenAndTheSummaryNamesTheFail) {
  UseScreen(1024, 768);
  Sim({"new", state, "--chips", "8", "--bus", "separate", "--off-bus-ms", "20"});
  Sim({"fault", state, "power-loss-pages", "1", "4", "--chip", "6"});
  bool started = false, checked = false;
  std::string summary;
  std::vector<std::string> shown;
  Run([&](QtPanelView& view, StationPanel& panel) {
    if (!started) {
      started = true;
      panel.OnStart();
      return;
    }
    if (panel.running() || checked) return;
    checked = true;
    QApplication::processEvents();
    const QRect screen = view.screen()->availableGeometry();
    EXPECT_EQ(screen.size(), QSize(1024, 768));
    EXPECT_TRUE(screen.contains(view.frameGeometry())) << view.frameGeometry().width() << "x"
                                                       << view.frameGeometry().height();
    EXPECT_EQ(view.Columns(), 4);
    ASSERT_EQ(view.TileCount(), 8u);
    for (std::size_t i = 0; i < view.TileCount(); ++i) {
      EXPECT_TRUE(WhollyShown(view.TileWidget(i))) << "tile " << i;
      shown.push_back(view.TileText(i));
    }
    EXPECT_TRUE(WhollyShown(view.CountsLabel()));
    EXPECT_TRUE(WhollyShown(view.SummaryLabel()));
    EXPECT_EQ(view.CountsLabel()->text().toStdString(), SessionCountsText(7, 1));
    summary = view.SummaryLabel()->text().toStdString();
    panel.OnClose(CloseRequest::CloseBox);
  });
  EXPECT_TRUE(checked);
  EXPECT_EQ(shown, (std::vector<std::string>{"PASS", "PASS", "PASS", "PASS", "PASS", "PASS", "FAIL", "PASS"}));
  const auto recs = Records();
  ASSERT_EQ(recs.size(), 8u);
  for (const auto& rec : recs) {
    if (rec["location"] != "7-1") continue;
    const std::uint32_t id = rec["status_id"];
    EXPECT_NE(id, 0u);
    EXPECT_EQ(summary, "1 of 8 FAILED: 7-1 " + std::to_string(id) + " " + rec["status_text"].get<std::string>());
  }
}

// Between runs the panel watches the bus: a unit pulled after its PASS takes
// the PASS with it, one plugged in is READY, and a unit that went off the bus
// during its own run (here: the listing stops showing it) keeps its FAIL
// until a unit is at that port again.
TEST_F(PanelTest, AVerdictLeavesWithItsUnit) {
  Sim({"new", state, "--chips", "2", "--bus", "separate", "--off-bus-ms", "20"});
  Sim({"fault", state, "power-loss-pages", "1", "4", "--chip", "1"});
  bool hideSecond = false;
  auto lister = [&hideSecond] {
    std::vector<GangChip> chips = ListChipsAfresh();
    if (hideSecond) std::erase_if(chips, [](const GangChip& chip) { return chip.location == "2-1"; });
    return chips;
  };
  enum class Step { Start, Ran, Pulled, Plugged, Back, Done } step = Step::Start;
  std::vector<std::vector<PanelTile>> seen;
  Run(
      [&](QtPanelView&, StationPanel& panel) {
        const std::vector<PanelTile>& now = panel.tiles();
        switch (step) {
          case Step::Start:
            panel.OnStart();
            hideSecond = true;
            step = Step::Ran;
            return;
          case Step::Ran:
            if (panel.running()) return;
            seen.push_back(now);
            Sim({"pull", state, "--chip", "0"});
            step = Step::Pulled;
            return;
          case Step::Pulled:
            if (now[0].state == TileState::Pass) return;  // until the panel has looked again
            seen.push_back(now);
            Sim({"plug", state, "--chip", "0"});
            step = Step::Plugged;
            return;
          case Step::Plugged:
            if (now[0].state == TileState::NoUnit) return;
            seen.push_back(now);
            hideSecond = false;
            step = Step::Back;
            return;
          case Step::Back:
            if (now[1].state == TileState::Fail) return;
            seen.push_back(now);
            step = Step::Done;
            panel.OnClose(CloseRequest::CloseBox);
            return;
          case Step::Done:
            return;
        }
      },
      lister);
  ASSERT_EQ(seen.size(), 4u);
  ASSERT_EQ(seen[0].size(), 2u);
  EXPECT_EQ(seen[0][0].state, TileState::Pass);
  EXPECT_EQ(seen[0][1].state, TileState::Fail);
  EXPECT_FALSE(seen[0][1].present);

  EXPECT_EQ(seen[1][0].state, TileState::NoUnit) << "pulled after its PASS";
  EXPECT_EQ(seen[1][0].statusText, "");
  EXPECT_EQ(seen[1][0].progress, 0);
  EXPECT_EQ(seen[1][1].state, TileState::Fail) << "still in the fixture, dead";
  EXPECT_FALSE(seen[1][1].statusText.empty());

  EXPECT_EQ(seen[2][0].state, TileState::Idle) << "a unit plugged in is READY, not the last one's PASS";
  EXPECT_TRUE(seen[2][0].present);
  EXPECT_EQ(seen[2][1].state, TileState::Fail);

  EXPECT_EQ(seen[3][1].state, TileState::Idle) << "a unit at the port again: one to run, not a FAIL";
  EXPECT_EQ(seen[3][1].statusText, "");
  EXPECT_EQ(passes, 1) << "the session counts keep every run";
  EXPECT_EQ(fails, 1);
}

}  // namespace
}  // namespace quillon::testing
