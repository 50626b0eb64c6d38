#pragma once

#include <QStringList>
#include <QWidget>

// The strip of page tabs across the top of the window: captions on a slate
// band, white dividers, the selected tab filled with the window colour. It is
// drawn by hand because QTabBar takes its look from the platform style and
// cannot show this one everywhere.
class TTabStrip : public QWidget {
  Q_OBJECT

 public:
  static constexpr int StripHeight = 34;

  explicit TTabStrip(QWidget* Parent = nullptr);

  int AddTab(const QString& Caption);
  int Count() const { return static_cast<int>(FCaptions.size()); }
  QString TabCaption(int Index) const { return FCaptions.value(Index); }
  int CurrentIndex() const { return FCurrentIndex; }
  void SetCurrentIndex(int Index);
  // Where tab Index lies in the strip; empty when there is no such tab.
  QRect TabRect(int Index) const;
  int TabAt(const QPoint& Position) const;

  QSize sizeHint() const override;

 signals:
  void CurrentChanged(int Index);

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;

 private:
  QStringList FCaptions;
  int FCurrentIndex = -1;
};
