#include "platform/clock.h"

#include <ctime>

TLocalTime SystemLocalTime() {
  const std::time_t Seconds = std::time(nullptr);
  std::tm Parts{};
  ::localtime_r(&Seconds, &Parts);
  return {Parts.tm_year + 1900, Parts.tm_mon + 1, Parts.tm_mday,
          Parts.tm_hour,        Parts.tm_min,     Parts.tm_sec};
}
