#include "ui/qt/WindowFont.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <algorithm>
#include <cmath>

namespace {

// A caption that stands left of a field, and the room the layout gives it:
// from its left edge to the field, less the gap that Tahoma leaves after
// the widest of them ("Время последнего обновления прайса:", 197 of 203
// pixels). Which caption is the widest depends on the face.
struct TCaptionRoom {
  const char* Caption;
  int Room;
};
constexpr int FieldGap = 6;
constexpr int StatusRoom = 219 - 16 - FieldGap;
constexpr int SettingsRoom = 112 - 16 - FieldGap;
// The check box draws its caption right of the box, inside its 329 pixels.
constexpr int CheckBoxRoom = 329 - 24;
constexpr TCaptionRoom CaptionRooms[] = {
    {"Состояние:", StatusRoom},
    {"Время последнего обновления прайса:", StatusRoom},
    {"Время последней отправки чеков:", StatusRoom},
    {"Время последней прогрузки весов:", StatusRoom},
    {"IP сервера", SettingsRoom},
    {"Порт", SettingsRoom},
    {"Пользователь", SettingsRoom},
    {"Пароль", SettingsRoom},
    {"Каталог кассы", SettingsRoom},
    {"Каталог весов", SettingsRoom},
    {"Запускать проверку чеков и прайса вместе с программой", CheckBoxRoom},
};

// Narrower than half its width a face is no longer read as text.
constexpr int NarrowestStretch = 50;

bool CaptionsFit(const QFont& Font) {
  const QFontMetricsF Metrics(Font);
  return std::all_of(
      std::begin(CaptionRooms), std::end(CaptionRooms), [&](const TCaptionRoom& Item) {
        return std::ceil(Metrics.horizontalAdvance(QString::fromUtf8(Item.Caption))) <= Item.Room;
      });
}

// The stretch, in percent of the face's normal width, at which every caption
// fits. A face drawn from a narrow variant is measured at its normal width
// too, since the stretch set afterwards counts from there. The first guess
// scales by the caption that overflows most; glyph widths are rounded per
// stretch, so the guess is checked and lowered until it holds.
int FittingStretch(QFont Font) {
  Font.setStretch(QFont::Unstretched);
  const QFontMetricsF Metrics(Font);
  double Scale = 1.0;
  for (const TCaptionRoom& Item : CaptionRooms) {
    const double Width = Metrics.horizontalAdvance(QString::fromUtf8(Item.Caption));
    if (Width > 0) Scale = std::min(Scale, Item.Room / Width);
  }
  int Stretch = std::max(NarrowestStretch, static_cast<int>(std::floor(100 * Scale)));
  for (;; --Stretch) {
    Font.setStretch(Stretch);
    if (Stretch == NarrowestStretch || CaptionsFit(Font)) return Stretch;
  }
}

// The face that is really drawn: font substitution answers a missing face
// with the system's default one, so a candidate counts only when the drawn
// family is the one asked for.
QString StandInFamily() {
  for (const char* Family :
       {"Tahoma", "Liberation Sans", "Arial", "Nimbus Sans", "DejaVu Sans Condensed"}) {
    if (QFontInfo(QFont(Family)).family().startsWith(Family)) return Family;
  }
  return {};
}

}  // namespace

QFont FittedWindowFont(const QString& Family, int PixelSize) {
  QFont Font;
  Font.setStyleHint(QFont::SansSerif);
  if (!Family.isEmpty()) Font.setFamily(Family);
  Font.setPixelSize(ControlFontPixels);
  Font.setStretch(FittingStretch(Font));
  Font.setPixelSize(PixelSize);
  return Font;
}

QFont WindowFont(int PixelSize) { return FittedWindowFont(StandInFamily(), PixelSize); }
