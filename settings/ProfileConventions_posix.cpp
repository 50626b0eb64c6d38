#include "settings/ProfileConventions.h"

// Linux has no private-profile functions; files are UTF-8 with LF line ends
// there, and a file from a Windows till, which is not valid UTF-8, is read
// in code page 1251.
const TProfileConventions& PlatformProfileConventions() {
  static const TProfileConventions Conventions{false, TProfileEncoding::Utf8, "\n"};
  return Conventions;
}
