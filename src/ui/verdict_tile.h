// The verdict tile, readable from across the line: idle grey, busy blue, PASS
// green, FAIL dark red, a cancelled run orange, a unit the station does not
// accept yellow, and no unit dark, unlike a FAIL. Every colour keeps its text
// at a contrast of at least 7:1.
// The single window and each tile of the station panel show it alike.
#pragma once

#include "ui/window_view.h"

namespace quillon {

inline constexpr Rgb kPassColour{0, 255, 0};
inline constexpr Rgb kFailColour{160, 0, 0};
inline constexpr Rgb kIdleColour{192, 192, 192};
inline constexpr Rgb kBusyColour{0, 64, 192};
inline constexpr Rgb kCancelledColour{255, 160, 0};
inline constexpr Rgb kNoUnitColour{64, 64, 64};
inline constexpr Rgb kNotAcceptedColour{255, 215, 0};

// The verdict text of a run the operator stopped.
inline constexpr const char* kCancelledResult = "CANCELLED";

enum class TileState { Idle, Running, Pass, Fail, Cancelled, NoUnit, NotAccepted };

Rgb TileColour(TileState state);
// The big text of a tile: "READY", "BUSY", "PASS", "FAIL", "CANCELLED", "NO UNIT", "NOT ACCEPTED".
const char* TileVerdictText(TileState state);

// The contrast ratio of two colours as screen-readability guidelines define
// it (1 to 21), from their relative luminance.
double ContrastRatio(Rgb a, Rgb b);
// Black or white, whichever reads better on `background`.
Rgb TextColourOn(Rgb background);

}  // namespace quillon
