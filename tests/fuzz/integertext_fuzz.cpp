// The integer-text rule, against a plain reading of the rule written apart
// from the program's own, and through the texts the program itself could be
// given for a known value.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "settings/IntegerText.h"

namespace {

int DigitValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return 99;
}

// Leading spaces, one sign, decimal digits or a hexadecimal prefix and
// digits, nothing else; decimal within 32 signed bits, hexadecimal within 32
// bits as a pattern that a "-" negates.
std::optional<int32_t> ReadByRule(std::string_view Text) {
  while (!Text.empty() && Text.front() == ' ') Text.remove_prefix(1);
  bool negative = false;
  if (!Text.empty() && (Text.front() == '+' || Text.front() == '-')) {
    negative = Text.front() == '-';
    Text.remove_prefix(1);
  }
  int base = 10;
  if (Text.starts_with("0x") || Text.starts_with("0X")) {
    base = 16;
    Text.remove_prefix(2);
  } else if (Text.starts_with("$") || Text.starts_with("x") || Text.starts_with("X")) {
    base = 16;
    Text.remove_prefix(1);
  }
  if (Text.empty()) return std::nullopt;
  for (const char c : Text) {
    if (DigitValue(c) >= base) return std::nullopt;
  }
  while (Text.size() > 1 && Text.front() == '0') Text.remove_prefix(1);
  if (Text.size() > (base == 16 ? 8 : 10)) return std::nullopt;
  int64_t magnitude = 0;
  for (const char c : Text) magnitude = magnitude * base + DigitValue(c);
  if (base == 16) {
    const auto pattern = static_cast<uint32_t>(magnitude);
    return static_cast<int32_t>(negative ? 0U - pattern : pattern);
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<int32_t> Read(std::string_view Text) {
  // A refused text must leave the value alone.
  constexpr int32_t untouched = 0x5EED5EED;
  int32_t value = untouched;
  if (TryStrToInt(Text, value)) return value;
  FUZZ_CHECK(value == untouched);
  return std::nullopt;
}

std::string HexText(uint32_t Pattern, size_t MinDigits) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[Pattern % 16]);
    Pattern /= 16;
  } while (Pattern != 0 || text.size() < MinDigits);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  FUZZ_CHECK(Read(text) == ReadByRule(text));

  if (Size >= 4) {
    int32_t value = 0;
    std::memcpy(&value, Data, sizeof(value));
    const auto pattern = static_cast<uint32_t>(value);
    const std::string spaces(Data[Size - 1] % 4, ' ');
    FUZZ_CHECK(Read(std::to_string(value)) == value);
    FUZZ_CHECK(Read(spaces + std::to_string(value)) == value);
    FUZZ_CHECK(!Read(std::to_string(value) + " "));
    FUZZ_CHECK(!Read(std::to_string(int64_t{value} + (value < 0 ? -1 : 1) * (int64_t{1} << 32))));
    if (value >= 0) FUZZ_CHECK(Read("+" + std::to_string(value)) == value);
    for (const char* prefix : {"$", "x", "X", "0x", "0X"}) {
      FUZZ_CHECK(Read(spaces + prefix + HexText(pattern, spaces.size())) == value);
      FUZZ_CHECK(Read("-" + std::string(prefix) + HexText(pattern, 1)) ==
                 static_cast<int32_t>(0U - pattern));
      FUZZ_CHECK(!Read(std::string(prefix) + "1" + HexText(pattern, 8)));
    }
  }
  return 0;
}
