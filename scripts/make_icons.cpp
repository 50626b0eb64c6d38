// Draws the program's icon, a till with two sync arrows, at the sizes the
// window and the tray use, and writes the PNG files and their Qt resource
// file into the folder given as the only argument.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

const QColor Slate(101, 120, 135);
const QColor SlateDark(62, 76, 88);
const QColor Screen(120, 220, 190);
const QColor Drawer(214, 222, 228);
const QColor Arrow(46, 160, 67);

// The point at Degrees on the circle (counter-clockwise, y pointing down).
QPointF OnCircle(QPointF Centre, double Radius, double Degrees) {
  const double Radians = Degrees * std::numbers::pi / 180.0;
  return Centre + QPointF(Radius * std::cos(Radians), -Radius * std::sin(Radians));
}

// One curved arrow along the circle, from Start sweeping Sweep degrees
// counter-clockwise, with its head at the end.
void DrawArcArrow(QPainter& Painter, QPointF Centre, double Radius, double Start, double Sweep,
                  double Width) {
  const QRectF Box(Centre.x() - Radius, Centre.y() - Radius, 2 * Radius, 2 * Radius);
  QPainterPath Arc;
  Arc.arcMoveTo(Box, Start);
  Arc.arcTo(Box, Start, Sweep);
  Painter.setPen(QPen(Arrow, Width, Qt::SolidLine, Qt::FlatCap));
  Painter.setBrush(Qt::NoBrush);
  Painter.drawPath(Arc);

  const double End = Start + Sweep;
  const double Radians = End * std::numbers::pi / 180.0;
  const QPointF Tangent(-std::sin(Radians), -std::cos(Radians));
  const QPointF Base = OnCircle(Centre, Radius, End);
  const QPointF Outward = OnCircle(Centre, 1.0, End) - Centre;
  QPolygonF Head;
  Head << Base + Outward * Width * 1.1 << Base + Tangent * Width * 1.4
       << Base - Outward * Width * 1.1;
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Arrow);
  Painter.drawPolygon(Head);
}

QImage DrawIcon(int Size) {
  QImage Image(Size, Size, QImage::Format_ARGB32_Premultiplied);
  Image.fill(Qt::transparent);
  QPainter Painter(&Image);
  Painter.setRenderHint(QPainter::Antialiasing);
  // Drawn on a 256-unit canvas; small sizes leave out the fine parts.
  Painter.scale(Size / 256.0, Size / 256.0);
  const bool Detailed = Size >= 32;

  // Customer display on its post.
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(SlateDark);
  Painter.drawRect(QRectF(112, 70, 32, 40));
  Painter.drawRoundedRect(QRectF(56, 18, 144, 64), 12, 12);
  Painter.setBrush(Screen);
  Painter.drawRoundedRect(QRectF(70, 30, 116, 40), 6, 6);

  // Body with the keypad.
  QLinearGradient BodyShade(0, 100, 0, 200);
  BodyShade.setColorAt(0, Slate.lighter(115));
  BodyShade.setColorAt(1, Slate);
  QPainterPath Body;
  Body.moveTo(40, 104);
  Body.lineTo(216, 104);
  Body.lineTo(240, 196);
  Body.lineTo(16, 196);
  Body.closeSubpath();
  Painter.setBrush(BodyShade);
  Painter.drawPath(Body);
  if (Detailed) {
    Painter.setBrush(Drawer);
    for (int Row = 0; Row < 3; ++Row) {
      for (int Column = 0; Column < 4; ++Column) {
        Painter.drawRoundedRect(QRectF(52 + Column * 30 - Row * 6, 116 + Row * 24, 22, 14), 3, 3);
      }
    }
  }

  // Cash drawer.
  Painter.setBrush(Drawer);
  Painter.drawRoundedRect(QRectF(12, 196, 232, 46), 8, 8);
  Painter.setBrush(SlateDark);
  Painter.drawRoundedRect(QRectF(100, 212, 56, 10), 4, 4);

  // Sync badge: a white disc with two arrows chasing each other.
  const QPointF Centre(188, 180);
  Painter.setBrush(Qt::white);
  Painter.setPen(QPen(SlateDark, Detailed ? 4 : 10));
  Painter.drawEllipse(Centre, 64, 64);
  const double Width = Detailed ? 16 : 22;
  DrawArcArrow(Painter, Centre, 38, 20, 130, Width);
  DrawArcArrow(Painter, Centre, 38, 200, 130, Width);
  return Image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication App(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icons <output folder>\n");
    return 2;
  }
  const QDir Out(QString::fromLocal8Bit(argv[1]));
  QString Resources = "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/icons\">\n";
  for (const int Size : {16, 32, 48, 128, 256}) {
    const QString Name = QString("quorvel-%1.png").arg(Size);
    if (!DrawIcon(Size).save(Out.filePath(Name))) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(Out.filePath(Name)));
      return 1;
    }
    Resources += QString("  <file>%1</file>\n").arg(Name);
  }
  Resources += "</qresource>\n</RCC>\n";
  QFile Qrc(Out.filePath("icons.qrc"));
  if (!Qrc.open(QIODevice::WriteOnly | QIODevice::Truncate) || Qrc.write(Resources.toUtf8()) < 0) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(Qrc.fileName()));
    return 1;
  }
  return 0;
}
