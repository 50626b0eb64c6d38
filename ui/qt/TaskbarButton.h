#pragma once

class QWidget;

// Takes the shown window's button off the taskbar; the program is reached
// through its tray icon instead. Does nothing where the platform offers no
// such hint. Called after every show, because a window manager forgets the
// hint when the window is hidden.
void RemoveTaskbarButton(QWidget* Window);
