// The units a station sees, by the port they sit in, each with its own state
// and the verdict of its own run. The window and the station panel draw it;
// it knows nothing of widgets, flows or the bus, so its rules are tested with
// plain sequences of events.
//
// The rules: a unit that arrives at a port is a new unit (never the last
// one's verdict), except during that port's run, when the chip's own reset
// takes it off the bus and back; a unit that leaves between runs is gone and
// takes its verdict with it; units wait in arrival order; every arrival gets
// at most one automatic start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/verdict_tile.h"

namespace quillon {

enum class UnitState { Ready, NotAccepted, Busy, Pass, Fail, Cancelled };

struct UnitVerdict {
  UnitState state = UnitState::Pass;  // Pass, Fail or Cancelled
  std::uint32_t statusId = 0;         // 0 for a PASS
  std::string text;                   // "Download Succeed" or the failure text
  // Whom it was made for, as the run saw the unit.
  std::string serial;
  std::string identity;
};

struct Unit {
  std::uint64_t number = 0;  // arrival order, never reused
  std::string location;
  std::string identity;  // empty until the unit was read
  std::string serial;
  std::string firmware;  // the running version as read
  bool described = false;
  bool accepted = true;
  std::string refusal;  // why it is not accepted
  UnitState state = UnitState::Ready;
  std::optional<UnitVerdict> verdict;
  bool autoRunTaken = false;
  bool present = true;  // false once it has left the station
};

// What a tile shows for a unit (nullptr: no unit at all).
TileState TileStateOf(const Unit* unit);

class UnitBoard {
 public:
  // A unit appeared at `location`. During that port's run it is the chip
  // coming back from its reset; otherwise a fresh unit replaces whatever sat
  // there. Returns the unit.
  const Unit& Arrive(const std::string& location);
  // A unit left `location`. During that port's run it is the chip's reset
  // (the run decides); otherwise the unit is gone.
  void Leave(const std::string& location);
  // What reading the unit at `location` found. Arrives it first when the
  // board did not know it (a unit found by a listing, not an event).
  void Describe(const std::string& location, const std::string& identity, const std::string& serial,
                const std::string& firmware, bool accepted, const std::string& refusal);

  // A run starts on the unit at `location`; false when there is none or a run is under way.
  bool Begin(const std::string& location);
  // The run's verdict, stored on the unit it was made for. The port stays the
  // run's until Settle, so the resets at its end are still part of it.
  void Finish(const UnitVerdict& verdict);
  // The run and everything it did on the bus is over: a unit that left during
  // it and did not come back is gone now.
  void Settle();
  // A run refused before it touched the unit: back to its state before Begin.
  void Abandon();

  // The unit AutoRun starts now, if any: the oldest accepted, described unit
  // without a verdict whose arrival has not had its start yet. Takes it.
  std::optional<std::string> TakeAutoRun();
  // Where Start by the operator runs: the oldest unit waiting without a
  // verdict, else the unit shown.
  std::optional<std::string> NextForStart() const;

  // The unit the single window shows: the running one; else the one the last
  // event was about; a unit that left stays shown (as gone) until another one
  // is there to show. Null when the board never saw a unit.
  const Unit* Shown() const;
  const Unit* At(const std::string& location) const;
  // The units present, in arrival order.
  std::vector<Unit> Units() const;
  bool Running() const { return !running_.empty(); }
  const std::string& RunningLocation() const { return running_; }
  // The run ended (Finish) but has not settled yet.
  bool Settling() const { return settling_; }

 private:
  Unit& ArriveUnit(const std::string& location);
  Unit* Find(const std::string& location);
  const Unit* Find(const std::string& location) const;
  void Depart(std::vector<Unit>::iterator unit);
  void ShowNextWaiting();

  std::vector<Unit> units_;
  std::optional<Unit> departed_;  // the shown unit after it left
  std::uint64_t nextNumber_ = 1;
  std::string running_;
  bool settling_ = false;
  // The running unit had left the bus when its verdict came.
  bool goneAtVerdict_ = false;
  std::optional<UnitState> stateBeforeRun_;
  std::optional<UnitVerdict> verdictBeforeRun_;
  std::uint64_t shown_ = 0;  // the number of the unit shown
};

}  // namespace quillon
