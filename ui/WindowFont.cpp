#include "ui/WindowFont.h"

#include <QStringList>

QFont WindowFont(int PixelSize) {
  QFont Font;
  // Tahoma first; the others are narrow enough that the captions laid out
  // for Tahoma still fit beside their value fields.
  Font.setFamilies(QStringList{"Tahoma", "Liberation Sans", "Arial", "DejaVu Sans Condensed"});
  Font.setStyleHint(QFont::SansSerif);
  Font.setPixelSize(PixelSize);
  return Font;
}
