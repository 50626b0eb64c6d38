// The listing parser over any listing text. The lines reach it as the
// session makes them: bytes after a UTF-8 byte-order mark as UTF-8 (a
// malformed sequence as U+FFFD), other bytes through code page 1251; split
// at CR LF, LF or CR.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftplist.h"
#include "fuzz/FuzzCheck.h"
#include "platform/codepage.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string ListingText(std::string_view Bytes, bool& CodePage) {
  CodePage = !Bytes.starts_with(kUtf8Bom);
  if (CodePage) return Cp1251ToUtf8(Bytes);
  Bytes.remove_prefix(kUtf8Bom.size());
  std::string text;
  for (size_t pos = 0; pos < Bytes.size();) {
    const long character = DecodeUtf8(Bytes, pos);
    AppendUtf8(text, character < 0 ? U'\uFFFD' : static_cast<char32_t>(character));
  }
  return text;
}

std::vector<std::string> SplitLines(std::string_view Text) {
  std::vector<std::string> lines;
  while (!Text.empty()) {
    const size_t end = Text.find_first_of("\r\n");
    lines.emplace_back(Text.substr(0, end));
    if (end == std::string_view::npos) break;
    Text.remove_prefix(end + (Text.substr(end, 2) == "\r\n" ? 2 : 1));
  }
  return lines;
}

struct TEntryFields {
  std::string FileName;
  bool Directory;
  bool Readable;
  int32_t FileSize;
  std::string OriginalLine;
  std::string Mask;
  std::string Permission;
  bool operator==(const TEntryFields&) const = default;
};

TEntryFields FieldsOf(const TFTPListRec& Entry) {
  return {Entry.FileName(),     Entry.Directory(), Entry.Readable(),  Entry.FileSize(),
          Entry.OriginalLine(), Entry.Mask(),      Entry.Permission()};
}

void CheckEntry(const TFTPListRec& Entry, const TFTPList& List, const std::set<std::string>& Lines,
                bool CodePage) {
  const std::string& name = Entry.FileName();
  FUZZ_CHECK(Lines.contains(Entry.OriginalLine()));
  const bool eplf = Entry.Mask() == "EPLF";
  const auto& masks = List.Masks();
  FUZZ_CHECK(eplf || std::find(masks.begin(), masks.end(), Entry.Mask()) != masks.end());
  // An EPLF size is any 32-bit number, a layout's size digits only.
  FUZZ_CHECK(eplf || Entry.FileSize() >= 0);
  FUZZ_CHECK(std::isfinite(Entry.FileTime()));
  FUZZ_CHECK(Entry.Permission().empty() || Entry.Permission().size() == 10);
  FUZZ_CHECK(!(Entry.Directory() && (name == "." || name == "..")));
  FUZZ_CHECK(IsValidUtf8(name));
  // The name goes back to the server in "RETR " and "DELE ": it must encode
  // to the bytes the server listed.
  if (CodePage) FUZZ_CHECK(Cp1251ToUtf8(Utf8ToCp1251(name)) == name);
  // Only the "." of a DOS 8.3 layout puts anything into a name that was not
  // in the line.
  if (Entry.Mask().find('.') == std::string::npos)
    FUZZ_CHECK(Entry.OriginalLine().find(name) != std::string::npos);
  if (!eplf) FUZZ_CHECK(!name.ends_with(' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  bool codePage = true;
  const std::string text =
      ListingText(std::string_view(reinterpret_cast<const char*>(Data), Size), codePage);
  const std::vector<std::string> lines = SplitLines(text);
  const std::set<std::string> lineSet(lines.begin(), lines.end());

  TFTPList list;
  list.Lines() = lines;
  list.ParseLines();
  const int count = list.Count();
  const size_t unparsed = list.UnparsedLines().size();
  FUZZ_CHECK(static_cast<size_t>(count) + unparsed <= lines.size());
  FUZZ_CHECK(list.Items(-1) == nullptr && list.Items(count) == nullptr);
  std::vector<TEntryFields> parsed;
  for (int i = 0; i < count; ++i) {
    FUZZ_CHECK(list.Items(i) != nullptr);
    CheckEntry(*list.Items(i), list, lineSet, codePage);
    parsed.push_back(FieldsOf(*list.Items(i)));
  }
  for (const std::string& line : list.UnparsedLines()) FUZZ_CHECK(lineSet.contains(line));

  // Parsing again appends the same entries: nothing of one line's match
  // lingers into the next.
  list.ParseLines();
  FUZZ_CHECK(list.Count() == 2 * count);
  FUZZ_CHECK(list.UnparsedLines().size() == 2 * unparsed);
  for (int i = 0; i < count; ++i)
    FUZZ_CHECK(FieldsOf(*list.Items(i)) == FieldsOf(*list.Items(count + i)));

  list.Clear();
  FUZZ_CHECK(list.Count() == 0 && list.Lines().empty() && list.UnparsedLines().empty());

  // The session's own loading, line by line, gives the same lines as the
  // whole text decoded and then cut (the UTF-16 marks aside, which the text
  // here does not know).
  const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
  if (!bytes.starts_with("\xFF\xFE") && !bytes.starts_with("\xFE\xFF")) {
    FUZZ_CHECK(list.LoadListing(bytes));
    FUZZ_CHECK(list.Lines() == lines);
  }

  // Under a memory bound the listing is either parsed as before or not at
  // all.
  TFTPList bounded;
  bounded.SetMaxMemory(static_cast<int64_t>(Size) * 8);
  bounded.Lines() = lines;
  bounded.ParseLines();
  if (bounded.MemoryExceeded()) {
    FUZZ_CHECK(bounded.Count() == 0 && bounded.Lines().empty() && bounded.UnparsedLines().empty());
  } else {
    FUZZ_CHECK(bounded.Count() == count && bounded.UnparsedLines().size() == unparsed);
    for (int i = 0; i < count; ++i) FUZZ_CHECK(FieldsOf(*bounded.Items(i)) == parsed[i]);
  }

  for (const std::string& line : lines) {
    const int month = MonthNumber(line.substr(0, 3));
    FUZZ_CHECK(month >= 0 && month <= 12);
    const double time = TimeFromText(line);
    FUZZ_CHECK(time == -1 || (time >= 0 && time < 1));
  }
  return 0;
}
