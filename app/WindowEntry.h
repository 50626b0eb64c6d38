#pragma once

// Runs the windowed program when this build has a window and a display
// answers; does not return then. Returns false otherwise, after a line on
// standard error when a display is named but does not answer, and the
// caller runs the program without a window.
bool RunWindowIfPossible(int& argc, char** argv);
