#include "ui/qt/tile_colour.h"

#include "ui/verdict_tile.h"

namespace quillon {

void PaintTile(QLabel* tile, Rgb colour) {
  const Rgb text = TextColourOn(colour);
  tile->setAutoFillBackground(true);
  QPalette palette = tile->palette();
  palette.setColor(QPalette::Window, QColor(colour.red, colour.green, colour.blue));
  palette.setColor(QPalette::WindowText, QColor(text.red, text.green, text.blue));
  tile->setPalette(palette);
}

}  // namespace quillon
