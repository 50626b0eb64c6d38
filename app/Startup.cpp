#include "app/Startup.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/files.h"

void InitializeSettingsUnit() {
  InitApplicationDirectory(ExecutableDirectory());
  ForceDirectories(ApplicationDirectory() + "reports/checks/");
  Settings = new TQuorvelSettings(ApplicationDirectory());
}

void StartUp() { InitializeSettingsUnit(); }

void EndProcess(int ExitCode) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(ExitCode);
}
