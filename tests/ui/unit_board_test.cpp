// The unit board's rules as sequences of station events: what the window
// shows after each, which unit an automatic start or Start takes.
#include "ui/unit_board.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace quillon {
namespace {

// One event per word: "+L" arrives at L, "-L" leaves L, "dL" describes L
// (accepted, serial "SN-L"), "xL" describes L as not accepted, "bL" begins a
// run at L, "P"/"F"/"C" finishes it PASS/FAIL/CANCELLED, "s" settles it,
// "a" takes an automatic start (recorded in `autoRuns`).
struct Played {
  UnitBoard board;
  std::vector<std::string> autoRuns;
};

Played Play(const std::string& script) {
  Played played;
  std::istringstream words(script);
  for (std::string word; words >> word;) {
    const std::string where = word.substr(1);
    switch (word[0]) {
      case '+': played.board.Arrive(where); break;
      case '-': played.board.Leave(where); break;
      case 'd': played.board.Describe(where, "VID_3A7C&PID_0011&REV_0001", "SN-" + where, "1.0", true, ""); break;
      case 'x': played.board.Describe(where, "VID_3A7C&PID_0099&REV_0001", "SN-" + where, "1.0", false, "another product"); break;
      case 'b': played.board.Begin(where); break;
      case 'P': played.board.Finish({UnitState::Pass, 0, "Download Succeed", "", ""}); break;
      case 'F': played.board.Finish({UnitState::Fail, 41533, "USB Link Fail!", "", ""}); break;
      case 'C': played.board.Finish({UnitState::Cancelled, 1223, "cancelled", "", ""}); break;
      case 's': played.board.Settle(); break;
      case 'a': {
        auto taken = played.board.TakeAutoRun();
        played.autoRuns.push_back(taken.value_or("none"));
        break;
      }
      default: ADD_FAILURE() << "bad word " << word;
    }
  }
  return played;
}

// "LOCATION TILE" of the unit shown, "- NO UNIT" without one; a unit that
// has left is marked "(left)".
std::string ShownText(const UnitBoard& board) {
  const Unit* unit = board.Shown();
  std::string text = unit == nullptr ? "-" : unit->location;
  text += std::string(" ") + TileVerdictText(TileStateOf(unit));
  if (unit != nullptr && !unit->present) text += " (left)";
  return text;
}

struct BoardCase {
  const char* name;
  const char* script;
  const char* shown;
};
void PrintTo(const BoardCase& c, std::ostream* out) { *out << c.name; }

class UnitBoardShownTest : public ::testing::TestWithParam<BoardCase> {};

TEST_P(UnitBoardShownTest, ShowsTheUnitInFrontOfTheOperator) {
  const BoardCase& c = GetParam();
  Played played = Play(c.script);
  EXPECT_EQ(ShownText(played.board), c.shown) << c.script;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, UnitBoardShownTest,
    ::testing::Values(
        BoardCase{"Empty", "", "- NO UNIT"},
        BoardCase{"ArrivedAndRead", "+1-1 d1-1", "1-1 READY"},
        BoardCase{"NotAccepted", "+1-1 x1-1", "1-1 NOT ACCEPTED"},
        BoardCase{"Running", "+1-1 d1-1 b1-1", "1-1 BUSY"},
        BoardCase{"Passed", "+1-1 d1-1 b1-1 P s", "1-1 PASS"},
        // The chip's own resets during the run are part of the run.
        BoardCase{"ResetsDuringTheRun", "+1-1 d1-1 b1-1 -1-1 +1-1 -1-1 +1-1 P s", "1-1 PASS"},
        // The final reset's events reach the board after the verdict but before the run settles.
        BoardCase{"ResetAfterTheVerdict", "+1-1 d1-1 b1-1 P -1-1 +1-1 s", "1-1 PASS"},
        // Pulled mid-run: its own FAIL stays on screen, marked as gone.
        BoardCase{"PulledMidRun", "+1-1 d1-1 b1-1 -1-1 F s", "1-1 FAIL (left)"},
        // Pulled mid-run and plugged back before the failed run settled: another plug, not a reset.
        BoardCase{"PluggedBackBeforeTheFailSettled", "+1-1 d1-1 b1-1 -1-1 F +1-1 s d1-1", "1-1 READY"},
        BoardCase{"LeftAfterItsPass", "+1-1 d1-1 b1-1 P s -1-1", "1-1 PASS (left)"},
        // The next unit at the same port never shows the last one's verdict.
        BoardCase{"NextUnitSamePort", "+1-1 d1-1 b1-1 P s -1-1 +1-1", "1-1 READY"},
        BoardCase{"PluggedBackAfterAnotherPassed", "+1-1 d1-1 b1-1 -1-1 F s +1-1 d1-1 b1-1 P s -1-1 +1-1 d1-1",
                  "1-1 READY"},
        BoardCase{"NotAcceptedAfterAPass", "+1-1 d1-1 b1-1 P s -1-1 +1-1 x1-1", "1-1 NOT ACCEPTED"},
        BoardCase{"PulledRightAfterItsPlug", "+1-1 d1-1 b1-1 P s -1-1 +1-1 -1-1", "1-1 NO UNIT (left)"},
        // A replug without a leave event (missed) is still a new unit.
        BoardCase{"ArrivalWithoutLeave", "+1-1 d1-1 b1-1 P s +1-1 d1-1", "1-1 READY"},
        // A second unit plugged during a run waits; the window keeps the run's unit.
        BoardCase{"SecondUnitDuringARun", "+1-1 d1-1 b1-1 +1-2 d1-2", "1-1 BUSY"},
        BoardCase{"FirstUnitsVerdictAfterIt", "+1-1 d1-1 b1-1 +1-2 d1-2 P s", "1-1 PASS"},
        BoardCase{"WaitingUnitAfterTheFirstLeft", "+1-1 d1-1 b1-1 +1-2 d1-2 P s -1-1", "1-2 READY"},
        BoardCase{"ANewPlugIsShown", "+1-1 d1-1 b1-1 P s +1-2", "1-2 READY"},
        // Another unit leaving does not touch the one shown.
        BoardCase{"OtherUnitLeaves", "+1-1 d1-1 +1-2 d1-2 b1-2 P s -1-1", "1-2 PASS"}),
    [](const auto& info) { return std::string(info.param.name); });

// Each arrival gets one automatic start, in arrival order; a unit that stays
// after its verdict is never started again by itself; a re-plugged unit is a
// new arrival.
TEST(UnitBoardTest, EveryArrivalGetsOneAutomaticStart) {
  struct Case {
    const char* script;
    std::vector<std::string> autoRuns;
  };
  const Case cases[] = {
      {"+1-1 a d1-1 a", {"none", "1-1"}},  // not before the unit was read
      {"+1-1 x1-1 a", {"none"}},           // nor a unit not accepted
      {"+1-1 d1-1 a b1-1 P s a a", {"1-1", "none", "none"}},
      {"+1-1 d1-1 a b1-1 F s -1-1 +1-1 d1-1 a", {"1-1", "1-1"}},
      {"+1-1 d1-1 a b1-1 -1-1 F +1-1 s d1-1 a", {"1-1", "1-1"}},  // plugged back before the FAIL settled
      {"+1-1 d1-1 a b1-1 -1-1 P +1-1 s d1-1 a", {"1-1", "none"}},  // a PASS's own last reset
      // Abandoned before the run (a question answered No): still no second start.
      {"+1-1 d1-1 a a", {"1-1", "none"}},
      // Two units: the second waits for the first run, then gets its own.
      {"+1-1 d1-1 a b1-1 +1-2 d1-2 a P s a", {"1-1", "none", "1-2"}},
      {"+1-2 d1-2 +1-1 d1-1 a a", {"1-2", "1-1"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Play(c.script).autoRuns, c.autoRuns) << c.script;
  }
}

// Start takes the oldest unit without a verdict, else the one shown; a run
// on it stores the verdict with that unit and no other.
TEST(UnitBoardTest, StartTakesTheNextWaitingUnitAndTheVerdictStaysWithIt) {
  Played played = Play("+1-1 d1-1 b1-1 +1-2 d1-2 P s");
  EXPECT_EQ(played.board.NextForStart(), "1-2");
  ASSERT_TRUE(played.board.Begin("1-2"));
  played.board.Finish({UnitState::Fail, 41533, "USB Link Fail!", "SN-1-2", ""});
  played.board.Settle();
  const Unit* first = played.board.At("1-1");
  const Unit* second = played.board.At("1-2");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->state, UnitState::Pass);
  EXPECT_EQ(second->state, UnitState::Fail);
  ASSERT_TRUE(second->verdict.has_value());
  EXPECT_EQ(second->verdict->serial, "SN-1-2");
  EXPECT_EQ(played.board.NextForStart(), "1-2") << "every unit has its verdict: the shown one";
  EXPECT_FALSE(Play("").board.NextForStart().has_value());
  EXPECT_FALSE(Play("+1-1 d1-1 b1-1 P s -1-1").board.NextForStart().has_value()) << "a unit that left";
}

// A second run cannot begin during one, nor on a port without a unit; an
// abandoned run leaves the unit as it was.
TEST(UnitBoardTest, BeginNeedsAUnitAndAFreeStation) {
  Played played = Play("+1-1 d1-1 +1-2 d1-2");
  EXPECT_FALSE(played.board.Begin("1-9"));
  ASSERT_TRUE(played.board.Begin("1-1"));
  EXPECT_FALSE(played.board.Begin("1-2"));
  played.board.Abandon();
  EXPECT_FALSE(played.board.Running());
  EXPECT_EQ(played.board.At("1-1")->state, UnitState::Ready);
  EXPECT_EQ(played.board.Units().size(), 2u);
}

}  // namespace
}  // namespace quillon
