#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Text at the Windows calls: the project holds UTF-8, the W functions take
// UTF-16. Used only by the *_windows.cpp units.

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::wstring Widen(std::string_view Text);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view Text);

// The system's message for a Windows error code, as UTF-8, without the line
// end the system adds.
std::string WindowsErrorText(DWORD Error);
