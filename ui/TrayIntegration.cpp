#include "ui/TrayIntegration.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>
#include <cstdio>

const QString TTrayIntegration::Caption = QStringLiteral("Обмен данными с кассой");

TTrayIntegration::TTrayIntegration(QWidget* Window, bool Available, const QIcon& Icon)
    : QObject(Window),
      FAvailable(Available),
      FTrayIcon(new QSystemTrayIcon(Icon, Window)),
      FPopupMenu(new QMenu(Window)),
      FCloseAction(new QAction(QStringLiteral("Закрыть программу"), FPopupMenu)) {
  FTrayIcon->setObjectName("TrayIcon1");
  FTrayIcon->setToolTip(Caption);
  FPopupMenu->setObjectName("PopupMenu1");
  FCloseAction->setObjectName("N1");
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
