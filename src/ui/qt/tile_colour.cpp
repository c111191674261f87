#include "ui/qt/tile_colour.h"

namespace quillon {

void PaintTile(QLabel* tile, Rgb colour) {
  // Dark text on the light colours, white on the dark ones.
  const int light = (colour.red * 299 + colour.green * 587 + colour.blue * 114) / 1000;
  tile->setAutoFillBackground(true);
  QPalette palette = tile->palette();
  palette.setColor(QPalette::Window, QColor(colour.red, colour.green, colour.blue));
  palette.setColor(QPalette::WindowText, light > 140 ? Qt::black : Qt::white);
  tile->setPalette(palette);
}

}  // namespace quillon
