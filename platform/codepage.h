#pragma once

#include <string>
#include <string_view>

// Code page 1251, built in: the Linux build's ANSI code page
// (platform/ansicodepage.h), and the table a Russian Windows agrees with.
// Decoding is total and encoding inverts it, so any byte string decoded and
// encoded again comes back unchanged (0x98, unassigned in 1251, maps to U+0098).

// 1251 bytes to UTF-8 text.
std::string Cp1251ToUtf8(std::string_view bytes);

// UTF-8 text to 1251 bytes; a character outside the code page, or a byte
// sequence that is not UTF-8, becomes "?".
std::string Utf8ToCp1251(std::string_view text);

// Whether the bytes form well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// Decodes one UTF-8 code point at `pos`, advancing it; returns -1 (and
// advances one byte) when the sequence there is malformed.
long DecodeUtf8(std::string_view text, size_t& pos);

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t codePoint);
