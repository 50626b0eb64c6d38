#pragma once

#include <cstdint>
#include <string_view>

// How a setting's text becomes a 32-bit integer: leading spaces, one sign,
// decimal or hexadecimal ("$", "x", "X", "0x", "0X"), the whole text or
// nothing. Returns false, leaving Value alone, when the text is not a number.
bool TryStrToInt(std::string_view Text, int32_t& Value);
