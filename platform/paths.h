#pragma once

#include <string>
#include <string_view>

// The platform's path separator: "/" here, "\" on Windows.
extern const char PathDelim;

// Appends the separator unless the text already ends in one; an empty text
// becomes the root.
std::string IncludeTrailingPathDelimiter(std::string_view folder);

// Whether two folder texts name the same folder by the platform's rule: the
// exact text on Linux, whose file names are case-sensitive; the text with the
// ASCII letters a-z upper-cased on Windows.
bool SamePath(std::string_view a, std::string_view b);

// Whether a name that comes from elsewhere (a server's listing), put after a
// folder, names a file of its own there and nothing else. Windows takes more
// than the name says: it drops a trailing dot or space ("Quorvel.ini." is
// "Quorvel.ini"), reads "name:stream" as a stream of another file, and opens
// a device for CON, NUL, AUX, PRN, COM1-9 and LPT1-9 (with any extension);
// such names, and the characters <>:"|?* and control characters, are
// refused there. Linux takes every name as it is.
bool IsPlainFileName(std::string_view Name);
