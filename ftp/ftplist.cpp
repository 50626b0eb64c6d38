#include "ftp/ftplist.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/regional.h"
#include "settings/IntegerText.h"

// Columns are counted in characters (code points of the UTF-8 text). The
// session decodes listings byte by byte through code page 1251, so one
// character is one byte the server sent, and a name cut out of a line is a
// piece of the original text that encodes back to the server's bytes.
//
// "Blank" means the space character. TAB counts as a blank only where "$"
// skips white space; trimming and the other mask actions leave it alone.

namespace {

constexpr std::string_view kArrow = " -> ";
// 30 December 1899 (day 0 of TDateTime) lies this many days before
// 1 January 1970.
constexpr int64_t kUnixEpochDay = 25569;
constexpr int64_t kSecondsPerDay = 86400;

// A run of blanks inside a mask.
struct Blanks {
  size_t Count;
};

void AppendPiece(std::string& Text, std::string_view Piece) { Text.append(Piece); }
void AppendPiece(std::string& Text, Blanks Run) { Text.append(Run.Count, ' '); }

template <typename... Pieces>
std::string Join(const Pieces&... Parts) {
  std::string text;
  (AppendPiece(text, Parts), ...);
  return text;
}

// The line layouts in the order they are tried. Runs of two or more blanks
// are spelled out as Blanks{n} so that each count can be read off.
std::vector<std::string> LayoutMasks() {
  return {
      "pppppppppp $!!!S*$TTT$DD$hh mm ss$YYYY$n*",
      "pppppppppp $!!!S*$DD$TTT$hh mm ss$YYYY$n*",
      "pppppppppp $!!!S*$TTT$DD$UUUUU$n*",
      "pppppppppp $!!!S*$DD$TTT$UUUUU$n*",
      "pppppppppp $!!S*$TTT$DD$UUUUU$n*",
      "pppppppppp $!S*$TTT$DD$UUUUU$n*",
      Join("d", Blanks{12}, "$!S*$TTT$DD$UUUUU$n*"),
      Join("MM DD YY", Blanks{2}, "hh mmH !S* n*"),
      Join("MM DD YY", Blanks{2}, "hh mmH $ d!n*"),
      Join("MM DD YYYY", Blanks{2}, "hh mmH !S* n*"),
      Join("MM DD YYYY", Blanks{2}, "hh mmH $ d!n*"),
      Join("DD MM YYYY", Blanks{2}, "hh mmH !S* n*"),
      Join("DD MM YYYY", Blanks{2}, "hh mmH $ d!n*"),
      Join("v*$", Blanks{2}, "DD TTT YYYY hh mm"),
      "v*$!DD TTT YYYY hh mm",
      Join("n*$", Blanks{17}, "YYYY MM DD hh mm$S*"),
      "!S*$MM DD YY hh mm ss !n*",
      "!S*$DD MM YY hh mm ss !n*",
      "n*!S*$MM DD YY hh mm ss d",
      "n*!S*$DD MM YY hh mm ss d",
      Join("$S*", Blanks{4}, "TTT DD YYYY", Blanks{2}, "hh mm ss $n* $ d"),
      Join("$S*", Blanks{4}, "TTT DD YYYY", Blanks{2}, "hh mm ss $n*"),
      Join("d", Blanks{4}, "$S*$TTT DD YYYY", Blanks{2}, "hh mm$n*"),
      Join("d", Blanks{4}, "$S*$TTT DD$hh mm$n*"),
      Join("nnnnnnnn.nnn", Blanks{2}, "dSSSSSSSSSSS MM DD YY", Blanks{2}, "hh mmH"),
      Join("-", Blanks{3}, "SSSSS", Blanks{12}, "YY MM DD hh mm ss", Blanks{2}, "n*"),
      Join("- d=", Blanks{2}, "SSSSS", Blanks{2}, "YY MM DD hh mm ss", Blanks{2}, "n*"),
      Join(std::string(33, 'n'), Blanks{15}, "SSSSSSSSS MM DD YYYY hh mm"),
      Join("n*\\x", Blanks{47}, "SSSSSSSSS MM DD YYYY hh mm"),
      Join("-", Blanks{5}, "SSSSSSSSSSSS", Blanks{11}, "d", Blanks{3}, "MM DD YYYY", Blanks{3},
           "hh mm", Blanks{2}, "n*"),
      Join("-", Blanks{9}, "YY MM DD hhmm d", Blanks{24}, "SSSSSSSSS n*"),
      Join("nnnnnnnn", Blanks{19}, "SSSSSSS DD TTT YY hh mm ss"),
      Join("-", Blanks{13}, "YYYY MM DD", Blanks{21}, "SSSSS", Blanks{3}, "d=O n*"),
      Join(Blanks{13}, "$S* MM DD YY hh mm ss", Blanks{2}, "!n*"),
      Join("d", Blanks{12}, "$S* MM DD YY", Blanks{11}, "!n*"),
      Join(Blanks{41}, "TTT DD", Blanks{2}, "YYYY n*"),
      Join(Blanks{2}, "d", Blanks{51}, "n*"),
  };
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view TrimBlanks(std::string_view Text) {
  const size_t first = Text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return Text.substr(first, Text.find_last_not_of(' ') - first + 1);
}

void TrimField(std::string& Field) {
  const size_t last = Field.find_last_not_of(' ');
  Field.erase(last == std::string::npos ? 0 : last + 1);
  Field.erase(0, Field.find_first_not_of(' '));
}

int32_t NumberOr(std::string_view Text, int32_t Fallback) {
  int32_t value = 0;
  return TryStrToInt(Text, value) ? value : Fallback;
}

// The check of a numeric working field: an empty field passes untested,
// otherwise it is trimmed for good and must read as a number in range.
bool CheckNumber(std::string& Field, int32_t Low, int32_t High) {
  if (Field.empty()) return true;
  TrimField(Field);
  int32_t value = 0;
  return TryStrToInt(Field, value) && value >= Low && value <= High;
}

using TCharSet = std::array<bool, 256>;

TCharSet CharSetOf(std::string_view Chars) {
  TCharSet set{};
  for (char c : Chars) set[static_cast<unsigned char>(c)] = true;
  return set;
}

bool AllIn(const TCharSet& Set, std::string_view Text) {
  return std::all_of(Text.begin(), Text.end(),
                     [&Set](char c) { return Set[static_cast<unsigned char>(c)]; });
}

// The characters that CheckFields accepts anywhere in a field: permission
// letters; what an integer text may hold (blanks, a sign, a hexadecimal
// prefix, hexadecimal digits); the digits and trimmed blanks of a size.
const TCharSet kPermissionChars = CharSetOf("-abcdhlprstwxy");
const TCharSet kNumberChars = CharSetOf(" +-$xX0123456789abcdefABCDEF");
const TCharSet kSizeChars = CharSetOf(" 0123456789");

bool IsPermissionText(std::string_view Text) {
  return Text.size() == 10 && AllIn(kPermissionChars, Text);
}

// A trimmed year field: four digits 1901-2099, two 0-99, three 100-110.
bool IsYearInRange(std::string_view Text, int32_t Year) {
  switch (Text.size()) {
    case 4: return Year >= 1901 && Year <= 2099;
    case 3: return Year >= 100 && Year <= 110;
    case 2: return Year >= 0 && Year <= 99;
    default: return false;
  }
}

// Bytes in the character at Pos; a byte that does not start well-formed
// UTF-8 counts as a character of its own.
size_t CharWidth(std::string_view Text, size_t Pos) {
  if (static_cast<unsigned char>(Text[Pos]) < 0x80) return 1;
  size_t next = Pos;
  DecodeUtf8(Text, next);
  return next - Pos;
}

// The bytes before the first one beyond ASCII.
size_t AsciiPrefixOf(std::string_view Text) {
  const auto beyond = std::find_if(Text.begin(), Text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  return static_cast<size_t>(beyond - Text.begin());
}

// The position Count characters after Pos; npos when the text ends first.
size_t AdvanceChars(std::string_view Text, size_t Pos, size_t Count) {
  for (; Count > 0; --Count) {
    if (Pos >= Text.size()) return std::string_view::npos;
    Pos += static_cast<unsigned char>(Text[Pos]) < 0x80 ? 1 : CharWidth(Text, Pos);
  }
  return Pos;
}

bool EqualAsciiUpper(std::string_view Left, std::string_view Right) {
  return Left.size() == Right.size() &&
         std::equal(Left.begin(), Left.end(), Right.begin(),
                    [](char l, char r) { return AsciiUpper(l) == AsciiUpper(r); });
}

// A size of digits only, 0 when it does not fit 31 bits.
int64_t SizeNumber(std::string_view Digits) {
  int64_t value = 0;
  for (char c : Digits) {
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return 0;
  }
  return value;
}

// Upper case of a code page 1251 byte: the ASCII letters and every
// lower-case letter of the code page (Cyrillic, with the Serbian,
// Macedonian, Ukrainian and Belarusian ones). The byte entries of the month
// table are Latin-1/Latin-2 letters read as 1251 text; their case pairs sit
// 0x20 apart at 0xC0-0xFF just as the Cyrillic ones do, so "fév" still
// meets "FÉV".
unsigned char UpperCp1251(unsigned char c) {
  static const auto table = [] {
    std::array<unsigned char, 256> upper{};
    for (int b = 0; b < 256; ++b) upper[b] = static_cast<unsigned char>(b);
    for (int b = 'a'; b <= 'z'; ++b) upper[b] = static_cast<unsigned char>(b - 0x20);
    for (int b = 0xE0; b <= 0xFF; ++b) upper[b] = static_cast<unsigned char>(b - 0x20);
    // clang-format off
    constexpr std::array<std::pair<unsigned char, unsigned char>, 15> pairs = {{
        {0x83, 0x81}, {0x90, 0x80}, {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9D, 0x8D},
        {0x9E, 0x8E}, {0x9F, 0x8F}, {0xA2, 0xA1}, {0xB3, 0xB2}, {0xB4, 0xA5},
        {0xB8, 0xA8}, {0xBA, 0xAA}, {0xBC, 0xA3}, {0xBE, 0xBD}, {0xBF, 0xAF},
    }};
    // clang-format on
    for (const auto& [lower, capital] : pairs) upper[lower] = capital;
    return upper;
  }();
  return table[c];
}

std::string UpperCp1251(std::string_view Bytes) {
  std::string result(Bytes);
  for (char& c : result) c = static_cast<char>(UpperCp1251(static_cast<unsigned char>(c)));
  return result;
}

// English, French, French without accents, German, German with umlaut and
// Czech abbreviations; the bytes with the high bit are Windows-1252 and
// Windows-1250 letters. A literal split after a hex escape stays on its row.
// clang-format off
constexpr std::array<std::array<std::string_view, 12>, 6> kMonthNames = {{
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"jan", "f\xE9v", "mar", "avr", "mai", "jun", "jul", "ao\xFB", "sep", "oct", "nov", "d\xE9" "c"},
    {"jan", "fev", "mar", "avr", "mai", "jun", "jul", "aou", "sep", "oct", "nov", "dec"},
    {"Jan", "Feb", "Mar", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Jan", "Feb", "M\xE4r", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Led", "\xDAno", "B\xF8" "e", "Dub", "Kv\xEC", "\xC8" "en", "\xC8" "ec", "Srp", "Z\xE1\xF8",
     "\xD8\xEDj", "Lis", "Pro"},
}};
// clang-format on

// A spelling of a month as upper-cased 1251 bytes; texts shorter than eight
// bytes compare by a number that packs their length and bytes.
struct TMonthSpelling {
  std::string Text;
  uint64_t Key;
  int Month;
};

constexpr size_t kPackedBytes = sizeof(uint64_t);

uint64_t PackedKey(std::string_view Text) {
  uint64_t key = Text.size();
  for (size_t i = 0; i < std::min(Text.size(), kPackedBytes - 1); ++i)
    key |= uint64_t{static_cast<unsigned char>(Text[i])} << (8 * (i + 1));
  return key;
}

// Every spelling of each month, month by month, so that the first match
// gives the lowest month. The regional names come first; they are read
// once, on first use, and a regional name that code page 1251 cannot hold
// is left out, since a listing text never contains such characters after
// its trip through the code page.
const std::vector<TMonthSpelling>& MonthSpellings() {
  static const auto spellings = [] {
    std::vector<TMonthSpelling> result;
    const auto regional = RegionalShortMonthNames();
    const auto add = [&result](std::string Text, size_t Month) {
      const uint64_t key = PackedKey(Text);
      result.push_back({std::move(Text), key, static_cast<int>(Month) + 1});
    };
    for (size_t month = 0; month < 12; ++month) {
      const std::string bytes = Utf8ToCp1251(regional[month]);
      if (!bytes.empty() && Cp1251ToUtf8(bytes) == regional[month]) add(UpperCp1251(bytes), month);
      for (const auto& row : kMonthNames) add(UpperCp1251(row[month]), month);
    }
    return result;
  }();
  return spellings;
}

// The month of upper-cased 1251 bytes, 0 when no spelling matches.
int MonthOfSpelling(std::string_view Text) {
  const bool packed = Text.size() < kPackedBytes;
  const uint64_t key = PackedKey(Text);
  for (const TMonthSpelling& spelling : MonthSpellings()) {
    if (packed ? spelling.Key == key : spelling.Text == Text) return spelling.Month;
  }
  return 0;
}

// The longest spelling, so that longer texts need no conversion to be told
// apart.
size_t LongestMonthSpelling() {
  static const size_t longest = [] {
    size_t result = 0;
    for (const TMonthSpelling& spelling : MonthSpellings())
      result = std::max(result, spelling.Text.size());
    return result;
  }();
  return longest;
}

// Days from 1 January 1970 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t Year, int64_t Month, int64_t Day) {
  Year -= Month <= 2 ? 1 : 0;
  const int64_t era = (Year >= 0 ? Year : Year - 399) / 400;
  const int64_t yearOfEra = Year - era * 400;
  const int64_t dayOfYear = (153 * (Month > 2 ? Month - 3 : Month + 9) + 2) / 5 + Day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// A TDateTime from a month (1-12) and a day and time that may run past the
// month's end or past midnight: they carry on into the following days, so
// 31 April is 1 May and 24:00 is midnight of the next day. Before 1900 the
// fraction counts back from the day, as TDateTime keeps it.
TDateTime EncodeDateTime(int64_t Year, int64_t Month, int64_t Day, int64_t Seconds) {
  const int64_t day =
      DaysFromCivil(Year, Month, 1) + kUnixEpochDay + (Day - 1) + Seconds / kSecondsPerDay;
  const double fraction = static_cast<double>(Seconds % kSecondsPerDay) / kSecondsPerDay;
  return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

TDateTime ToDateTime(const TLocalTime& Time) {
  return EncodeDateTime(Time.Year, Time.Month, Time.Day,
                        Time.Hour * 3600 + Time.Minute * 60 + Time.Second);
}

// --- Listing text

enum class TListingEncoding { Cp1251, Utf8, Utf16LE, Utf16BE };

// The encoding a byte-order mark selects, with the mark taken off Bytes.
TListingEncoding TakeEncoding(std::string_view& Bytes) {
  struct TMark {
    std::string_view Bytes;
    TListingEncoding Encoding;
  };
  for (const TMark& mark :
       {TMark{"\xEF\xBB\xBF", TListingEncoding::Utf8}, TMark{"\xFF\xFE", TListingEncoding::Utf16LE},
        TMark{"\xFE\xFF", TListingEncoding::Utf16BE}}) {
    if (Bytes.starts_with(mark.Bytes)) {
      Bytes.remove_prefix(mark.Bytes.size());
      return mark.Encoding;
    }
  }
  return TListingEncoding::Cp1251;
}

bool IsUtf16(TListingEncoding Encoding) {
  return Encoding == TListingEncoding::Utf16LE || Encoding == TListingEncoding::Utf16BE;
}

// The UTF-16 code unit of the two bytes at I.
char32_t Utf16Unit(std::string_view Bytes, size_t I, bool BigEndian) {
  const auto b0 = static_cast<unsigned char>(Bytes[I]);
  const auto b1 = static_cast<unsigned char>(Bytes[I + 1]);
  return static_cast<char32_t>(BigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
}

// UTF-8 text of UTF-16 code units; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::string_view Bytes, bool BigEndian) {
  std::string out;
  const auto unitAt = [&](size_t i) { return Utf16Unit(Bytes, i, BigEndian); };
  for (size_t i = 0; i + 1 < Bytes.size(); i += 2) {
    const char32_t unit = unitAt(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < Bytes.size()) {
      const char32_t low = unitAt(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? U'\uFFFD' : unit);
  }
  return out;
}

// UTF-8 bytes made well-formed: malformed sequences become U+FFFD.
std::string SanitizeUtf8(std::string_view Bytes) {
  std::string out;
  for (size_t pos = 0; pos < Bytes.size();) {
    const long codePoint = DecodeUtf8(Bytes, pos);
    AppendUtf8(out, codePoint < 0 ? U'\uFFFD' : static_cast<char32_t>(codePoint));
  }
  return out;
}

std::string DecodeLine(std::string_view Bytes, TListingEncoding Encoding) {
  switch (Encoding) {
    case TListingEncoding::Utf8: return SanitizeUtf8(Bytes);
    case TListingEncoding::Utf16LE: return Utf16ToUtf8(Bytes, false);
    case TListingEncoding::Utf16BE: return Utf16ToUtf8(Bytes, true);
    case TListingEncoding::Cp1251: break;
  }
  return Cp1251ToUtf8(Bytes);
}

// Hands each line of the still encoded listing to Take, cut at CR LF, LF or
// CR; a line end at the very end opens no further line. Line ends are found
// in the encoding's own units, so each line decodes on its own just as it
// would within the whole text: no other character decodes to CR or LF, and
// no multi-byte sequence spans one. Stops, with false, when Take refuses a
// line.
template <typename TTake>
bool ForEachEncodedLine(std::string_view Bytes, TListingEncoding Encoding, TTake&& Take) {
  const size_t unit = IsUtf16(Encoding) ? 2 : 1;
  // An odd byte at the end of UTF-16 is no character.
  Bytes = Bytes.substr(0, Bytes.size() / unit * unit);
  const auto unitAt = [&](size_t i) -> char32_t {
    if (unit == 1) return static_cast<unsigned char>(Bytes[i]);
    return Utf16Unit(Bytes, i, Encoding == TListingEncoding::Utf16BE);
  };
  size_t start = 0;
  for (size_t i = 0; i < Bytes.size();) {
    const char32_t value = unitAt(i);
    i += unit;
    if (value != '\r' && value != '\n') continue;
    if (!Take(Bytes.substr(start, i - unit - start))) return false;
    if (value == '\r' && i < Bytes.size() && unitAt(i) == '\n') i += unit;
    start = i;
  }
  return start == Bytes.size() || Take(Bytes.substr(start));
}

// --- Memory as the allocator counts it

// A heap block for Bytes: the allocator's header, rounded to its alignment.
int64_t HeapBlock(size_t Bytes) {
  constexpr size_t header = sizeof(size_t);
  constexpr size_t alignment = 2 * sizeof(size_t);
  return static_cast<int64_t>(
      std::max(4 * sizeof(size_t), (Bytes + header + alignment - 1) / alignment * alignment));
}

// The heap memory of a text: none while it fits the text object itself.
int64_t HeapBytes(const std::string& Text) {
  static const size_t inPlace = std::string().capacity();
  return Text.capacity() > inPlace ? HeapBlock(Text.capacity() + 1) : 0;
}

int64_t EntryBytes(const TFTPListRec& Entry) {
  return HeapBlock(sizeof(TFTPListRec)) + HeapBytes(Entry.FileName()) +
         HeapBytes(Entry.OriginalLine()) + HeapBytes(Entry.Permission());
}

int64_t LinesBytes(const std::vector<std::string>& Lines) {
  auto held = static_cast<int64_t>(Lines.capacity() * sizeof(std::string));
  for (const std::string& line : Lines) held += HeapBytes(line);
  return held;
}

const std::string kNoText;

// Empties a vector down to no capacity.
template <typename T>
void ReleaseAll(std::vector<T>& Items) {
  std::vector<T>().swap(Items);
}

}  // namespace

// --- Compiled masks

// A line to match. Up to its first byte beyond ASCII one byte is one
// character, so steps there move by bytes without decoding.
struct TMatchLine {
  explicit TMatchLine(std::string_view Line) : Text(Line), AsciiPrefix(AsciiPrefixOf(Line)) {}

  size_t Chars() const {
    size_t count = AsciiPrefix;
    for (size_t pos = AsciiPrefix; pos < Text.size(); ++count) pos = AdvanceChars(Text, pos, 1);
    return count;
  }
  // The position Count characters after Pos; npos when the line ends first.
  size_t Advance(size_t Pos, size_t Count) const {
    if (Pos + Count <= AsciiPrefix) return Pos + Count;
    return AdvanceChars(Text, Pos, Count);
  }

  std::string_view Text;
  size_t AsciiPrefix;
};

// A run of mask characters that act alike, as one step.
struct TMaskStep {
  enum class TKind : uint8_t {
    Collect,     // Count characters appended to Field
    PassOver,    // Count characters passed over
    Rest,        // "*" after "n" or "v" ending the mask: the rest of the line to Field
    Word,        // "*" after "n" or "v": up to the next blank, to Field
    Digits,      // "*" after another character: digits, to Field (Size) or dropped
    SkipWord,    // "!"
    SkipBlanks,  // "$"
    Dot,         // "."
    Blank,       // "x"
    DirValue,    // "=" after "d", with the mask character after it as Value
    NextLine,    // "\"
  };
  TKind Kind;
  std::string TFTPList::*Field = nullptr;
  size_t Count = 1;
  char Value = 0;
  // Collect: the characters CheckFields can accept in Field, when it
  // restricts them.
  const TCharSet* Accepted = nullptr;

  // A "*" ends the match, instead of failing it, when the line has ended.
  bool IsStar() const {
    return Kind == TKind::Rest || Kind == TKind::Word || Kind == TKind::Digits;
  }
};

struct TMaskProgram {
  std::vector<TMaskStep> Steps;
  // A line of fewer characters ends before a step that needs one, and so
  // fails the mask: the characters that the steps before the first "*"
  // consume at the least, and those the last of them needs.
  size_t MinChars = 0;
  // The mask text, shared by the entries it takes.
  std::shared_ptr<const std::string> Text;
};

const std::string& TFTPListRec::Mask() const { return FMask ? *FMask : kNoText; }

void TFTPListRec::SetMask(const std::string& Value) {
  FMask = std::make_shared<const std::string>(Value);
}

void TFTPListRec::Assign(const TFTPListRec& Value) {
  SetFileName(Value.FileName());
  SetDirectory(Value.Directory());
  SetReadable(Value.Readable());
  SetFileSize(Value.FileSize());
  SetFileTime(Value.FileTime());
  SetOriginalLine(Value.OriginalLine());
  SetMask(Value.FMask);
  SetPermission(Value.Permission());
}

TFTPList::TFTPList() : FMasks(LayoutMasks()), FPrograms(CompileMasks(FMasks)) {}

TFTPList::~TFTPList() { Clear(); }

std::vector<TMaskProgram> TFTPList::CompileMasks(const std::vector<std::string>& Masks) {
  std::vector<TMaskProgram> programs;
  programs.reserve(Masks.size());
  for (const std::string& mask : Masks) programs.push_back(CompileMask(mask));
  return programs;
}

TMaskProgram TFTPList::CompileMask(const std::string& Mask) {
  using TKind = TMaskStep::TKind;
  TMaskProgram program;
  program.Text = std::make_shared<const std::string>(Mask);
  auto& steps = program.Steps;
  // Consecutive characters of one run become one step.
  const auto addRun = [&steps](TKind Kind, std::string TFTPList::*Field) {
    if (!steps.empty() && steps.back().Kind == Kind && steps.back().Field == Field) {
      ++steps.back().Count;
    } else {
      steps.push_back({Kind, Field});
    }
  };
  char previous = ' ';
  for (size_t m = 0; m < Mask.size(); ++m) {
    switch (Mask[m]) {
      case 'p': addRun(TKind::Collect, &TFTPList::Permissions); break;
      case 'd': addRun(TKind::Collect, &TFTPList::DirFlag); break;
      case 'S': addRun(TKind::Collect, &TFTPList::Size); break;
      case 'n': addRun(TKind::Collect, &TFTPList::FileName); break;
      case 'v': addRun(TKind::Collect, &TFTPList::VMSFileName); break;
      case 'D': addRun(TKind::Collect, &TFTPList::Day); break;
      case 'M': addRun(TKind::Collect, &TFTPList::Month); break;
      case 'T': addRun(TKind::Collect, &TFTPList::ThreeMonth); break;
      case 'U': addRun(TKind::Collect, &TFTPList::YearTime); break;
      case 'Y': addRun(TKind::Collect, &TFTPList::Year); break;
      case 'h': addRun(TKind::Collect, &TFTPList::Hours); break;
      case 'H': addRun(TKind::Collect, &TFTPList::HoursModif); break;
      case 'm': addRun(TKind::Collect, &TFTPList::Minutes); break;
      case 's': addRun(TKind::Collect, &TFTPList::Seconds); break;
      case '*':
        if (previous == 'n' || previous == 'v') {
          steps.push_back({m + 1 == Mask.size() ? TKind::Rest : TKind::Word,
                           previous == 'n' ? &TFTPList::FileName : &TFTPList::VMSFileName});
        } else {
          steps.push_back({TKind::Digits, previous == 'S' ? &TFTPList::Size : nullptr});
        }
        break;
      case '!': steps.push_back({TKind::SkipWord}); break;
      case '$': steps.push_back({TKind::SkipBlanks}); break;
      case '.': steps.push_back({TKind::Dot}); break;
      case 'x': steps.push_back({TKind::Blank}); break;
      case '\\': steps.push_back({TKind::NextLine}); break;
      case '=':
        // The mask character after "=" is the value that marks a directory;
        // it stands for no column of the line.
        if (previous == 'd' && m + 1 < Mask.size()) {
          steps.push_back({TKind::DirValue, nullptr, 1, Mask[++m]});
          break;
        }
        addRun(TKind::PassOver, nullptr);
        break;
      default: addRun(TKind::PassOver, nullptr); break;
    }
    previous = Mask[m];
  }
  for (TMaskStep& step : steps) {
    if (step.Kind != TMaskStep::TKind::Collect) continue;
    if (step.Field == &TFTPList::Permissions) step.Accepted = &kPermissionChars;
    if (step.Field == &TFTPList::Size) step.Accepted = &kSizeChars;
    for (auto number : {&TFTPList::Day, &TFTPList::Month, &TFTPList::Year, &TFTPList::Hours,
                        &TFTPList::Minutes, &TFTPList::Seconds}) {
      if (step.Field == number) step.Accepted = &kNumberChars;
    }
  }
  size_t consumed = 0;
  for (const TMaskStep& step : steps) {
    if (step.IsStar() || step.Kind == TMaskStep::TKind::NextLine) break;
    const bool variable =
        step.Kind == TMaskStep::TKind::SkipWord || step.Kind == TMaskStep::TKind::SkipBlanks;
    program.MinChars = consumed + (variable ? 1 : step.Count);
    consumed += variable ? 0 : step.Count;
  }
  return program;
}

TFTPListRec* TFTPList::Items(int Index) const {
  if (Index < 0 || Index >= Count()) return nullptr;
  return FList[Index].get();
}

int TFTPList::Count() const { return static_cast<int>(FList.size()); }

void TFTPList::Clear() {
  // Emptied to no capacity: a huge listing leaves no memory behind.
  ReleaseAll(FList);
  ReleaseAll(FLines);
  ReleaseAll(FUnparsedLines);
  FItemsHeld = 0;
  FMemoryExceeded = false;
}

void TFTPList::ClearForExceededMemory() {
  Clear();
  FMemoryExceeded = true;
}

int64_t TFTPList::HeldMemory(int64_t LinesHeld) const {
  return LinesHeld + FItemsHeld +
         static_cast<int64_t>(FList.capacity() * sizeof(FList[0]) +
                              FUnparsedLines.capacity() * sizeof(std::string));
}

void TFTPList::Assign(const TFTPList& Value) {
  Clear();
  for (const auto& entry : Value.FList) {
    auto copy = std::make_unique<TFTPListRec>();
    copy->Assign(*entry);
    FList.push_back(std::move(copy));
  }
  FLines = Value.FLines;
  FMasks = Value.FMasks;
  FPrograms = CompileMasks(FMasks);
  FUnparsedLines = Value.FUnparsedLines;
  FItemsHeld = Value.FItemsHeld;
  FMaxMemory = Value.FMaxMemory;
  FMemoryExceeded = Value.FMemoryExceeded;
}

bool TFTPList::LoadListing(std::string_view Bytes) {
  ReleaseAll(FLines);
  const TListingEncoding encoding = TakeEncoding(Bytes);
  size_t count = 0;
  ForEachEncodedLine(Bytes, encoding, [&count](std::string_view) {
    ++count;
    return true;
  });
  // The line objects alone may already be too many.
  auto held = static_cast<int64_t>(count * sizeof(std::string));
  bool fits = held <= FMaxMemory;
  if (fits) {
    FLines.reserve(count);
    fits = ForEachEncodedLine(Bytes, encoding, [&](std::string_view Line) {
      // A copy of exactly its length: the decoder leaves room to spare.
      FLines.emplace_back(std::string_view(DecodeLine(Line, encoding)));
      held += HeapBytes(FLines.back());
      return held <= FMaxMemory;
    });
  }
  if (!fits) ClearForExceededMemory();
  return fits;
}

void TFTPList::ClearFields() {
  for (std::string* field :
       {&Monthnames, &BlockSize, &DirFlagValue, &FileName, &VMSFileName, &Day, &Month, &ThreeMonth,
        &YearTime, &Year, &Hours, &HoursModif, &Minutes, &Seconds, &Size, &Permissions, &DirFlag}) {
    field->clear();
  }
}

bool TFTPList::ParseEplfLine(const std::string& Value) {
  if (Value.empty() || Value[0] != '+') return false;
  const std::string_view rest = std::string_view(Value).substr(1);
  const size_t tab = rest.find('\t');
  const std::string_view name = tab == std::string_view::npos ? rest : rest.substr(tab + 1);

  auto entry = std::make_unique<TFTPListRec>();
  size_t start = 0;
  for (;;) {
    const size_t comma = std::min(rest.find(',', start), rest.size());
    const std::string_view fact = TrimBlanks(rest.substr(start, comma - start));
    if (fact.empty() || fact[0] == '\t') break;
    switch (fact[0]) {
      case '/': entry->SetDirectory(true); break;
      case 'r': entry->SetReadable(true); break;
      case 's': entry->SetFileSize(NumberOr(fact.substr(1), 0)); break;
      case 'm':
        entry->SetFileTime(static_cast<double>(NumberOr(fact.substr(1), 0)) / kSecondsPerDay +
                           kUnixEpochDay);
        break;
      default: break;
    }
    if (comma == rest.size()) break;
    start = comma + 1;
  }

  if (name.empty() || (entry->Directory() && (name == "." || name == ".."))) return false;
  static const auto eplf = std::make_shared<const std::string>("EPLF");
  entry->SetFileName(std::string(name));
  entry->SetOriginalLine(Value);
  entry->SetMask(eplf);
  FList.push_back(std::move(entry));
  return true;
}

int TFTPList::MatchMask(const std::string& Value, const std::string& NextValue,
                        const std::string& Mask) {
  return RunMask(CompileMask(Mask), TMatchLine(Value), NextValue, false);
}

int TFTPList::RunMask(const TMaskProgram& Program, const TMatchLine& Value,
                      std::string_view NextValue, bool StopAtRefusedField) {
  using TKind = TMaskStep::TKind;
  ClearFields();
  if (Value.Text.empty() || Program.Steps.empty()) return 0;
  // The next line is looked at only by the one layout that goes on into it.
  TMatchLine nextLine{std::string_view()};
  const TMatchLine* current = &Value;
  std::string_view line = Value.Text;
  size_t pos = 0;
  int result = 1;
  for (const TMaskStep& step : Program.Steps) {
    if (pos >= line.size()) {
      if (!step.IsStar()) return 0;
      break;
    }
    switch (step.Kind) {
      case TKind::Collect: {
        const size_t end = current->Advance(pos, step.Count);
        if (end == std::string_view::npos) return 0;
        const std::string_view taken = line.substr(pos, end - pos);
        if (StopAtRefusedField && step.Accepted != nullptr && !AllIn(*step.Accepted, taken))
          return 0;
        (this->*step.Field).append(taken);
        pos = end;
        break;
      }
      case TKind::PassOver:
        pos = current->Advance(pos, step.Count);
        if (pos == std::string_view::npos) return 0;
        break;
      case TKind::Rest:
        (this->*step.Field).append(line.substr(pos));
        pos = line.size();
        break;
      case TKind::Word: {
        const size_t end = std::min(line.find(' ', pos), line.size());
        (this->*step.Field).append(line.substr(pos, end - pos));
        pos = end;
        break;
      }
      case TKind::Digits: {
        size_t end = pos;
        while (end < line.size() && IsDigit(line[end])) ++end;
        if (step.Field != nullptr) (this->*step.Field).append(line.substr(pos, end - pos));
        pos = end;
        break;
      }
      case TKind::SkipWord:
        while (pos < line.size() && line[pos] != ' ') ++pos;
        while (pos < line.size() && line[pos] == ' ') ++pos;
        break;
      case TKind::SkipBlanks:
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        break;
      case TKind::Dot:
        // Blank and "." are single bytes that no multi-byte character holds.
        if (line[pos] != ' ' && line[pos] != '.') return 0;
        TrimField(FileName);
        FileName += '.';
        ++pos;
        break;
      case TKind::Blank:
        if (line[pos] != ' ') return 0;
        ++pos;
        break;
      case TKind::DirValue:
        DirFlagValue.assign(1, step.Value);
        pos += CharWidth(line, pos);
        break;
      case TKind::NextLine:
        nextLine = TMatchLine(NextValue);
        current = &nextLine;
        line = NextValue;
        pos = 0;
        result = 2;
        break;
    }
  }
  return result;
}

bool TFTPList::CheckFields() {
  // Every check must hold, and a failing one leaves the fields to the next
  // attempt, so the cheap checks go first and the month and time last.
  if (!VMSFileName.empty() && VMSFileName.find(';') == std::string::npos) return false;
  if (FileName.empty() && VMSFileName.empty()) return false;
  if (!Permissions.empty() && !IsPermissionText(Permissions)) return false;
  if (!HoursModif.empty() &&
      std::string_view("APap").find(HoursModif[0]) == std::string_view::npos) {
    return false;
  }
  if (!Size.empty()) {
    TrimField(Size);
    if (!std::all_of(Size.begin(), Size.end(), IsDigit)) return false;
  }
  if (!CheckNumber(Day, 1, 31) || !CheckNumber(Month, 1, 12) || !CheckNumber(Hours, 0, 24))
    return false;
  if (!CheckNumber(Minutes, 0, 59) || !CheckNumber(Seconds, 0, 59)) return false;
  if (!Year.empty()) {
    TrimField(Year);
    int32_t year = 0;
    if (!TryStrToInt(Year, year) || !IsYearInRange(Year, year)) return false;
  }
  if (!YearTime.empty()) {
    std::replace(YearTime.begin(), YearTime.end(), '-', ':');
    if (YearTime.find(':') != std::string::npos) {
      if (TimeFromText(YearTime) < 0) return false;
    } else if (!CheckNumber(YearTime, 1900, 2100)) {
      return false;
    }
  }
  return ThreeMonth.empty() || MonthNumber(ThreeMonth) != 0;
}

void TFTPList::FillEntry(TFTPListRec& Value) { FillEntryAt(Value, Now()); }

void TFTPList::FillEntryAt(TFTPListRec& Value, const TLocalTime& Present) {
  bool directory =
      EqualAsciiUpper(DirFlag, DirFlagValue.empty() ? std::string_view("D") : DirFlagValue);
  std::string_view name = FileName;
  name = name.substr(0, name.find(kArrow));
  if (!VMSFileName.empty()) {
    name = VMSFileName;
    directory = name.find(".DIR;") != std::string_view::npos;
  }
  const size_t last = name.find_last_not_of(' ');
  Value.SetFileName(std::string(name.substr(0, last == std::string_view::npos ? 0 : last + 1)));
  Value.SetDirectory(directory);
  Value.SetReadable(!directory);

  const int64_t blocks = BlockSize.empty() ? 1 : NumberOr(BlockSize, 0);
  const int64_t bytes = blocks * SizeNumber(Size);
  Value.SetFileSize(bytes >= 0 && bytes <= INT32_MAX ? static_cast<int32_t>(bytes) : 0);

  int64_t year = Present.Year;
  int64_t month = Present.Month;
  int64_t day = Present.Day;
  int64_t hours = 0;
  int64_t minutes = 0;
  int64_t seconds = 0;
  // The fallbacks come from today's date, well within 32 bits.
  if (!Day.empty()) day = NumberOr(Day, static_cast<int32_t>(day));
  if (!Month.empty()) month = NumberOr(Month, static_cast<int32_t>(month));
  if (!ThreeMonth.empty()) month = MonthNumber(ThreeMonth);
  if (!Year.empty()) {
    year = NumberOr(Year, static_cast<int32_t>(year));
    if (year >= 51 && year <= 99) {
      year += 1900;
    } else if (year >= 0 && year <= 50) {
      year += 2000;
    }
  }
  if (!YearTime.empty()) {
    if (const size_t colon = YearTime.find(':'); colon != std::string::npos) {
      const std::string_view text = YearTime;
      hours = NumberOr(TrimBlanks(text.substr(0, colon)), 0);
      minutes = NumberOr(TrimBlanks(text.substr(colon + 1)), 0);
      // A time instead of a year marks the recent past: the last twelve
      // months, so a moment still ahead this year was last year's.
      if (EncodeDateTime(year, month, day, hours * 3600 + minutes * 60) > ToDateTime(Present))
        --year;
    } else {
      year = NumberOr(YearTime, static_cast<int32_t>(year));
    }
  }
  if (!Minutes.empty()) minutes = NumberOr(Minutes, 0);
  if (!Seconds.empty()) seconds = NumberOr(Seconds, 0);
  if (!Hours.empty()) hours = NumberOr(Hours, 0);
  if (!HoursModif.empty()) {
    const char modifier = AsciiUpper(HoursModif[0]);
    if (modifier == 'P' && hours != 12) hours += 12;
    if (modifier == 'A' && hours == 12) hours = 0;
  }
  Value.SetFileTime(EncodeDateTime(year, month, day, hours * 3600 + minutes * 60 + seconds));

  if (!Permissions.empty()) {
    Value.SetPermission(Permissions);
    Value.SetReadable(Permissions.size() > 1 && AsciiUpper(Permissions[1]) == 'R');
    const char kind = AsciiUpper(Permissions[0]);
    if (kind == 'D') {
      Value.SetDirectory(true);
      Value.SetReadable(false);
    } else if (kind == 'L') {
      Value.SetDirectory(true);
    }
  }
}

void TFTPList::ParseLines() {
  // One present moment for the whole listing: every entry's "recent past"
  // is measured from the same instant.
  const TLocalTime present = Now();
  const int64_t linesHeld = LinesBytes(FLines);
  const auto exceeded = [&] { return HeldMemory(linesHeld) > FMaxMemory; };
  if (exceeded()) return ClearForExceededMemory();
  for (size_t n = 0; n < FLines.size(); ++n) {
    const std::string& line = FLines[n];
    if (ParseEplfLine(line)) {
      FItemsHeld += EntryBytes(*FList.back());
      if (exceeded()) return ClearForExceededMemory();
      continue;
    }
    const TMatchLine current(line);
    const std::string_view next = n + 1 < FLines.size() ? std::string_view(FLines[n + 1]) : "";
    const size_t chars = current.Chars();
    bool taken = false;
    int match = 0;
    for (const TMaskProgram& program : FPrograms) {
      match = chars < program.MinChars ? 0 : RunMask(program, current, next, true);
      if (match > 0 && CheckFields()) {
        auto entry = std::make_unique<TFTPListRec>();
        FillEntryAt(*entry, present);
        const bool dotDirectory =
            entry->Directory() && (entry->FileName() == "." || entry->FileName() == "..");
        if (!dotDirectory) {
          entry->SetOriginalLine(line);
          entry->SetMask(program.Text);
          FItemsHeld += EntryBytes(*entry);
          FList.push_back(std::move(entry));
        }
        taken = true;
        break;
      }
    }
    if (!taken) {
      FUnparsedLines.push_back(line);
      FItemsHeld += HeapBytes(FUnparsedLines.back());
    }
    if (exceeded()) return ClearForExceededMemory();
    if (match == 2) ++n;
  }
}

int MonthNumber(const std::string& Value) {
  // Month names are short, so a short plain-ASCII text (nearly every one in
  // a listing) is upper-cased in place; others go through the code page.
  std::array<char, 16> buffer{};
  std::string converted;
  std::string_view text;
  const bool ascii = std::all_of(Value.begin(), Value.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    if (Value.size() > std::min(buffer.size(), LongestMonthSpelling())) return 0;
    std::transform(Value.begin(), Value.end(), buffer.begin(),
                   [](char c) { return AsciiUpper(c); });
    text = std::string_view(buffer.data(), Value.size());
  } else {
    converted = UpperCp1251(Utf8ToCp1251(Value));
    text = converted;
  }
  return MonthOfSpelling(text);
}

// Accepted: h:mm and h:mm:ss, each part one or two digits (hours 0-23,
// minutes and seconds 0-59), blanks around the whole allowed. Anything after
// the two characters that follow the last colon is cut off first, so
// "12:30PM" reads as 12:30 and "1:23 " as 1:23. The regional time separator
// would replace each colon and then be read back as the separator, which
// comes to reading the colon itself.
double TimeFromText(const std::string& Value) {
  std::string_view text = Value;
  if (const size_t last = text.rfind(':');
      last != std::string_view::npos && text.size() - last > 3) {
    text = text.substr(0, last + 3);
  }
  text = TrimBlanks(text);
  std::array<int, 3> parts{};
  size_t count = 0;
  size_t pos = 0;
  for (;;) {
    const size_t start = pos;
    int value = 0;
    // A third digit already makes the part too long; reading on could overflow.
    while (pos < text.size() && IsDigit(text[pos]) && pos - start < 3)
      value = value * 10 + (text[pos++] - '0');
    if (pos == start || pos - start > 2 || count == parts.size()) return -1;
    parts[count++] = value;
    if (pos == text.size()) break;
    if (text[pos++] != ':') return -1;
  }
  if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return -1;
  return (parts[0] * 3600.0 + parts[1] * 60.0 + parts[2]) / kSecondsPerDay;
}
