#pragma once

#include <array>
#include <string>

// The abbreviated month names of the user's regional settings, January
// first, as UTF-8 (on Unix those of the LC_TIME locale the environment
// selects). A name that cannot be read is an empty text.
std::array<std::string, 12> RegionalShortMonthNames();
