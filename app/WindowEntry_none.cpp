#include "app/WindowEntry.h"

// A build without the window always runs headless.
bool RunWindowIfPossible(int&, char**) { return false; }
