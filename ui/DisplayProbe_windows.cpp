#include "ui/DisplayProbe.h"

// A Windows session always has its desktop.
TDisplayChoice ChooseDisplay() { return {true, "", "", nullptr}; }
