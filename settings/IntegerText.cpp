#include "settings/IntegerText.h"

#include <algorithm>
#include <limits>

namespace {

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// Removes a hexadecimal prefix from the front of Text; false when there is none.
bool SkipHexPrefix(std::string_view& Text) {
  for (const std::string_view Prefix : {"$", "x", "X", "0x", "0X"}) {
    if (Text.substr(0, Prefix.size()) == Prefix) {
      Text.remove_prefix(Prefix.size());
      return true;
    }
  }
  return false;
}

}  // namespace

bool TryStrToInt(std::string_view Text, int32_t& Value) {
  Text.remove_prefix(std::min(Text.find_first_not_of(' '), Text.size()));
  bool Negative = false;
  if (!Text.empty() && (Text.front() == '-' || Text.front() == '+')) {
    Negative = Text.front() == '-';
    Text.remove_prefix(1);
  }
  const bool Hex = SkipHexPrefix(Text);
  if (Text.empty()) return false;

  // Hexadecimal takes all 32 bits as a pattern; decimal may reach one past
  // the positive limit only when negated.
  const uint64_t Limit = Hex        ? std::numeric_limits<uint32_t>::max()
                         : Negative ? uint64_t{1} << 31
                                    : std::numeric_limits<int32_t>::max();
  const uint64_t Base = Hex ? 16 : 10;
  uint64_t Magnitude = 0;
  for (const char C : Text) {
    const int Digit = HexDigit(C);
    if (Digit < 0 || static_cast<uint64_t>(Digit) >= Base) return false;
    Magnitude = Magnitude * Base + static_cast<uint64_t>(Digit);
    if (Magnitude > Limit) return false;
  }
  const auto Bits = static_cast<uint32_t>(Magnitude);
  Value = static_cast<int32_t>(Negative ? 0U - Bits : Bits);
  return true;
}
