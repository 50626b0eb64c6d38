#include "ui/qt/TabStrip.h"

#include <QMouseEvent>
#include <QPainter>

#include "ui/qt/WindowFont.h"

namespace {

const QColor BandColour(101, 120, 135);
// Room on each side of a caption inside its tab.
constexpr int CaptionPadding = 12;

}  // namespace

TTabStrip::TTabStrip(QWidget* Parent) : QWidget(Parent) {
  setFont(WindowFont(TabFontPixels));
  setFixedHeight(StripHeight);
  setFocusPolicy(Qt::NoFocus);
}

int TTabStrip::AddTab(const QString& Caption) {
  FCaptions.append(Caption);
  if (FCurrentIndex < 0) FCurrentIndex = 0;
  update();
  return Count() - 1;
}

void TTabStrip::SetCurrentIndex(int Index) {
  if (Index < 0 || Index >= Count() || Index == FCurrentIndex) return;
  FCurrentIndex = Index;
  update();
  emit CurrentChanged(Index);
}

QRect TTabStrip::TabRect(int Index) const {
  if (Index < 0 || Index >= Count()) return {};
  const QFontMetrics Metrics(font());
  int Left = 0;
  for (int i = 0;; ++i) {
    const int Width = Metrics.horizontalAdvance(FCaptions[i]) + 2 * CaptionPadding;
    if (i == Index) return {Left, 0, Width, StripHeight};
    // One pixel between neighbours carries the divider.
    Left += Width + 1;
  }
}

int TTabStrip::TabAt(const QPoint& Position) const {
  for (int i = 0; i < Count(); ++i) {
    if (TabRect(i).contains(Position)) return i;
  }
  return -1;
}

QSize TTabStrip::sizeHint() const {
  const int Width = Count() > 0 ? TabRect(Count() - 1).right() + 1 : 0;
  return {Width, StripHeight};
}

void TTabStrip::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  Painter.fillRect(rect(), BandColour);
  const QColor WindowColour = palette().color(QPalette::Window);
  for (int i = 0; i < Count(); ++i) {
    const QRect Tab = TabRect(i);
    const bool Selected = i == FCurrentIndex;
    if (Selected) Painter.fillRect(Tab, WindowColour);
    Painter.setPen(Selected ? palette().color(QPalette::WindowText) : WindowColour);
    Painter.drawText(Tab, Qt::AlignCenter | Qt::TextSingleLine, FCaptions[i]);
    Painter.setPen(Qt::white);
    Painter.drawLine(Tab.right() + 1, 0, Tab.right() + 1, StripHeight - 1);
  }
}

void TTabStrip::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return;
  SetCurrentIndex(TabAt(Event->position().toPoint()));
}
