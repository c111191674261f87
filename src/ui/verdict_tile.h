// The verdict tile, readable from across the line: idle grey, busy blue, PASS
// green, FAIL red, a cancelled run orange, and no unit dark, unlike a FAIL.
// The single window and each tile of the station panel show it alike.
#pragma once

#include "ui/window_view.h"

namespace quillon {

inline constexpr Rgb kPassColour{0, 255, 0};
inline constexpr Rgb kFailColour{255, 0, 0};
inline constexpr Rgb kIdleColour{192, 192, 192};
inline constexpr Rgb kBusyColour{0, 96, 255};
inline constexpr Rgb kCancelledColour{255, 160, 0};
inline constexpr Rgb kNoUnitColour{64, 64, 64};

// The verdict text of a run the operator stopped.
inline constexpr const char* kCancelledResult = "CANCELLED";

enum class TileState { Idle, Running, Pass, Fail, Cancelled, NoUnit };

Rgb TileColour(TileState state);
// The big text of a panel tile: "READY", "BUSY", "PASS", "FAIL", "CANCELLED", "NO UNIT".
const char* TileVerdictText(TileState state);

}  // namespace quillon
