// What the station panel puts on screen besides the tiles: the summary line,
// how many tiles stand in a row, and in which order.
#include <gtest/gtest.h>

#include <algorithm>

#include "ui/station_panel.h"

namespace quillon::testing {
namespace {

PanelTile Tile(const char* location, TileState state, const char* statusText = "") {
  PanelTile tile;
  tile.location = location;
  tile.identity = "VID_3A7C&PID_0011&REV_0001";
  tile.state = state;
  tile.statusText = statusText;
  return tile;
}

std::vector<PanelTile> Fixture(std::size_t ports, TileState state) {
  std::vector<PanelTile> tiles;
  for (std::size_t i = 1; i <= ports; ++i) tiles.push_back(Tile((std::to_string(i) + "-1").c_str(), state));
  return tiles;
}

struct SummaryCase {
  const char* name;
  std::vector<PanelTile> tiles;
  const char* text;
};

TEST(PanelSummaryTest, NamesEveryFailedUnit) {
  auto oneFailed = Fixture(8, TileState::Pass);
  oneFailed[6] = Tile("7-1", TileState::Fail, "41533 USB Link Fail!");
  auto twoFailed = oneFailed;
  twoFailed[1] = Tile("2-1", TileState::Fail, "41708 Erase Flash Fail!");
  auto failedWhileBusy = Fixture(4, TileState::Running);
  failedWhileBusy[3] = Tile("4-1", TileState::Fail, "41533 USB Link Fail!");
  auto missing = Fixture(3, TileState::Pass);
  missing[0].state = TileState::NoUnit;
  missing.push_back(Tile("4-1", TileState::Idle));
  auto stopped = Fixture(2, TileState::Cancelled);
  stopped[0] = Tile("1-1", TileState::Pass);
  auto noText = Fixture(1, TileState::Fail);
  const SummaryCase cases[] = {
      {"one of eight", oneFailed, "1 of 8 FAILED: 7-1 41533 USB Link Fail!"},
      {"two, in port order", twoFailed,
       "2 of 8 FAILED: 2-1 41708 Erase Flash Fail!; 7-1 41533 USB Link Fail!"},
      {"a FAIL before the others end", failedWhileBusy, "1 of 4 FAILED: 4-1 41533 USB Link Fail! - 3 BUSY"},
      {"all passed", Fixture(8, TileState::Pass), "8 of 8 PASSED"},
      {"running", Fixture(3, TileState::Running), "3 of 3 BUSY"},
      {"units not in the run are not counted", missing, "2 of 2 PASSED"},
      {"stopped", stopped, "1 of 2 CANCELLED"},
      {"a FAIL without a text", noText, "1 of 1 FAILED: 1-1"},
      {"no run yet", Fixture(4, TileState::Idle), ""},
      {"no unit", {}, ""},
  };
  for (const SummaryCase& c : cases) {
    EXPECT_EQ(PanelSummaryText(c.tiles), c.text) << c.name;
  }
}

TEST(PanelColumnsTest, RowsFitTheWidthAndShareTheTiles) {
  struct Case {
    std::size_t tiles;
    int width;
    int columns;
  };
  // 950 and 1850 pixels: what 1024x768 and 1920x1080 leave inside the window.
  const Case cases[] = {
      {8, 950, 4},  {16, 1850, 8}, {8, 1850, 8},  {3, 950, 3}, {5, 950, 3},
      {1, 950, 1},  {0, 950, 1},   {4, 100, 1},   {32, 950, 4}, {9, 950, 3},
  };
  for (const Case& c : cases) {
    const int columns = PanelColumns(c.tiles, c.width);
    EXPECT_EQ(columns, c.columns) << c.tiles << " tiles in " << c.width << " px";
    if (columns > 1) {
      EXPECT_LE(columns * kPanelTileMinWidth + (columns - 1) * kPanelTileSpacing, c.width)
          << c.tiles << " tiles in " << c.width << " px";
    }
  }
}

TEST(PanelOrderTest, PortsStandInTheirNumbersOrder) {
  std::vector<std::string> locations{"10-1", "2-1", "1-1.10", "1-1.2", "16-1", "1-1", "3-1"};
  std::sort(locations.begin(), locations.end(), LocationBefore);
  EXPECT_EQ(locations, (std::vector<std::string>{"1-1", "1-1.2", "1-1.10", "2-1", "3-1", "10-1", "16-1"}));
  EXPECT_FALSE(LocationBefore("2-1", "2-1"));
  EXPECT_TRUE(LocationBefore("2-01", "2-2"));
}

}  // namespace
}  // namespace quillon::testing
