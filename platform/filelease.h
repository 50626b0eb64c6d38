#pragma once

#include <string>

// A rename succeeds on Linux even while the till still writes a receipt, so
// the receipt worker asks this before taking a file.
enum class THeldOpen { No, Yes, Unknown };
// Whether some process has the file open now; Unknown where the platform
// cannot tell (no lease rights, a file system without leases). Never raises
// a signal or otherwise disturbs the process.
THeldOpen ProbeHeldOpen(const std::string& Path);
