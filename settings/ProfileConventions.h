#pragma once

#include <string_view>

// The encodings a settings file may come in. ANSI is the system's 8-bit code
// page (platform/ansicodepage.h).
enum class TProfileEncoding { Utf8, Utf8Bom, Utf16LE, Ansi };

// How the platform's own private-profile functions treat a file's text; the
// profile file follows them, so that both read the same values from a file
// either of them wrote.
struct TProfileConventions {
  // A file without byte-order mark is ANSI text however its bytes look
  // (Windows), or else UTF-8 whenever its bytes are valid UTF-8.
  bool BomlessIsAnsi = false;
  // A new file: its encoding and line end, also the line end of an existing
  // file that has none yet.
  TProfileEncoding NewFileEncoding = TProfileEncoding::Utf8;
  std::string_view NewFileLineEnd = "\n";
};

const TProfileConventions& PlatformProfileConventions();
