// The code page 1251 codec: every byte string decodes to well-formed UTF-8
// and encodes back to itself, and encoding any text, well-formed or not,
// gives one byte per character.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/codepage.h"

namespace {

// The characters of well-formed UTF-8 (the byte ranges of the Unicode
// standard's table of well-formed sequences), or nothing when the text is
// not well-formed.
bool SplitCharacters(std::string_view Text, std::vector<std::string_view>& Characters) {
  size_t pos = 0;
  while (pos < Text.size()) {
    const auto lead = static_cast<unsigned char>(Text[pos]);
    size_t trail = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead <= 0x7F) {
      trail = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (Text.size() - pos <= trail) return false;
    for (size_t i = 1; i <= trail; ++i) {
      const auto byte = static_cast<unsigned char>(Text[pos + i]);
      const bool inRange = i == 1 ? byte >= low && byte <= high : byte >= 0x80 && byte <= 0xBF;
      if (!inRange) return false;
    }
    Characters.push_back(Text.substr(pos, trail + 1));
    pos += trail + 1;
  }
  return true;
}

// Each character of the code page with its byte, read off the decoder.
const std::map<std::string, char, std::less<>>& CodePageBytes() {
  static const auto table = [] {
    std::map<std::string, char, std::less<>> bytes;
    for (int byte = 0; byte < 256; ++byte) {
      const char value = static_cast<char>(byte);
      bytes.emplace(Cp1251ToUtf8(std::string_view(&value, 1)), value);
    }
    return bytes;
  }();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);

  const std::string text = Cp1251ToUtf8(bytes);
  FUZZ_CHECK(IsValidUtf8(text));
  FUZZ_CHECK(Utf8ToCp1251(text) == bytes);

  std::vector<std::string_view> characters;
  const bool wellFormed = SplitCharacters(bytes, characters);
  FUZZ_CHECK(IsValidUtf8(bytes) == wellFormed);

  const std::string encoded = Utf8ToCp1251(bytes);
  FUZZ_CHECK(encoded.size() <= bytes.size());
  if (wellFormed) {
    std::string expected;
    for (const std::string_view character : characters) {
      const auto found = CodePageBytes().find(character);
      expected += found == CodePageBytes().end() ? '?' : found->second;
    }
    FUZZ_CHECK(encoded == expected);
  }
  return 0;
}
