#include "platform/wintext.h"

std::wstring Widen(std::string_view Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Length = MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, nullptr, 0);
  std::wstring Wide(static_cast<size_t>(Length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, Wide.data(), Length);
  return Wide;
}

std::string Narrow(std::wstring_view Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Length =
      WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, nullptr, 0, nullptr, nullptr);
  std::string Utf8(static_cast<size_t>(Length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, Utf8.data(), Length, nullptr, nullptr);
  return Utf8;
}

std::string WindowsErrorText(DWORD Error) {
  wchar_t* Buffer = nullptr;
  const DWORD Length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, Error, 0, reinterpret_cast<wchar_t*>(&Buffer), 0, nullptr);
  std::wstring_view Message(Buffer, Length);
  while (!Message.empty() && (Message.back() == L'\n' || Message.back() == L'\r' ||
                              Message.back() == L' ' || Message.back() == L'.')) {
    Message.remove_suffix(1);
  }
  std::string Text = Length == 0 ? "Error " + std::to_string(Error) : Narrow(Message);
  LocalFree(Buffer);
  return Text;
}
