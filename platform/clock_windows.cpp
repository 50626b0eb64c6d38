#include "platform/clock.h"

#include <windows.h>

TLocalTime SystemLocalTime() {
  SYSTEMTIME Parts{};
  GetLocalTime(&Parts);
  return {Parts.wYear, Parts.wMonth, Parts.wDay, Parts.wHour, Parts.wMinute, Parts.wSecond};
}
