#pragma once

#include <string>
#include <string_view>

// The system's 8-bit (ANSI) code page, in which text crosses into bytes:
// FTP commands and replies, listings, host names, journal files. On Windows
// it is the code page the system is set to (CP_ACP, 1251 on a Russian
// Windows); on Linux code page 1251 stands in for it.

// ANSI bytes to UTF-8 text.
std::string AnsiToUtf8(std::string_view Bytes);

// UTF-8 text to ANSI bytes; a character outside the code page, or a byte
// sequence that is not UTF-8, becomes "?".
std::string Utf8ToAnsi(std::string_view Text);
