// Fills a verdict tile with its colour, with text that stays readable on it.
#pragma once

#include <QLabel>

#include "ui/window_view.h"

namespace quillon {

void PaintTile(QLabel* tile, Rgb colour);

}  // namespace quillon
