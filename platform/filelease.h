#pragma once

#include <string>

// Whether some process (this one included) has the file open at the moment.
// A rename succeeds on Linux even while the till still writes a receipt, so
// the receipt worker asks this before taking a file. Where the file system
// cannot tell (no lease support) or the file cannot be opened, the answer is
// false and the caller goes ahead as usual.
bool IsFileHeldOpen(const std::string& Path);
