#include "platform/ansicodepage.h"

#include "platform/codepage.h"

std::string AnsiToUtf8(std::string_view Bytes) { return Cp1251ToUtf8(Bytes); }

std::string Utf8ToAnsi(std::string_view Text) { return Utf8ToCp1251(Text); }
