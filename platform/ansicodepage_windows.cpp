#include "platform/ansicodepage.h"

#include "platform/codepage.h"
#include "platform/wintext.h"

std::string AnsiToUtf8(std::string_view Bytes) {
  if (Bytes.empty()) return {};
  const int Size = static_cast<int>(Bytes.size());
  const int Length = MultiByteToWideChar(CP_ACP, 0, Bytes.data(), Size, nullptr, 0);
  std::wstring Wide(static_cast<size_t>(Length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, Bytes.data(), Size, Wide.data(), Length);
  return Narrow(Wide);
}

std::string Utf8ToAnsi(std::string_view Text) {
  if (Text.empty()) return {};
  // One "?" per malformed sequence, as on Linux, not the U+FFFD that the
  // conversion to UTF-16 would make of it.
  std::wstring Wide;
  size_t Pos = 0;
  while (Pos < Text.size()) {
    const long Code = DecodeUtf8(Text, Pos);
    // No ANSI code page has a character beyond the 16-bit range; as a
    // surrogate pair it would turn into two "?".
    Wide += Code < 0 || Code >= 0x10000 ? L'?' : static_cast<wchar_t>(Code);
  }
  // No best fit: a character the code page lacks is "?", never a look-alike.
  const int Size = static_cast<int>(Wide.size());
  const int Length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, Wide.data(), Size, nullptr,
                                         0, nullptr, nullptr);
  std::string Bytes(static_cast<size_t>(Length), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, Wide.data(), Size, Bytes.data(), Length,
                      nullptr, nullptr);
  return Bytes;
}
