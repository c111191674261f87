#include "ui/verdict_tile.h"

namespace quillon {

Rgb TileColour(TileState state) {
  switch (state) {
    case TileState::Running:
      return kBusyColour;
    case TileState::Pass:
      return kPassColour;
    case TileState::Fail:
      return kFailColour;
    case TileState::Cancelled:
      return kCancelledColour;
    case TileState::NoUnit:
      return kNoUnitColour;
    case TileState::Idle:
      break;
  }
  return kIdleColour;
}

const char* TileVerdictText(TileState state) {
  switch (state) {
    case TileState::Running:
      return "BUSY";
    case TileState::Pass:
      return "PASS";
    case TileState::Fail:
      return "FAIL";
    case TileState::Cancelled:
      return kCancelledResult;
    case TileState::NoUnit:
      return "NO UNIT";
    case TileState::Idle:
      break;
  }
  return "READY";
}

}  // namespace quillon
