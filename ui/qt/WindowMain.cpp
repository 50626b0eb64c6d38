#include "ui/qt/WindowMain.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include "ui/qt/frmMain.h"
#include "workers/MainThreadDispatch.h"

void WakeMainThreadThrough(QCoreApplication* Application) {
  SetWakeMainThread([Application] {
    QMetaObject::invokeMethod(
        Application, [] { CheckSynchronize(); }, Qt::QueuedConnection);
  });
}

std::function<void()> BringToFrontCall(TfrmSyncMain* Window) {
  return [Window] {
    QMetaObject::invokeMethod(
        Window, [Window] { Window->ShowWindow(); }, Qt::QueuedConnection);
  };
}

int RunWindow(int& argc, char** argv, const std::string& Platforms,
              const TWindowReady& WindowReady) {
  if (!Platforms.empty()) qputenv("QT_QPA_PLATFORM", Platforms.c_str());
  // The application and the window live until the process ends: nothing is
  // destroyed while workers may still raise events.
  auto* Application = new QApplication(argc, argv);
  Application->setApplicationName("Quorvel Sync");
  // A hidden window is the normal state; only the tray menu ends the loop.
  Application->setQuitOnLastWindowClosed(false);
  WakeMainThreadThrough(Application);
  auto* Window = new TfrmSyncMain(QSystemTrayIcon::isSystemTrayAvailable(), [](ISyncView& View) {
    return std::make_unique<TSyncControllerLink>(View);
  });
  Window->ShowAtStart();
  WindowReady([Window] {
    QMetaObject::invokeMethod(
        Window, [Window] { Window->ShowWindow(); }, Qt::QueuedConnection);
  });
  return Application->exec();
}
