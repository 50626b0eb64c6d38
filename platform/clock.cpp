#include "platform/clock.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex SourceLock;
std::function<TLocalTime()> Source;

std::string Format(const char* Pattern, int A, int B, int C, int D, int E, int F) {
  char Text[64];
  const int Length = std::snprintf(Text, sizeof Text, Pattern, A, B, C, D, E, F);
  return {Text, static_cast<size_t>(Length)};
}

}  // namespace

TLocalTime Now() {
  std::function<TLocalTime()> Current;
  {
    const std::lock_guard<std::mutex> Guard(SourceLock);
    Current = Source;
  }
  return Current ? Current() : SystemLocalTime();
}

void SetClockForTesting(std::function<TLocalTime()> NewSource) {
  const std::lock_guard<std::mutex> Guard(SourceLock);
  Source = std::move(NewSource);
}

std::string FormatJournalStamp(const TLocalTime& Time) {
  return Format("%04d%02d%02d%02d%02d%02d", Time.Year, Time.Month, Time.Day, Time.Hour, Time.Minute,
                Time.Second);
}

std::string FormatDisplayStamp(const TLocalTime& Time) {
  return Format("%02d.%02d.%04d %02d:%02d:%02d", Time.Day, Time.Month, Time.Year, Time.Hour,
                Time.Minute, Time.Second);
}
