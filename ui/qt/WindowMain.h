#pragma once

#include <functional>
#include <string>

class QCoreApplication;
class TfrmSyncMain;

// Wires main-thread dispatch into Application's event loop: a request that a
// worker queues posts a call of CheckSynchronize to the loop, which runs it
// on the main thread.
void WakeMainThreadThrough(QCoreApplication* Application);

// A call that shows Window and brings it to the front, safe from any thread:
// it hands the show to the window's event loop.
std::function<void()> BringToFrontCall(TfrmSyncMain* Window);

// The windowed program: creates the application object on the toolkit
// platforms given ("xcb", "wayland;xcb"; empty: the toolkit's own choice)
// and the main window, wires main-thread dispatch into the event loop and
// runs it. The window starts hidden behind its tray icon, or shown where no
// notification area exists. Returns the loop's exit code once the tray menu
// ended it; workers may still be running then, so the caller ends the
// process at once without destroying anything under them. Once the window
// exists, WindowReady is given a call that brings it to the front from any
// thread.
using TWindowReady = std::function<void(std::function<void()> BringToFront)>;
int RunWindow(int& argc, char** argv, const std::string& Platforms,
              const TWindowReady& WindowReady);
