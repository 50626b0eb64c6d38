#pragma once

// Runs the windowed program when this build has a window and a display is
// available (DISPLAY or WAYLAND_DISPLAY set); does not return then.
// Returns false otherwise, and the caller runs the program without a window.
bool RunWindowIfPossible(int& argc, char** argv);
