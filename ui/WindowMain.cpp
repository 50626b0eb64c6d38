#include "ui/WindowMain.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include "app/Startup.h"
#include "ui/frmMain.h"
#include "workers/MainThreadDispatch.h"

int RunWindow(int& argc, char** argv) {
  // The application and the window live until the process ends: nothing is
  // destroyed while workers may still raise events.
  auto* Application = new QApplication(argc, argv);
  Application->setApplicationName("Quorvel Sync");
  // A hidden window is the normal state; only the tray menu ends the loop.
  Application->setQuitOnLastWindowClosed(false);
  SetWakeMainThread([Application] {
    QMetaObject::invokeMethod(
        Application, [] { CheckSynchronize(); }, Qt::QueuedConnection);
  });
  auto* Window = new TfrmSyncMain(QSystemTrayIcon::isSystemTrayAvailable(), [](ISyncView& View) {
    return std::make_unique<TSyncControllerLink>(View);
  });
  Window->ShowAtStart();
  EndProcess(Application->exec());
}
