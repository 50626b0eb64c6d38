#pragma once

#include <functional>
#include <optional>

// The windowed program on Windows: initialises the component-object library
// for the main thread, creates the main window hidden, runs the controller's
// start-up and the window's taskbar step, wires main-thread dispatch to a
// message posted to the window, shows the window as ShowCommand (the show
// command the program was launched with) asks, and runs the message loop.
// Returns the loop's exit code once the tray menu ended it, or nothing when
// the system gives no window (the caller then runs without one). An error of
// the window's start-up is shown in a message box and ends the program
// with code 1 before the loop. Workers may still run on return, so the
// caller ends the process at once. Once the window exists, WindowReady is
// given a call that brings it to the front from any thread.
using TWindowReady = std::function<void(std::function<void()> BringToFront)>;
std::optional<int> RunWindow(int ShowCommand, const TWindowReady& WindowReady);
