#include "ui/qt/TrayIntegration.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>
#include <algorithm>
#include <cstdio>

namespace {

// Icon with a red disc in its lower right quarter, size by size.
QIcon FailureLook(const QIcon& Icon) {
  QIcon failure;
  for (const QSize& size : Icon.availableSizes()) {
    QPixmap pixmap = Icon.pixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, std::max(1, size.width() / 16)));
    painter.setBrush(QColor(200, 0, 0));
    const int side = size.width() / 2;
    painter.drawEllipse(size.width() - side, size.height() - side, side - 1, side - 1);
    painter.end();
    failure.addPixmap(pixmap);
  }
  return failure;
}

}  // namespace

const QString TTrayIntegration::Caption = QStringLiteral("Обмен данными с кассой");

TTrayIntegration::TTrayIntegration(QWidget* Window, bool Available, const QIcon& Icon)
    : QObject(Window),
      FAvailable(Available),
      FTrayIcon(new QSystemTrayIcon(Icon, Window)),
      FPopupMenu(new QMenu(Window)),
      FOpenAction(new QAction(QStringLiteral("Открыть"), FPopupMenu)),
      FExchangeAction(new QAction(QStringLiteral("Обменяться сейчас"), FPopupMenu)),
      FCloseAction(new QAction(QStringLiteral("Закрыть программу"), FPopupMenu)),
      FPlainIcon(Icon),
      FFailureIcon(FailureLook(Icon)) {
  FTrayIcon->setObjectName("TrayIcon1");
  FTrayIcon->setToolTip(Caption);
  FPopupMenu->setObjectName("PopupMenu1");
  FOpenAction->setObjectName("N2");
  FExchangeAction->setObjectName("N3");
  FCloseAction->setObjectName("N1");
  FPopupMenu->addAction(FOpenAction);
  FPopupMenu->addAction(FExchangeAction);
  FPopupMenu->addAction(FCloseAction);
  FTrayIcon->setContextMenu(FPopupMenu);
  connect(FTrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason Reason) {
            if (Reason == QSystemTrayIcon::Trigger) emit Clicked();
          });
}

void TTrayIntegration::ShowIcon() {
  if (FAvailable) FTrayIcon->show();
}

void TTrayIntegration::RemoveIcon() { FTrayIcon->hide(); }

void TTrayIntegration::ShowBalloon(const QString& Text) {
  std::fprintf(stderr, "%s\n", Text.toUtf8().constData());
  std::fflush(stderr);
  if (FAvailable && QSystemTrayIcon::supportsMessages()) {
    FTrayIcon->showMessage(Caption, Text, QSystemTrayIcon::Information, BalloonMilliseconds);
  }
  emit BalloonShown(Text);
}

void TTrayIntegration::SetState(const QString& Tooltip, bool Failed) {
  FTrayIcon->setToolTip(Tooltip);
  if (Failed == FShowsFailure) return;
  FShowsFailure = Failed;
  FTrayIcon->setIcon(Failed ? FFailureIcon : FPlainIcon);
}
