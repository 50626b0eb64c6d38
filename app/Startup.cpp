#include "app/Startup.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "net/blcksock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"

void InitializeSettingsUnit() {
  InitApplicationDirectory(ExecutableDirectory());
  ForceDirectories(ApplicationDirectory() + "reports" + PathDelim + "checks" + PathDelim);
  Settings = new TQuorvelSettings(ApplicationDirectory());
}

void StartUp() {
  if (!LoadSocketLibrary()) throw EQuorvelError("Error loading Socket interface (ws2_32.dll)!");
  InitializeSettingsUnit();
}

void EndProcess(int ExitCode) {
  FreeSocketLibrary();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(ExitCode);
}
