#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ftp/ftplist.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/regional.h"
#include "support/Environment.h"
#include "support/TempDir.h"

// glibc's newlocale() never frees the search list it builds from LOCPATH,
// which only these tests set.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name LeakSanitizer looks for.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

namespace {

// A TDateTime worked out with the standard calendar, independently of the
// parser's own date arithmetic.
TDateTime DateTime(int Year, unsigned Month, unsigned Day, int Hour = 0, int Minute = 0,
                   int Second = 0) {
  using namespace std::chrono;
  const auto days =
      sys_days(year{Year} / month{Month} / day{Day}) - sys_days(year{1899} / December / day{30});
  return static_cast<double>(days.count()) + (Hour * 3600 + Minute * 60 + Second) / 86400.0;
}

// One second, as a tolerance for TDateTime comparisons.
constexpr double kSecond = 1.0 / 86400;

// NOLINTNEXTLINE(modernize-return-braced-init-list): braces would make two characters.
std::string Blanks(size_t Count) { return std::string(Count, ' '); }

// A listing as the session hands it over: the server's bytes decoded
// through code page 1251 and cut at CR LF.
std::vector<std::string> ListingLines(const std::string& Bytes) {
  const std::string text = Cp1251ToUtf8(Bytes);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string FixtureBytes(const std::string& Name) {
  std::ifstream in(std::string(QUORVEL_TEST_SOURCE_DIR) + "/fixtures/listings/" + Name,
                   std::ios::binary);
  EXPECT_TRUE(in) << Name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FtpListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClockForTesting([this] { return FNow; });
  }
  void TearDown() override { SetClockForTesting({}); }

  void Parse(const std::vector<std::string>& Lines) {
    FList.Clear();
    FList.Lines() = Lines;
    FList.ParseLines();
  }

  // The table row (1-37) of the mask that took an entry, 0 for EPLF.
  int Row(const TFTPListRec& Entry) const {
    if (Entry.Mask() == "EPLF") return 0;
    for (size_t i = 0; i < FList.Masks().size(); ++i) {
      if (FList.Masks()[i] == Entry.Mask()) return static_cast<int>(i) + 1;
    }
    return -1;
  }

  TLocalTime FNow{2026, 12, 10, 0, 0, 0};
  TFTPList FList;
};

TEST(FtpListMasks, TableHasTheThirtySevenLayoutsBlanksCounted) {
  // Each mask as length and text with every run of blanks written [n].
  struct Row {
    size_t length;
    std::string notation;
  };
  const Row rows[] = {
      {41, "pppppppppp $!!!S*$TTT$DD$hh mm ss$YYYY$n*"},
      {41, "pppppppppp $!!!S*$DD$TTT$hh mm ss$YYYY$n*"},
      {33, "pppppppppp $!!!S*$TTT$DD$UUUUU$n*"},
      {33, "pppppppppp $!!!S*$DD$TTT$UUUUU$n*"},
      {32, "pppppppppp $!!S*$TTT$DD$UUUUU$n*"},
      {31, "pppppppppp $!S*$TTT$DD$UUUUU$n*"},
      {33, "d[12]$!S*$TTT$DD$UUUUU$n*"},
      {23, "MM DD YY[2]hh mmH !S* n*"},
      {23, "MM DD YY[2]hh mmH $ d!n*"},
      {25, "MM DD YYYY[2]hh mmH !S* n*"},
      {25, "MM DD YYYY[2]hh mmH $ d!n*"},
      {25, "DD MM YYYY[2]hh mmH !S* n*"},
      {25, "DD MM YYYY[2]hh mmH $ d!n*"},
      {22, "v*$[2]DD TTT YYYY hh mm"},
      {21, "v*$!DD TTT YYYY hh mm"},
      {39, "n*$[17]YYYY MM DD hh mm$S*"},
      {25, "!S*$MM DD YY hh mm ss !n*"},
      {25, "!S*$DD MM YY hh mm ss !n*"},
      {25, "n*!S*$MM DD YY hh mm ss d"},
      {25, "n*!S*$DD MM YY hh mm ss d"},
      {36, "$S*[4]TTT DD YYYY[2]hh mm ss $n* $ d"},
      {32, "$S*[4]TTT DD YYYY[2]hh mm ss $n*"},
      {30, "d[4]$S*$TTT DD YYYY[2]hh mm$n*"},
      {24, "d[4]$S*$TTT DD$hh mm$n*"},
      {43, "nnnnnnnn.nnn[2]dSSSSSSSSSSS MM DD YY[2]hh mmH"},
      {42, "-[3]SSSSS[12]YY MM DD hh mm ss[2]n*"},
      {34, "- d=[2]SSSSS[2]YY MM DD hh mm ss[2]n*"},
      {74, "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn[15]SSSSSSSSS MM DD YYYY hh mm"},
      {77, "n*\\x[47]SSSSSSSSS MM DD YYYY hh mm"},
      {55, "-[5]SSSSSSSSSSSS[11]d[3]MM DD YYYY[3]hh mm[2]n*"},
      {61, "-[9]YY MM DD hhmm d[24]SSSSSSSSS n*"},
      {53, "nnnnnnnn[19]SSSSSSS DD TTT YY hh mm ss"},
      {59, "-[13]YYYY MM DD[21]SSSSS[3]d=O n*"},
      {39, "[13]$S* MM DD YY hh mm ss[2]!n*"},
      {39, "d[12]$S* MM DD YY[11]!n*"},
      {56, "[41]TTT DD[2]YYYY n*"},
      {56, "[2]d[51]n*"},
  };
  const TFTPList list;
  ASSERT_EQ(list.Masks().size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    std::string expanded;
    for (size_t pos = 0; pos < rows[i].notation.size();) {
      if (rows[i].notation[pos] == '[') {
        const size_t close = rows[i].notation.find(']', pos);
        expanded += Blanks(std::stoul(rows[i].notation.substr(pos + 1, close - pos - 1)));
        pos = close + 1;
      } else {
        expanded += rows[i].notation[pos++];
      }
    }
    SCOPED_TRACE("row " + std::to_string(i + 1));
    EXPECT_EQ(list.Masks()[i], expanded);
    EXPECT_EQ(list.Masks()[i].size(), rows[i].length);
  }
}

struct LineCase {
  std::string line;
  std::string name;
  bool directory;
  bool readable;
  int32_t size;
  int row;  // 0 for EPLF
};

TEST_F(FtpListTest, SingleLinesYieldNameDirectorySizeAndRow) {
  const LineCase cases[] = {
      // Permissions first, with group, owner and link count.
      {"-rw-r--r--   1 user     group        1234 Jan 15 12:34 file.txt", "file.txt", false, true,
       1234, 3},
      {"drwxr-xr-x   2 user     group        4096 Jan 15  2020 sub", "sub", true, false, 4096, 3},
      {"lrwxrwxrwx   1 user     group          10 Jan 15 12:34 link -> target", "link", true, true,
       10, 3},
      {"-rw-r--r--   1 user        1234 Jan 15 12:34 nogroup.txt", "nogroup.txt", false, true, 1234,
       5},
      {"-rw-r--r--   1 1234 Jan 15 12:34 ownerless.txt", "ownerless.txt", false, true, 1234, 6},
      {"-r--------   1 user     group        1234 Jan 15 12:34 secret", "secret", false, true, 1234,
       3},
      {"--w-------   1 user     group        1234 Jan 15 12:34 dropbox", "dropbox", false, false,
       1234, 3},
      {"-rw-r--r--   1 user     group        1234 Jan 15 12:34:56 2020 full.txt", "full.txt", false,
       true, 1234, 1},
      {"-rw-r--r--   1 user     group        1234 15 Jan 12:34:56 2020 full.txt", "full.txt", false,
       true, 1234, 2},
      {"-rw-r--r--   1 user     group        1234 15 Jan 12:34 dayfirst.txt", "dayfirst.txt", false,
       true, 1234, 4},
      // More than 32 bits of size: recognised, size 0.
      {"-rw-r--r--   1 user     group 12345678901 Jan 15 12:34 big.iso", "big.iso", false, true, 0,
       3},
      // An upper-case permission letter fails rows 1-6; row 37 takes the
      // name from column 55 on and the directory flag from column 3.
      {"-rwSr--r--   1 user     group        1234 Jan 15 12:34 file.txt", " file.txt", false, true,
       0, 37},
      {"-rw-r--r--   1 user     group        1234 Foo 15 12:34 unknown-month.txt",
       " unknown-month.txt", false, true, 0, 37},
      {"  D" + Blanks(51) + " dir", " dir", true, false, 0, 37},
      // A one-digit total ends the line inside row 19's "S*", and a "*" at
      // the line's end closes the match: a file "total" (GNU ls prints
      // "total 0" for an empty folder). "total 12" runs on into "$" and fails.
      {"total 0", "total", false, true, 0, 19},
      // Directory flag in the first column.
      {"d            owner        4096 Jan 15 12:34 folder", "folder", true, false, 4096, 7},
      // MS-DOS and IIS.
      {"01-15-20  12:34PM       <DIR>          dosdir", "dosdir", true, false, 0, 9},
      {"01-15-20  12:34PM                 1234 dos file.txt", "dos file.txt", false, true, 1234, 8},
      {"01-15-2020  12:34PM       <DIR>          dosdir", "dosdir", true, false, 0, 11},
      {"01-15-2020  12:34PM                 1234 dos file.txt", "dos file.txt", false, true, 1234,
       10},
      {"README   TXT" + Blanks(10) + "1234 01-15-20  12:34p", "README.TXT", false, true, 1234, 25},
      // EPLF.
      {"+i8388621.44468,m839956783,r,s376,\tRFCEPLF", "RFCEPLF", false, true, 376, 0},
      {"+i8388621.29609,m824255902,/,\tdev", "dev", true, false, 0, 0},
      {"+i1.2,s99999999999,\tsize beyond 32 bits", "size beyond 32 bits", false, false, 0, 0},
      // VMS: the version number makes the name; ".DIR;" a directory.
      {"CII-MANUAL.TEX;1  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)",
       "CII-MANUAL.TEX;1", false, true, 0, 15},
      {"PUB.DIR;1           1/3    29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,RE,RE)",
       "PUB.DIR;1", true, false, 0, 15},
      {"LOGIN.COM;2  3 15-JAN-2020 12:34", "LOGIN.COM;2", false, true, 0, 14},
      // "d=": a blank in column 3 marks a directory in row 27, "O" in
      // column 54 in row 33.
      {"-     1234  98 01 15 12 34 56  blankflag", "blankflag", true, false, 1234, 27},
      {"- x   1234  98 01 15 12 34 56  xflag", "xflag", false, true, 1234, 27},
      {"-" + Blanks(13) + "2020 01 15" + Blanks(22) + "1234   O= odir", "odir", true, false, 1234,
       33},
      {"-" + Blanks(13) + "2020 01 15" + Blanks(22) + "1234   F= ofile", "ofile", false, true, 1234,
       33},
      // Columns count characters, not UTF-8 bytes: a Cyrillic name in the
      // fixed 33-column name field of row 28.
      {"Прайс на 10.12.txt" + Blanks(15 + 15 + 5) + "4321 12 09 2026 22 47", "Прайс на 10.12.txt",
       false, true, 4321, 28},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Parse({c.line});
    ASSERT_EQ(FList.Count(), 1);
    EXPECT_TRUE(FList.UnparsedLines().empty());
    const TFTPListRec& entry = *FList.Items(0);
    EXPECT_EQ(entry.FileName(), c.name);
    EXPECT_EQ(entry.Directory(), c.directory);
    EXPECT_EQ(entry.Readable(), c.readable);
    EXPECT_EQ(entry.FileSize(), c.size);
    EXPECT_EQ(Row(entry), c.row);
    EXPECT_EQ(entry.OriginalLine(), c.line);
  }
}

TEST_F(FtpListTest, PermissionsAreKeptOnlyForPermissionLines) {
  Parse({"drwxr-x---   2 user     group        4096 Jan 15  2020 sub",
         "01-15-20  12:34PM       <DIR>          dosdir"});
  ASSERT_EQ(FList.Count(), 2);
  EXPECT_EQ(FList.Items(0)->Permission(), "drwxr-x---");
  EXPECT_EQ(FList.Items(1)->Permission(), "");
}

TEST_F(FtpListTest, DotDirectoriesTotalsAndEmptyLines) {
  const std::string dot = "drwxr-xr-x   2 user     group        4096 Jan 15 12:34 .";
  const std::string dotDot = "drwxr-xr-x   2 user     group        4096 Jan 15 12:34 ..";
  const std::string eplfDot = "+i8388621.48594,m824255902,/,\t.";
  const std::string eplfDotDot = "+i8388621.48594,m824255902,/,\t..";
  Parse({"total 12", dot, dotDot, eplfDot, eplfDotDot, "", "+r,s12",
         "-rw-r--r--   1 user     group           0 Jan 15 12:34 ..", "+i1.1,r,\t."});
  // A line starting with "+" but without a TAB is EPLF with all of it as
  // the name; "." and ".." that are no directories stay.
  ASSERT_EQ(FList.Count(), 3);
  EXPECT_EQ(FList.Items(0)->FileName(), "r,s12");
  EXPECT_EQ(FList.Items(0)->FileSize(), 12);
  EXPECT_EQ(FList.Items(1)->FileName(), "..");
  EXPECT_EQ(FList.Items(2)->FileName(), ".");
  EXPECT_EQ(FList.UnparsedLines(), (std::vector<std::string>{"total 12", eplfDot, eplfDotDot, ""}));
}

TEST_F(FtpListTest, UnknownMonthInShortLinesLeavesEverythingUnparsed) {
  const std::vector<std::string> lines = {
      "-rw-r--r-- 1 user group 1234 Foo 15 12:34 a.txt",
      "drwxr-xr-x 2 user group 4096 Bar 15  2020 sub",
      "-rw-r--r-- 1 user 52 Qux 01 17:02 b.txt",
  };
  Parse(lines);
  EXPECT_EQ(FList.Count(), 0);
  EXPECT_EQ(FList.UnparsedLines(), lines);
}

TEST_F(FtpListTest, TwoLineEntryTakesTheNextLineAlong) {
  const std::string name = "averyveryveryveryveryverylongfilename.txt";
  const std::string data = Blanks(53) + "1234 01 15 2020 12 34";
  const std::string after = "-rw-r--r--   1 user     group           7 Jan 15 12:34 after.txt";
  Parse({name + " ", data, after});
  ASSERT_EQ(FList.Count(), 2);
  EXPECT_TRUE(FList.UnparsedLines().empty());
  const TFTPListRec& entry = *FList.Items(0);
  EXPECT_EQ(entry.FileName(), name);
  EXPECT_FALSE(entry.Directory());
  EXPECT_EQ(entry.FileSize(), 1234);
  EXPECT_EQ(Row(entry), 29);
  EXPECT_EQ(entry.OriginalLine(), name + " ");
  EXPECT_NEAR(entry.FileTime(), DateTime(2020, 1, 15, 12, 34), kSecond);
  EXPECT_EQ(FList.Items(1)->FileName(), "after.txt");
}

TEST_F(FtpListTest, NameFillingItsLineIsNoTwoLineEntry) {
  const std::string name = "averyveryveryveryveryverylongfilename.txt";
  const std::string data = Blanks(53) + "1234 01 15 2020 12 34";
  Parse({name, data});
  EXPECT_EQ(FList.UnparsedLines(), std::vector<std::string>{name});
  // The data line on its own: row 28 reads its blank name columns, which
  // leave an empty name once the trailing blanks go.
  ASSERT_EQ(FList.Count(), 1);
  EXPECT_EQ(FList.Items(0)->OriginalLine(), data);
  EXPECT_EQ(Row(*FList.Items(0)), 28);
  EXPECT_EQ(FList.Items(0)->FileName(), "");
}

TEST_F(FtpListTest, LastLineCannotStartATwoLineEntry) {
  Parse({"averyveryveryveryveryverylongfilename.txt "});
  EXPECT_EQ(FList.Count(), 0);
  EXPECT_EQ(FList.UnparsedLines().size(), 1u);
}

TEST_F(FtpListTest, FileTimes) {
  struct TimeCase {
    TLocalTime now;
    std::string line;
    TDateTime time;
  };
  const TLocalTime december{2026, 12, 10, 0, 0, 0};
  const std::string unix = "-rw-r--r--   1 user     group        1234 ";
  const std::string dos = "01-15-20  ";
  const std::string dosFile = "                 1234 f.txt";
  const TimeCase cases[] = {
      // Time instead of year: this year, or last year when still ahead.
      {december, unix + "Jan 15 12:34 f.txt", DateTime(2026, 1, 15, 12, 34)},
      {december, unix + "Dec 15 12:34 f.txt", DateTime(2025, 12, 15, 12, 34)},
      {december, unix + "Dec 10 00:00 f.txt", DateTime(2026, 12, 10)},
      {december, unix + "Dec 10 00:01 f.txt", DateTime(2025, 12, 10, 0, 1)},
      {{2027, 1, 5, 8, 0, 0}, unix + "Dec 31 23:59 f.txt", DateTime(2026, 12, 31, 23, 59)},
      {december, unix + "Jan 15  2020 f.txt", DateTime(2020, 1, 15)},
      {december, unix + "Jan 15 12:34:56 2020 f.txt", DateTime(2020, 1, 15, 12, 34, 56)},
      // 12-hour clock.
      {december, dos + "12:30AM" + dosFile, DateTime(2020, 1, 15, 0, 30)},
      {december, dos + "12:30PM" + dosFile, DateTime(2020, 1, 15, 12, 30)},
      {december, dos + "01:15AM" + dosFile, DateTime(2020, 1, 15, 1, 15)},
      {december, dos + "01:15PM" + dosFile, DateTime(2020, 1, 15, 13, 15)},
      {december, dos + "11:59pm" + dosFile, DateTime(2020, 1, 15, 23, 59)},
      // Two-digit years.
      {december, "01-15-99  10:00AM" + dosFile, DateTime(1999, 1, 15, 10)},
      {december, "01-15-51  10:00AM" + dosFile, DateTime(1951, 1, 15, 10)},
      {december, "01-15-50  10:00AM" + dosFile, DateTime(2050, 1, 15, 10)},
      {december, "01-15-00  10:00AM" + dosFile, DateTime(2000, 1, 15, 10)},
      // Dates and hours that pass the checks but do not exist run on into
      // the following days.
      {december, unix + "Apr 31  2021 f.txt", DateTime(2021, 5, 1)},
      {december, unix + "Feb 29  2021 f.txt", DateTime(2021, 3, 1)},
      {december, unix + "Feb 29  2028 f.txt", DateTime(2028, 2, 29)},
      {december, unix + "Feb 29 12:00 f.txt", DateTime(2026, 3, 1, 12)},
      {{2027, 1, 10, 0, 0, 0}, unix + "Feb 29 12:00 f.txt", DateTime(2026, 3, 1, 12)},
      {december, dos + "24:00AM" + dosFile, DateTime(2020, 1, 16)},
      {december, dos + "13:00PM" + dosFile, DateTime(2020, 1, 16, 1)},
      // EPLF: seconds since 1970 without time zone.
      {december, "+i1.1,m839956783,r,s1,\tf.txt", 839956783 / 86400.0 + 25569},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    FNow = c.now;
    Parse({c.line});
    ASSERT_EQ(FList.Count(), 1);
    EXPECT_NEAR(FList.Items(0)->FileTime(), c.time, kSecond / 2);
  }
}

TEST_F(FtpListTest, BeforeDayZeroTheTimeIsTheFractionsMagnitude) {
  // " 105" in a four-column year field reads as the year 105.
  Parse({"01-15- 105  06:00AM                 1234 ancient.txt"});
  ASSERT_EQ(FList.Count(), 1);
  const TDateTime time = FList.Items(0)->FileTime();
  EXPECT_NEAR(time, DateTime(105, 1, 15) - 0.25, kSecond);
}

TEST(FtpListMonths, MonthNumber) {
  struct MonthCase {
    std::string text;
    int month;
  };
  // Several cases to a row; a literal split after a hex escape stays on it.
  // clang-format off
  const MonthCase cases[] = {
      {"Jan", 1}, {"jan", 1}, {"JAN", 1}, {"Dec", 12}, {"mAy", 5},
      // French, German and Czech, as a 1251-decoded listing carries them.
      {Cp1251ToUtf8("f\xE9v"), 2}, {Cp1251ToUtf8("F\xC9V"), 2}, {"avr", 4},
      {Cp1251ToUtf8("ao\xFB"), 8}, {"aou", 8}, {Cp1251ToUtf8("d\xE9" "c"), 12},
      {"Mai", 5}, {"Okt", 10}, {"Dez", 12}, {Cp1251ToUtf8("M\xE4r"), 3},
      {Cp1251ToUtf8("M\xC4R"), 3}, {"led", 1}, {Cp1251ToUtf8("\xDAno"), 2},
      {Cp1251ToUtf8("\xFAno"), 2}, {Cp1251ToUtf8("b\xF8" "e"), 3}, {Cp1251ToUtf8("Kv\xEC"), 5},
      {Cp1251ToUtf8("\xC8" "en"), 6}, {Cp1251ToUtf8("\xE8" "ec"), 7}, {"srp", 8},
      {Cp1251ToUtf8("Z\xE1\xF8"), 9}, {Cp1251ToUtf8("\xF8\xEDj"), 10}, {"Lis", 11},
      {"pro", 12},
      // Unknown texts, and a "fév" decoded as Unicode rather than through
      // the code page: é is no character of 1251.
      {"Foo", 0}, {"", 0}, {"Ja", 0}, {"Janu", 0}, {"f\xC3\xA9v", 0}, {" Jan", 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(MonthNumber(c.text), c.month);
  }
}

TEST(FtpListTime, TimeFromText) {
  struct TimeCase {
    std::string text;
    double seconds;  // -1 when not a time
  };
  const TimeCase cases[] = {
      {"12:34", 12 * 3600 + 34 * 60},
      {"1:02:03", 3600 + 2 * 60 + 3},
      {"0:00", 0},
      {"23:59:59", 86399},
      {" 1:23 ", 3600 + 23 * 60},
      {"12:30PM", 12 * 3600 + 30 * 60},
      {"12:345", 12 * 3600 + 34 * 60},
      {"1:5", 3600 + 5 * 60},
      {"24:00", -1},
      {"12:60", -1},
      {"12:30:60", -1},
      {"12", -1},
      {"", -1},
      {":30", -1},
      {"12:", -1},
      {"123:45", -1},
      {"ab:cd", -1},
      {"1:2:3:4", -1},
      {"12 :30", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const double time = TimeFromText(c.text);
    if (c.seconds < 0) {
      EXPECT_EQ(time, -1);
    } else {
      EXPECT_NEAR(time, c.seconds / 86400.0, 1e-9);
    }
  }
}

struct FixtureEntry {
  std::string wireName;  // the name's bytes as the server sent them
  bool directory;
  int32_t size;
  int row;
  TDateTime time;
};

struct FixtureCase {
  std::string file;
  std::vector<FixtureEntry> entries;
  std::vector<std::string> unparsedBytes;
};

// The folder the Unix-style fixtures were captured from, listed on
// 10 December 2026 (less than six months old: time of day instead of year).
std::vector<FixtureEntry> CapturedFolder(int Row, const std::string& CyrillicName) {
  return {
      {"file.txt", false, 1234, Row, DateTime(2026, 11, 20, 9, 15)},
      {"latest", true, 8, Row, DateTime(2026, 12, 9, 20, 0)},
      {"my report 2026.txt", false, 52, Row, DateTime(2026, 12, 1, 17, 2)},
      {"old.dat", false, 98765, Row, DateTime(2019, 6, 3)},
      {"reports", true, 4096, Row, DateTime(2025, 2, 11)},
      {"scale", true, 4096, Row, DateTime(2026, 10, 5, 8, 0)},
      {CyrillicName + ".csv", false, 4321, Row, DateTime(2026, 12, 9, 22, 47)},
  };
}

std::vector<FixtureEntry> IisFolder(int FileRow, int DirectoryRow) {
  return {
      {"aspnet_client", true, 0, DirectoryRow, DateTime(2024, 2, 15, 9, 12)},
      {"file.txt", false, 1234, FileRow, DateTime(2026, 11, 20, 9, 15)},
      {"my report 2026.txt", false, 52, FileRow, DateTime(2026, 12, 1, 17, 2)},
      {"old.dat", false, 98765, FileRow, DateTime(2019, 6, 3, 10, 0)},
      {"reports", true, 0, DirectoryRow, DateTime(2025, 2, 11, 11, 11)},
      {"scale", true, 0, DirectoryRow, DateTime(2026, 10, 5, 12, 0)},
      {"\xCF\xF0\xE0\xE9\xF1.csv", false, 4321, FileRow, DateTime(2026, 12, 9, 0, 47)},
  };
}

TEST_F(FtpListTest, CapturedListingsOfCommonServers) {
  const std::string cp1251Name = "\xCF\xF0\xE0\xE9\xF1";  // "Прайс" in 1251
  const std::string utf8Name = "Прайс";  // vsftpd passes the file system's UTF-8 bytes on
  const FixtureCase cases[] = {
      {"pyftpdlib_unix.txt", CapturedFolder(3, cp1251Name), {}},
      {"vsftpd_list_a.txt", CapturedFolder(3, utf8Name), {}},
      {"gnu_ls_la.txt", CapturedFolder(3, cp1251Name), {"total 132"}},
      {"gnu_ls_no_group.txt", CapturedFolder(5, cp1251Name), {"total 124"}},
      {"gnu_ls_no_owner_no_group.txt", CapturedFolder(6, cp1251Name), {"total 124"}},
      {"iis_msdos.txt", IisFolder(8, 9), {}},
      {"iis_msdos_four_digit_year.txt", IisFolder(10, 11), {}},
      {"eplf.txt",
       {{"dev", true, 0, 0, 824255902 / 86400.0 + 25569},
        {"RFCEPLF", false, 10376, 0, 839956783 / 86400.0 + 25569},
        {"price list.txt", false, 1024, 0, 845167340 / 86400.0 + 25569},
        {cp1251Name + ".csv", false, 4321, 0, 845167341 / 86400.0 + 25569}},
       {"+i8388621.48594,m824255902,/,\t."}},
      {"vms_multinet.txt",
       {{"CII-MANUAL.TEX;1", false, 0, 15, DateTime(1996, 1, 29, 3, 33)},
        {"PUB.DIR;1", true, 0, 15, DateTime(1996, 1, 29, 3, 33)},
        {"PRICE.CSV;3", false, 0, 15, DateTime(2026, 12, 10, 22, 47)}},
       {"Directory DISK$USER:[ANONYMOUS]", "", "", "Total of 3 files, 226/237 blocks."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string bytes = FixtureBytes(c.file);
    Parse(ListingLines(bytes));
    ASSERT_EQ(FList.Count(), static_cast<int>(c.entries.size()));
    for (size_t i = 0; i < c.entries.size(); ++i) {
      const FixtureEntry& expected = c.entries[i];
      const TFTPListRec& entry = *FList.Items(static_cast<int>(i));
      SCOPED_TRACE(entry.OriginalLine());
      // Names travel back to the server through the same code page.
      EXPECT_EQ(Utf8ToCp1251(entry.FileName()), expected.wireName);
      EXPECT_EQ(entry.Directory(), expected.directory);
      EXPECT_EQ(entry.FileSize(), expected.size);
      EXPECT_EQ(Row(entry), expected.row);
      EXPECT_NEAR(entry.FileTime(), expected.time, kSecond / 2);
      EXPECT_NE(bytes.find(Utf8ToCp1251(entry.OriginalLine()) + "\r\n"), std::string::npos);
    }
    std::vector<std::string> unparsed;
    for (const auto& line : FList.UnparsedLines()) unparsed.push_back(Utf8ToCp1251(line));
    EXPECT_EQ(unparsed, c.unparsedBytes);
  }
}

TEST_F(FtpListTest, ParseLinesAppendsAndClearKeepsTheMasks) {
  const std::vector<std::string> lines = {
      "-rw-r--r--   1 user     group        1234 Jan 15 12:34 file.txt", "total 12"};
  FList.Lines() = lines;
  FList.ParseLines();
  FList.ParseLines();
  EXPECT_EQ(FList.Count(), 2);
  EXPECT_EQ(FList.UnparsedLines().size(), 2u);
  EXPECT_NE(FList.Items(1), nullptr);
  EXPECT_EQ(FList.Items(2), nullptr);
  EXPECT_EQ(FList.Items(-1), nullptr);

  TFTPList copy;
  copy.Assign(FList);
  FList.Clear();
  EXPECT_EQ(FList.Count(), 0);
  EXPECT_TRUE(FList.Lines().empty());
  EXPECT_TRUE(FList.UnparsedLines().empty());
  EXPECT_EQ(FList.Masks().size(), 37u);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(1)->FileName(), "file.txt");
  EXPECT_EQ(copy.Items(1)->Permission(), "-rw-r--r--");
  EXPECT_EQ(copy.Lines(), lines);
}

TEST_F(FtpListTest, MatchMaskResults) {
  const std::string mask = FList.Masks()[28];
  EXPECT_EQ(FList.MatchMask("name.txt ", Blanks(53) + "1234 01 15 2020 12 34", mask), 2);
  EXPECT_EQ(FList.MatchMask("name.txt", Blanks(53) + "1234 01 15 2020 12 34", mask), 0);
  EXPECT_EQ(FList.MatchMask("", "x", mask), 0);
  EXPECT_EQ(FList.MatchMask("x", "", ""), 0);
  // A "*" at the line's end ends the match with what was found so far.
  EXPECT_EQ(FList.MatchMask("-rw-r--r--   1 user     group        1234 Jan 15 12:34 f", "",
                            FList.Masks()[2]),
            1);
}

// A hundred Unix-style lines: some 11 KiB as lines, 35 KiB once parsed.
std::string UnixListingBytes() {
  std::string bytes;
  for (int i = 0; i < 100; ++i)
    bytes += "-rw-r--r--   1 user     group        1234 Jan 15 12:34 price" + std::to_string(i) +
             ".txt\r\n";
  return bytes;
}

TEST_F(FtpListTest, ListingPastTheMemoryBoundLeavesAnEmptyList) {
  struct BoundCase {
    const char* name;
    std::string bytes;
    int64_t maxMemory;
    bool loads;
    bool exceeded;
    int count;
  };
  constexpr int64_t KiB = 1024;
  const BoundCase cases[] = {
      {"within the default bound", UnixListingBytes(), 96 * 1024 * KiB, true, false, 100},
      {"within a bound of 64 KiB", UnixListingBytes(), 64 * KiB, true, false, 100},
      {"lines fit, entries pass the bound", UnixListingBytes(), 16 * KiB, true, true, 0},
      {"the lines alone pass the bound", UnixListingBytes(), 4 * KiB, false, true, 0},
      {"more line objects than the bound holds", std::string(1000, '\n'), 16 * KiB, false, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FList.Clear();
    FList.SetMaxMemory(c.maxMemory);
    EXPECT_EQ(FList.LoadListing(c.bytes), c.loads);
    if (c.loads) FList.ParseLines();
    EXPECT_EQ(FList.MemoryExceeded(), c.exceeded);
    EXPECT_EQ(FList.Count(), c.count);
    if (c.exceeded) {
      EXPECT_TRUE(FList.Lines().empty());
      EXPECT_TRUE(FList.UnparsedLines().empty());
    }
  }
  FList.Clear();
  EXPECT_FALSE(FList.MemoryExceeded());
}

// Each session parses on its own thread; the month table and the clock are
// shared by all of them.
TEST(FtpListThreads, SessionsParseSideBySide) {
  const std::vector<std::string> lines = ListingLines(FixtureBytes("pyftpdlib_unix.txt"));
  std::vector<int> counts(3);
  std::vector<std::thread> sessions;
  for (size_t i = 0; i < counts.size(); ++i) {
    sessions.emplace_back([&lines, &count = counts[i]] {
      TFTPList list;
      list.Lines() = lines;
      list.ParseLines();
      count = list.Count();
    });
  }
  for (auto& session : sessions) session.join();
  EXPECT_EQ(counts, std::vector<int>(3, 7));
}

// Row 0 of the month table: the regional names, here those of a Russian
// locale in code page 1251 compiled for the test. The month table is read
// once per process, so the check runs in a fresh one.
class FtpListRegionalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command =
        "localedef -i ru_RU -f CP1251 '" + FLocales.Path() + "ru_RU.CP1251' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "localedef cannot build ru_RU.CP1251";
  }

  void UseRussianTimeLocale() const {
    SetEnvironmentVariable("LOCPATH", FLocales.Path());
    SetEnvironmentVariable("LC_ALL", "ru_RU.CP1251");
  }

  TempDir FLocales;
};

TEST_F(FtpListRegionalTest, ShortMonthNamesComeFromTheTimeLocaleAsUtf8) {
  const std::optional<std::string> savedLocPath = EnvironmentVariable("LOCPATH");
  const std::optional<std::string> savedAll = EnvironmentVariable("LC_ALL");
  UseRussianTimeLocale();
  const auto names = RegionalShortMonthNames();
  SetEnvironmentVariable("LOCPATH", savedLocPath);
  SetEnvironmentVariable("LC_ALL", savedAll);
  EXPECT_EQ(names[0], "янв");
  EXPECT_EQ(names[4], "мая");
  EXPECT_EQ(names[11], "дек");
}

TEST_F(FtpListRegionalTest, RegionalMonthNamesTakePartInListings) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        UseRussianTimeLocale();
        const bool parsed = [] {
          TFTPList list;
          list.Lines() = ListingLines(
              "-rw-r--r--   1 user     group        1234 \xFF\xED\xE2 15 12:34 "
              "\xCF\xF0\xE0\xE9\xF1.csv\r\n");
          list.ParseLines();
          return list.Count() == 1 && list.Items(0)->Mask() == list.Masks()[2] &&
                 list.Items(0)->FileName() == "Прайс.csv";
        }();
        const bool matched = MonthNumber("ЯНВ") == 1 && MonthNumber("Дек") == 12 &&
                             MonthNumber("Jan") == 1 && MonthNumber("янв.") == 0;
        std::exit(parsed && matched ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
