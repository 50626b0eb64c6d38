#include "ui/WindowFont.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <algorithm>

namespace {

// The widest caption that stands left of a value field, and its width in
// Tahoma at 11 pixels. A stand-in face is narrowed to this width so the
// pixel layout drawn for Tahoma holds.
const QString ReferenceCaption = QStringLiteral("Время последнего обновления прайса:");
constexpr int TahomaReferenceWidth = 197;
constexpr int TahomaReferencePixels = 11;

}  // namespace

QFont WindowFont(int PixelSize) {
  QFont Font;
  Font.setStyleHint(QFont::SansSerif);
  Font.setPixelSize(PixelSize);
  // A face counts only when it is really the one drawn: font substitution
  // answers a missing Tahoma with the system's default face.
  Font.setFamily("Tahoma");
  if (QFontInfo(Font).family() == "Tahoma") return Font;
  for (const char* Family : {"Liberation Sans", "Arial", "Nimbus Sans", "DejaVu Sans Condensed"}) {
    Font.setFamily(Family);
    if (QFontInfo(Font).family().startsWith(Family)) break;
    Font.setFamily(QString());
  }
  const int Width = QFontMetrics(Font).horizontalAdvance(ReferenceCaption);
  const int Target = TahomaReferenceWidth * PixelSize / TahomaReferencePixels;
  if (Width > Target) Font.setStretch(std::max(50, 100 * Target / Width));
  return Font;
}
