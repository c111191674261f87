// The tile's colours against the text drawn on them, read from across a line.
#include "ui/verdict_tile.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(VerdictTileTest, ContrastRatioFollowsTheLuminanceFormula) {
  EXPECT_NEAR(ContrastRatio({0, 0, 0}, {255, 255, 255}), 21.0, 1e-9);
  EXPECT_NEAR(ContrastRatio({255, 255, 255}, {255, 255, 255}), 1.0, 1e-9);
  EXPECT_NEAR(ContrastRatio({255, 255, 255}, {255, 0, 0}), 4.0, 0.01);  // the old FAIL red
  EXPECT_NEAR(ContrastRatio({255, 255, 255}, {160, 0, 0}), 8.42, 0.01);
  EXPECT_EQ(ContrastRatio({10, 20, 30}, {200, 100, 50}), ContrastRatio({200, 100, 50}, {10, 20, 30}));
}

// Every tile reads at 7:1 or better, and the states stay apart by colour.
TEST(VerdictTileTest, EveryTileReadsAtSevenToOne) {
  const TileState states[] = {TileState::Idle,      TileState::Running, TileState::Pass,       TileState::Fail,
                              TileState::Cancelled, TileState::NoUnit,  TileState::NotAccepted};
  for (TileState state : states) {
    const Rgb background = TileColour(state);
    EXPECT_GE(ContrastRatio(background, TextColourOn(background)), 7.0) << TileVerdictText(state);
    for (TileState other : states) {
      if (other == state) continue;
      EXPECT_NE(background, TileColour(other)) << TileVerdictText(state) << " and " << TileVerdictText(other);
    }
  }
}

}  // namespace
}  // namespace quillon
