#include "app/WindowEntry.h"

#include <iostream>

#include "app/Startup.h"
#include "platform/instancelock.h"
#include "settings/uSettingsClass.h"
#include "ui/qt/DisplayProbe.h"
#include "ui/qt/WindowMain.h"

bool RunWindowIfPossible(int& argc, char** argv) {
  const TDisplayChoice Display = ChooseDisplay();
  if (!Display.Usable) {
    if (!Display.Reason.empty()) std::cerr << Display.Reason << std::endl;
    return false;
  }
  // Display holds the probe's connection until the process ends.
  // A later start in this folder brings this agent's window to the front.
  EndProcess(RunWindow(argc, argv, Display.Platforms, [](std::function<void()> BringToFront) {
    ServeShowWindowRequests(ApplicationDirectory(), std::move(BringToFront));
  }));
}
