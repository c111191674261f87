#include "ui/unit_board.h"

#include <algorithm>

namespace quillon {

TileState TileStateOf(const Unit* unit) {
  if (unit == nullptr) return TileState::NoUnit;
  switch (unit->state) {
    case UnitState::Busy:
      return TileState::Running;
    case UnitState::Pass:
      return TileState::Pass;
    case UnitState::Fail:
      return TileState::Fail;
    case UnitState::Cancelled:
      return TileState::Cancelled;
    case UnitState::NotAccepted:
      return unit->present ? TileState::NotAccepted : TileState::NoUnit;
    case UnitState::Ready:
      break;
  }
  return unit->present ? TileState::Idle : TileState::NoUnit;
}

Unit* UnitBoard::Find(const std::string& location) {
  auto found = std::find_if(units_.begin(), units_.end(), [&](const Unit& u) { return u.location == location; });
  return found == units_.end() ? nullptr : &*found;
}

const Unit* UnitBoard::Find(const std::string& location) const {
  auto found = std::find_if(units_.begin(), units_.end(), [&](const Unit& u) { return u.location == location; });
  return found == units_.end() ? nullptr : &*found;
}

const Unit& UnitBoard::Arrive(const std::string& location) { return ArriveUnit(location); }

Unit& UnitBoard::ArriveUnit(const std::string& location) {
  // The running chip back from its own reset is part of the run; a chip at
  // the port after the verdict of a unit that had already left is another
  // plug (the unit pulled mid-run and plugged back), not a reset.
  if (Unit* unit = Find(location); unit != nullptr && location == running_ && !(settling_ && goneAtVerdict_)) {
    unit->present = true;
    return *unit;
  }
  std::erase_if(units_, [&](const Unit& u) { return u.location == location; });
  Unit fresh;
  fresh.number = nextNumber_++;
  fresh.location = location;
  units_.push_back(fresh);
  // The operator looks at what was just plugged, unless a run is on screen.
  if (running_.empty()) {
    shown_ = fresh.number;
    departed_.reset();
  }
  return units_.back();
}

void UnitBoard::Leave(const std::string& location) {
  auto unit = std::find_if(units_.begin(), units_.end(), [&](const Unit& u) { return u.location == location; });
  if (unit == units_.end()) return;
  if (location == running_) {
    unit->present = false;
    return;
  }
  Depart(unit);
}

void UnitBoard::Depart(std::vector<Unit>::iterator unit) {
  const bool shown = unit->number == shown_;
  Unit gone = *unit;
  gone.present = false;
  units_.erase(unit);
  if (!shown) return;
  departed_ = gone;
  ShowNextWaiting();
}

void UnitBoard::ShowNextWaiting() {
  if (!running_.empty()) return;
  for (const Unit& unit : units_) {
    if (!unit.verdict) {
      shown_ = unit.number;
      departed_.reset();
      return;
    }
  }
}

void UnitBoard::Describe(const std::string& location, const std::string& identity, const std::string& serial,
                         const std::string& firmware, bool accepted, const std::string& refusal) {
  Unit* unit = Find(location);
  if (unit == nullptr) unit = &ArriveUnit(location);
  // A unit read again after its run (the chip now runs the new code) keeps
  // its verdict; only its description changes.
  unit->identity = identity;
  unit->serial = serial;
  unit->firmware = firmware;
  unit->described = true;
  unit->accepted = accepted;
  unit->refusal = accepted ? std::string() : refusal;
  if (unit->state == UnitState::Ready || unit->state == UnitState::NotAccepted) {
    unit->state = accepted ? UnitState::Ready : UnitState::NotAccepted;
  }
}

bool UnitBoard::Begin(const std::string& location) {
  if (!running_.empty()) return false;
  Unit* unit = Find(location);
  if (unit == nullptr) return false;
  stateBeforeRun_ = unit->state;
  verdictBeforeRun_ = unit->verdict;
  unit->state = UnitState::Busy;
  unit->verdict.reset();
  running_ = location;
  settling_ = false;
  goneAtVerdict_ = false;
  shown_ = unit->number;
  departed_.reset();
  return true;
}

void UnitBoard::Finish(const UnitVerdict& verdict) {
  Unit* unit = Find(running_);
  if (unit == nullptr || settling_) return;
  unit->verdict = verdict;
  unit->state = verdict.state;
  settling_ = true;
  goneAtVerdict_ = !unit->present && verdict.state != UnitState::Pass;
}

void UnitBoard::Settle() {
  if (running_.empty()) return;
  const std::string location = running_;
  running_.clear();
  settling_ = false;
  auto unit = std::find_if(units_.begin(), units_.end(), [&](const Unit& u) { return u.location == location; });
  if (unit == units_.end()) return;
  // A run that never reported leaves the unit as it was.
  if (unit->state == UnitState::Busy) unit->state = stateBeforeRun_.value_or(UnitState::Ready);
  shown_ = unit->number;
  if (!unit->present) Depart(unit);
}

void UnitBoard::Abandon() {
  if (running_.empty()) return;
  if (Unit* unit = Find(running_)) {
    unit->state = stateBeforeRun_.value_or(UnitState::Ready);
    unit->verdict = verdictBeforeRun_;
  }
  running_.clear();
  settling_ = false;
}

std::optional<std::string> UnitBoard::TakeAutoRun() {
  if (!running_.empty()) return std::nullopt;
  for (Unit& unit : units_) {
    if (unit.autoRunTaken || !unit.described || !unit.accepted || unit.verdict) continue;
    unit.autoRunTaken = true;
    return unit.location;
  }
  return std::nullopt;
}

std::optional<std::string> UnitBoard::NextForStart() const {
  for (const Unit& unit : units_) {
    if (!unit.verdict && unit.accepted) return unit.location;
  }
  const Unit* shown = Shown();
  if (shown != nullptr && shown->present) return shown->location;
  return std::nullopt;
}

const Unit* UnitBoard::Shown() const {
  if (departed_ && departed_->number == shown_) return &*departed_;
  for (const Unit& unit : units_) {
    if (unit.number == shown_) return &unit;
  }
  return nullptr;
}

const Unit* UnitBoard::At(const std::string& location) const { return Find(location); }

std::vector<Unit> UnitBoard::Units() const { return units_; }

}  // namespace quillon
