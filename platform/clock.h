#pragma once

#include <functional>
#include <string>

// Local wall-clock time, broken down.
struct TLocalTime {
  int Year = 0;
  int Month = 0;
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
};

// The current local time; tests may replace the source.
TLocalTime Now();
// The platform's local time, whatever source Now() uses.
TLocalTime SystemLocalTime();
void SetClockForTesting(std::function<TLocalTime()> Source);  // empty restores the system clock

// "YYYYMMDDHHmmss", for journal names.
std::string FormatJournalStamp(const TLocalTime& Time);
// "DD.MM.YYYY HH:mm:ss", for last-exchange stamps.
std::string FormatDisplayStamp(const TLocalTime& Time);
