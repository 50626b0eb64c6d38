#pragma once

#include <string>

// Whether some process (this one included) has the file open at the moment.
// A rename succeeds on Linux even while the till still writes a receipt, so
// the receipt worker asks this before taking a file. Where it cannot be told
// (a file system without leases, another user's file and no right to lease
// it) or the file cannot be opened, the answer is false and the caller goes
// ahead as usual.
bool IsFileHeldOpen(const std::string& Path);
