#include "platform/regional.h"

#include <windows.h>

std::array<std::string, 12> RegionalShortMonthNames() {
  std::array<std::string, 12> names;
  for (int month = 0; month < 12; ++month) {
    wchar_t wide[80];
    const int wideLength =
        GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SABBREVMONTHNAME1 + month, wide, 80);
    if (wideLength <= 1) continue;
    char utf8[320];
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide, wideLength - 1, utf8, sizeof utf8, nullptr, nullptr);
    if (length > 0) names[month].assign(utf8, length);
  }
  return names;
}
