#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

// The notification-area side of the window: the icon TrayIcon1 with its
// tooltip, balloons and pop-up menu PopupMenu1 ("Открыть", N2; "Обменяться
// сейчас", N3; "Закрыть программу", N1). The icon has a second look, marked
// in red, for "the last cycle of some kind failed".
// Where no notification area exists the icon is never shown; the window then
// has to stay reachable by other means.
class TTrayIntegration : public QObject {
  Q_OBJECT

 public:
  static const QString Caption;  // tooltip and balloon title
  static constexpr int BalloonMilliseconds = 10000;

  // The tray icon, the menu and its action become children of Window, so
  // they can be found by object name below it.
  TTrayIntegration(QWidget* Window, bool Available, const QIcon& Icon);

  bool Available() const { return FAvailable; }
  QSystemTrayIcon* TrayIcon() const { return FTrayIcon; }
  QMenu* PopupMenu() const { return FPopupMenu; }
  QAction* OpenAction() const { return FOpenAction; }
  QAction* ExchangeAction() const { return FExchangeAction; }
  QAction* CloseAction() const { return FCloseAction; }
  bool ShowsFailure() const { return FShowsFailure; }

  void ShowIcon();
  void RemoveIcon();
  // Shows Text in an information balloon under the fixed title. The text
  // also goes to standard error, the one place it can be read where the
  // notification area shows no balloons.
  void ShowBalloon(const QString& Text);
  // The tooltip, and the failure look of the icon or its plain one.
  void SetState(const QString& Tooltip, bool Failed);

 signals:
  // A left click on the icon. A double-click arrives as one click, so it
  // toggles the window once.
  void Clicked();
  void BalloonShown(const QString& Text);

 private:
  bool FAvailable;
  QSystemTrayIcon* FTrayIcon;
  QMenu* FPopupMenu;
  QAction* FOpenAction;
  QAction* FExchangeAction;
  QAction* FCloseAction;
  QIcon FPlainIcon;
  QIcon FFailureIcon;
  bool FShowsFailure = false;
};
