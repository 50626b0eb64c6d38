#include "platform/paths.h"

#include <algorithm>

const char PathDelim = '\\';

// Windows compares folder names without regard to the case of the ASCII
// letters only; nothing else is normalised.
bool SamePath(std::string_view a, std::string_view b) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return upper(x) == upper(y); });
}
