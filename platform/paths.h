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
