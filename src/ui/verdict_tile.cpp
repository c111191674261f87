#include "ui/verdict_tile.h"

#include <algorithm>
#include <cmath>

namespace quillon {
namespace {

double Linear(std::uint8_t channel) {
  const double c = channel / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(Rgb colour) {
  return 0.2126 * Linear(colour.red) + 0.7152 * Linear(colour.green) + 0.0722 * Linear(colour.blue);
}

}  // namespace

double ContrastRatio(Rgb a, Rgb b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Rgb TextColourOn(Rgb background) {
  constexpr Rgb kBlack{0, 0, 0};
  constexpr Rgb kWhite{255, 255, 255};
  return ContrastRatio(background, kBlack) >= ContrastRatio(background, kWhite) ? kBlack : kWhite;
}

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
    case TileState::NotAccepted:
      return kNotAcceptedColour;
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
    case TileState::NotAccepted:
      return "NOT ACCEPTED";
    case TileState::Idle:
      break;
  }
  return "READY";
}

}  // namespace quillon
