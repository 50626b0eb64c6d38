#include "platform/paths.h"

#include <algorithm>

const char PathDelim = '\\';

// Windows compares folder names without regard to the case of the ASCII
// letters only; nothing else is normalised.
bool SamePath(std::string_view a, std::string_view b) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return upper(x) == upper(y); });
}

namespace {

bool SameAsciiText(std::string_view A, std::string_view B) {
  const auto Upper = [](char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 32) : C; };
  return std::equal(A.begin(), A.end(), B.begin(), B.end(),
                    [&](char X, char Y) { return Upper(X) == Upper(Y); });
}

bool IsDeviceName(std::string_view Name) {
  // The device is meant whatever follows the first dot, and with blanks
  // before it.
  std::string_view Stem = Name.substr(0, Name.find('.'));
  while (!Stem.empty() && Stem.back() == ' ') Stem.remove_suffix(1);
  for (const std::string_view Device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (SameAsciiText(Stem, Device)) return true;
  }
  // COM1-9 and LPT1-9, also with the superscript digits ¹²³ that Windows
  // counts among them.
  if (Stem.size() < 4 ||
      !(SameAsciiText(Stem.substr(0, 3), "COM") || SameAsciiText(Stem.substr(0, 3), "LPT"))) {
    return false;
  }
  const std::string_view Digit = Stem.substr(3);
  return (Digit.size() == 1 && Digit[0] >= '1' && Digit[0] <= '9') || Digit == "\xC2\xB9" ||
         Digit == "\xC2\xB2" || Digit == "\xC2\xB3";
}

}  // namespace

bool IsPlainFileName(std::string_view Name) {
  if (Name.empty() || Name.back() == '.' || Name.back() == ' ') return false;
  for (const char C : Name) {
    if (static_cast<unsigned char>(C) < 0x20 ||
        std::string_view("<>:\"|?*").find(C) != std::string_view::npos) {
      return false;
    }
  }
  return !IsDeviceName(Name);
}
