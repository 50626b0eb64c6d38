#include "app/Startup.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "net/blcksock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/instancelock.h"
#include "platform/paths.h"
#include "workers/uSync.h"

namespace {

// Before anything touches the folder: a second agent would otherwise take
// the first one's unfinished saves for leftovers and race it on every file.
void ClaimApplicationDirectory() {
  if (ClaimProgramFolder(ApplicationDirectory()) != TFolderClaim::HeldByAnother) return;
  AskFolderAgentToShowWindow(ApplicationDirectory());
  throw EQuorvelError("Программа уже запущена из этой папки: " + ApplicationDirectory());
}

}  // namespace

void InitializeSettingsUnit() {
  InitApplicationDirectory(ExecutableDirectory());
  ClaimApplicationDirectory();
  ForceDirectories(ApplicationDirectory() + "reports" + PathDelim + "checks" + PathDelim);
  Settings = new TQuorvelSettings(ApplicationDirectory());
  // Nothing of this process writes yet, so every temporary file of a save
  // there is the leftover of a run that ended in the middle of one.
  RemoveSaveLeftovers();
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
