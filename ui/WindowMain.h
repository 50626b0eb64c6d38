#pragma once

// The windowed program: creates the application object and the main window,
// wires main-thread dispatch into the Qt event loop and runs it. The window
// starts hidden behind its tray icon, or shown where no notification area
// exists. Never returns: when the loop ends the process ends at once,
// without waiting for the workers.
[[noreturn]] int RunWindow(int& argc, char** argv);
