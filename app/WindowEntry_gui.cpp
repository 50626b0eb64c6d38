#include "app/WindowEntry.h"

#include <iostream>

#include "app/Startup.h"
#include "ui/DisplayProbe.h"
#include "ui/WindowMain.h"

bool RunWindowIfPossible(int& argc, char** argv) {
  const TDisplayChoice Display = ChooseDisplay();
  if (!Display.Usable) {
    if (!Display.Reason.empty()) std::cerr << Display.Reason << std::endl;
    return false;
  }
  // Display holds the probe's connection until the process ends.
  EndProcess(RunWindow(argc, argv, Display.Platforms));
}
