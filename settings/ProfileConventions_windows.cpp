#include "settings/ProfileConventions.h"

// GetPrivateProfileStringW reads a file without byte-order mark in the ANSI
// code page, whatever its bytes. A new file is UTF-16 with its byte-order
// mark: the platform reads and writes it in that encoding, and unlike ANSI
// it holds every character a setting may have.
const TProfileConventions& PlatformProfileConventions() {
  static const TProfileConventions Conventions{true, TProfileEncoding::Utf16LE, "\r\n"};
  return Conventions;
}
