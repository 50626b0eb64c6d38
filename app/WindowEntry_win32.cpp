#include <windows.h>

#include <optional>

#include "app/Startup.h"
#include "app/WindowEntry.h"
#include "platform/instancelock.h"
#include "settings/uSettingsClass.h"
#include "ui/win32/WindowMain.h"

namespace {

// The show command the program was launched with (a shortcut's "Run:
// maximized", "start /min"); a plain start has none.
int LaunchShowCommand() {
  STARTUPINFOW Startup{};
  Startup.cb = sizeof Startup;
  GetStartupInfoW(&Startup);
  return (Startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? Startup.wShowWindow : SW_SHOWDEFAULT;
}

}  // namespace

bool RunWindowIfPossible(int&, char**) {
  // A later start in this folder brings this agent's window to the front.
  const std::optional<int> ExitCode =
      RunWindow(LaunchShowCommand(), [](std::function<void()> BringToFront) {
        ServeShowWindowRequests(ApplicationDirectory(), std::move(BringToFront));
      });
  if (!ExitCode) return false;
  EndProcess(*ExitCode);
}
