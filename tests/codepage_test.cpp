#include "platform/codepage.h"

#include <gtest/gtest.h>

TEST(CodePage, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string text = Cp1251ToUtf8(all);
  EXPECT_TRUE(IsValidUtf8(text));
  EXPECT_EQ(Utf8ToCp1251(text), all);
}

TEST(CodePage, CyrillicAndSpecialBytes) {
  struct Case {
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {"\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
      {"\xA8\xB8", "Ёё"},
      {"\xB9", "№"},
      {"\x88", "€"},
      {"\x98", "\xC2\x98"},  // unassigned in 1251, kept as U+0098
      {"abc", "abc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cp1251ToUtf8(c.bytes), c.utf8);
    EXPECT_EQ(Utf8ToCp1251(c.utf8), c.bytes);
  }
}

TEST(CodePage, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  // A literal split after a hex escape stays on one line.
  // clang-format off
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD" "b"), "a?b");          // a CJK character
  EXPECT_EQ(Utf8ToCp1251("\xF0\x9F\x98\x80"), "?");              // an emoji
  EXPECT_EQ(Utf8ToCp1251("x\xFFy"), "x?y");                      // not UTF-8 at all
  EXPECT_EQ(Utf8ToCp1251("\xD0"), "?");                          // truncated sequence
  // clang-format on
}

TEST(CodePage, Utf8Validation) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("Касса"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(IsValidUtf8("\xCF\xF0\xE8"));  // 1251 bytes
}
