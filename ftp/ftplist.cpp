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

std::string AsciiUpper(std::string_view Text) {
  std::string result(Text);
  for (char& c : result) c = AsciiUpper(c);
  return result;
}

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

bool IsPermissionText(std::string_view Text) {
  return Text.size() == 10 && Text.find_first_not_of("-abcdhlprstwxy") == std::string_view::npos;
}

// Bytes in the character at Pos; a byte that does not start well-formed
// UTF-8 counts as a character of its own.
size_t CharWidth(std::string_view Text, size_t Pos) {
  if (static_cast<unsigned char>(Text[Pos]) < 0x80) return 1;
  size_t next = Pos;
  DecodeUtf8(Text, next);
  return next - Pos;
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

// Every spelling of each month, as upper-cased 1251 bytes. The regional
// names come first; they are read once, on first use, and a regional name
// that code page 1251 cannot hold is left out, since a listing text never
// contains such characters after its trip through the code page.
const std::array<std::vector<std::string>, 12>& MonthSpellings() {
  static const auto spellings = [] {
    std::array<std::vector<std::string>, 12> result;
    const auto regional = RegionalShortMonthNames();
    for (size_t month = 0; month < 12; ++month) {
      const std::string bytes = Utf8ToCp1251(regional[month]);
      if (!bytes.empty() && Cp1251ToUtf8(bytes) == regional[month]) {
        result[month].push_back(UpperCp1251(bytes));
      }
      for (const auto& row : kMonthNames) result[month].push_back(UpperCp1251(row[month]));
    }
    return result;
  }();
  return spellings;
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

}  // namespace

void TFTPListRec::Assign(const TFTPListRec& Value) {
  SetFileName(Value.FileName());
  SetDirectory(Value.Directory());
  SetReadable(Value.Readable());
  SetFileSize(Value.FileSize());
  SetFileTime(Value.FileTime());
  SetOriginalLine(Value.OriginalLine());
  SetMask(Value.Mask());
  SetPermission(Value.Permission());
}

TFTPList::TFTPList() : FMasks(LayoutMasks()) {}

TFTPList::~TFTPList() { Clear(); }

TFTPListRec* TFTPList::Items(int Index) const {
  if (Index < 0 || Index >= Count()) return nullptr;
  return FList[Index].get();
}

int TFTPList::Count() const { return static_cast<int>(FList.size()); }

void TFTPList::Clear() {
  FList.clear();
  FLines.clear();
  FUnparsedLines.clear();
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
  FUnparsedLines = Value.FUnparsedLines;
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
  entry->SetFileName(std::string(name));
  entry->SetOriginalLine(Value);
  entry->SetMask("EPLF");
  FList.push_back(std::move(entry));
  return true;
}

int TFTPList::MatchMask(const std::string& Value, const std::string& NextValue,
                        const std::string& Mask) {
  ClearFields();
  if (Value.empty() || Mask.empty()) return 0;
  std::string_view line = Value;
  size_t pos = 0;
  int result = 1;
  char previous = ' ';
  for (size_t m = 0; m < Mask.size(); ++m) {
    const char action = Mask[m];
    if (pos >= line.size()) {
      if (action != '*') return 0;
      break;
    }
    const size_t width = CharWidth(line, pos);
    const std::string_view c = line.substr(pos, width);
    std::string* collect = nullptr;
    switch (action) {
      case 'p': collect = &Permissions; break;
      case 'd': collect = &DirFlag; break;
      case 'S': collect = &Size; break;
      case 'n': collect = &FileName; break;
      case 'v': collect = &VMSFileName; break;
      case 'D': collect = &Day; break;
      case 'M': collect = &Month; break;
      case 'T': collect = &ThreeMonth; break;
      case 'U': collect = &YearTime; break;
      case 'Y': collect = &Year; break;
      case 'h': collect = &Hours; break;
      case 'H': collect = &HoursModif; break;
      case 'm': collect = &Minutes; break;
      case 's': collect = &Seconds; break;
      case '*':
        if (previous == 'n' || previous == 'v') {
          const size_t end =
              m + 1 == Mask.size() ? line.size() : std::min(line.find(' ', pos), line.size());
          (previous == 'n' ? FileName : VMSFileName).append(line.substr(pos, end - pos));
          pos = end;
        } else {
          size_t end = pos;
          while (end < line.size() && IsDigit(line[end])) ++end;
          if (previous == 'S') Size.append(line.substr(pos, end - pos));
          pos = end;
        }
        break;
      case '!':
        while (pos < line.size() && line[pos] != ' ') ++pos;
        while (pos < line.size() && line[pos] == ' ') ++pos;
        break;
      case '$':
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        break;
      case '.':
        if (c != " " && c != ".") return 0;
        TrimField(FileName);
        FileName += '.';
        pos += width;
        break;
      case 'x':
        if (c != " ") return 0;
        pos += width;
        break;
      case '=':
        // The mask character after "=" is the value that marks a directory;
        // it stands for no column of the line.
        if (previous == 'd' && m + 1 < Mask.size()) DirFlagValue = Mask[++m];
        pos += width;
        break;
      case '\\':
        line = NextValue;
        pos = 0;
        result = 2;
        break;
      default: pos += width; break;
    }
    if (collect != nullptr) {
      collect->append(c);
      pos += width;
    }
    previous = Mask[m];
  }
  return result;
}

bool TFTPList::CheckFields() {
  if (!VMSFileName.empty() && VMSFileName.find(';') == std::string::npos) return false;
  if (FileName.empty() && VMSFileName.empty()) return false;
  if (!Permissions.empty() && !IsPermissionText(Permissions)) return false;
  if (!CheckNumber(Day, 1, 31) || !CheckNumber(Month, 1, 12) || !CheckNumber(Hours, 0, 24))
    return false;
  if (!HoursModif.empty() &&
      std::string_view("APap").find(HoursModif[0]) == std::string_view::npos) {
    return false;
  }
  if (!CheckNumber(Minutes, 0, 59) || !CheckNumber(Seconds, 0, 59)) return false;
  if (!Size.empty()) {
    TrimField(Size);
    if (!std::all_of(Size.begin(), Size.end(), IsDigit)) return false;
  }
  if (!ThreeMonth.empty() && MonthNumber(ThreeMonth) == 0) return false;
  if (!YearTime.empty()) {
    std::replace(YearTime.begin(), YearTime.end(), '-', ':');
    if (YearTime.find(':') != std::string::npos) {
      if (TimeFromText(YearTime) < 0) return false;
    } else if (!CheckNumber(YearTime, 1900, 2100)) {
      return false;
    }
  }
  if (!Year.empty()) {
    TrimField(Year);
    int32_t year = 0;
    if (!TryStrToInt(Year, year)) return false;
    switch (Year.size()) {
      case 4: return year >= 1901 && year <= 2099;
      case 3: return year >= 100 && year <= 110;
      case 2: return year >= 0 && year <= 99;
      default: return false;
    }
  }
  return true;
}

void TFTPList::FillEntry(TFTPListRec& Value) {
  bool directory = AsciiUpper(DirFlag) == AsciiUpper(DirFlagValue.empty() ? "D" : DirFlagValue);
  std::string name = FileName;
  if (const size_t arrow = name.find(kArrow); arrow != std::string::npos) name.erase(arrow);
  if (!VMSFileName.empty()) {
    name = VMSFileName;
    directory = name.find(".DIR;") != std::string::npos;
  }
  const size_t last = name.find_last_not_of(' ');
  name.erase(last == std::string::npos ? 0 : last + 1);
  Value.SetFileName(name);
  Value.SetDirectory(directory);
  Value.SetReadable(!directory);

  const int64_t blocks = BlockSize.empty() ? 1 : NumberOr(BlockSize, 0);
  const int64_t bytes = blocks * SizeNumber(Size);
  Value.SetFileSize(bytes >= 0 && bytes <= INT32_MAX ? static_cast<int32_t>(bytes) : 0);

  const TLocalTime now = Now();
  int64_t year = now.Year;
  int64_t month = now.Month;
  int64_t day = now.Day;
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
      if (EncodeDateTime(year, month, day, hours * 3600 + minutes * 60) > ToDateTime(now)) --year;
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
  static const std::string kNoLine;
  for (size_t n = 0; n < FLines.size(); ++n) {
    const std::string& line = FLines[n];
    if (ParseEplfLine(line)) continue;
    const std::string& next = n + 1 < FLines.size() ? FLines[n + 1] : kNoLine;
    bool taken = false;
    int match = 0;
    for (const std::string& mask : FMasks) {
      match = MatchMask(line, next, mask);
      if (match > 0 && CheckFields()) {
        auto entry = std::make_unique<TFTPListRec>();
        FillEntry(*entry);
        entry->SetOriginalLine(line);
        entry->SetMask(mask);
        const bool dotDirectory =
            entry->Directory() && (entry->FileName() == "." || entry->FileName() == "..");
        if (!dotDirectory) FList.push_back(std::move(entry));
        taken = true;
        break;
      }
    }
    if (!taken) FUnparsedLines.push_back(line);
    if (match == 2) ++n;
  }
}

int MonthNumber(const std::string& Value) {
  const std::string text = UpperCp1251(Utf8ToCp1251(Value));
  const auto& spellings = MonthSpellings();
  for (size_t month = 0; month < spellings.size(); ++month) {
    for (const std::string& spelling : spellings[month]) {
      if (spelling == text) return static_cast<int>(month) + 1;
    }
  }
  return 0;
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
