#pragma once

#include <windows.h>

// Takes Window's button off the taskbar through the shell's taskbar-list
// object; the results of its calls are ignored. Raises EQuorvelError when
// the object cannot be created ("<system message>, ClassID: {...}") or does
// not offer the taskbar-list interface ("Interface not supported"). The
// component-object library must be initialised on the calling thread.
void DeleteTaskbarTab(HWND Window);
