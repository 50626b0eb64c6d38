#pragma once

#include "settings/uSettingsClass.h"

// Start-up stage 1, before anything else of the system exists: fixes the
// application directory from the executable's path, creates the receipt
// staging folder "reports/checks/" below it (a failure is ignored: the
// receipt worker then finds nothing), creates Settings, which reads the
// settings file, and removes the temporary files that saves cut short by an
// earlier end of the process left in the folders the program writes.
void InitializeSettingsUnit();

// Everything that runs before the main program: the socket library, then
// stage 1. Raises EQuorvelError when the socket library cannot be started.
void StartUp();

// Stops the socket library and ends the process at once with ExitCode after
// flushing the standard streams. Running workers are not waited for and no
// destructor runs under them.
[[noreturn]] void EndProcess(int ExitCode);
